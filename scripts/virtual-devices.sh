# Sourced by the scripts that run virtual devices in the background: a work
# folder ($work) that goes at exit together with the devices, and
# start_devices ARGS..., which starts build/bin/corvane-virtual-device with
# its console in $work/device.log and returns once it is ready.
work=$(mktemp -d)
device_pid=
cleanup() {
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

start_devices() {
    build/bin/corvane-virtual-device "$@" --no-stdin >"$work/device.log" 2>&1 &
    device_pid=$!
    for _ in $(seq 300); do grep -q '^ready ' "$work/device.log" && break; sleep 0.1; done
    grep -q '^ready ' "$work/device.log" || { cat "$work/device.log" >&2; exit 1; }
}
