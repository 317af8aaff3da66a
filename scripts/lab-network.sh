#!/usr/bin/env bash
# Runs a command on a private test network with virtual devices:
#
#   scripts/lab-network.sh [--devices N] [--password P] [--program PATH] -- command [args...]
#
# The command runs in a network namespace of its own whose only link is the
# veth interface "corvane-lab" (10.213.0.1/24). Its peer lies in a second
# namespace that holds N virtual devices (1 to 1024) on 10.213.0.10, .11, ...
# of the same subnet; past 245 devices the subnet is 10.213.0.0/22 and the
# addresses go on in 10.213.1.0 and up. The open-file limit is raised to its
# ceiling for both sides (a device holds a few sockets). There is no route out and no NAT: nothing leaves the two namespaces.
# Everything ends with the command, also after Ctrl-C or a failure.
#
# As root the namespaces are made directly; a normal user needs unprivileged
# user namespaces. Where neither works the script exits with 77 (skipped).
#
# The command sees CORVANE_LAB_CONTROL (the devices' control socket: try
# "corvane-virtual-device --send $CORVANE_LAB_CONTROL help") and
# CORVANE_LAB_DEVICES (the device addresses).
set -euo pipefail

devices=3
password=corvane
root=$(cd "$(dirname "$0")/.." && pwd)
program="$root/build/bin/corvane-virtual-device"
step_ms=500

usage() { sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        --devices) devices=${2:?}; shift 2 ;;
        --password) password=${2:?}; shift 2 ;;
        --program) program=${2:?}; shift 2 ;;
        --update-step-ms) step_ms=${2:?}; shift 2 ;;
        --) shift; break ;;
        -h|--help) usage ;;
        *) echo "lab-network: unknown option $1" >&2; usage ;;
    esac
done
[ $# -gt 0 ] || usage
case "$devices" in ''|*[!0-9]*) echo "lab-network: --devices needs a number" >&2; exit 2 ;; esac
[ "$devices" -ge 1 ] && [ "$devices" -le 1024 ] || { echo "lab-network: --devices must lie in 1..1024" >&2; exit 2; }
[ -x "$program" ] || { echo "lab-network: no virtual device program at $program (build it first)" >&2; exit 2; }
for tool in ip unshare nsenter; do
    command -v "$tool" >/dev/null || { echo "lab-network: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

if [ "${CORVANE_LAB_INNER:-}" != 1 ]; then
    # Enter Corvane's namespace, as root or through a user namespace.
    if [ "$(id -u)" -eq 0 ]; then
        flags=(--net)
    else
        flags=(--user --map-root-user --net)
    fi
    if ! unshare "${flags[@]}" true 2>/dev/null; then
        echo "lab-network: cannot create a network namespace here (needs root or unprivileged user namespaces); skipped" >&2
        exit 77
    fi
    export CORVANE_LAB_INNER=1
    exec unshare "${flags[@]}" --fork --kill-child=SIGTERM -- "$0" "${args[@]}"
fi

# From here on: inside Corvane's namespace, with full rights over it.
workdir=$(mktemp -d "${TMPDIR:-/tmp}/corvane-lab.XXXXXX")
holder=
device_pid=
cleanup() {
    trap - EXIT INT TERM
    set +e
    [ -n "$device_pid" ] && kill "$device_pid" 2>/dev/null && wait "$device_pid" 2>/dev/null
    [ -n "$holder" ] && kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null
    rm -rf "$workdir"
    echo "lab-network: torn down" >&2
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip link set lo up

# The devices' namespace is held by a placeholder until the devices run in it.
unshare --net sleep 1000000 &
holder=$!
own=$(readlink /proc/self/ns/net)
for _ in $(seq 100); do
    theirs=$(readlink "/proc/$holder/ns/net" 2>/dev/null || true)
    [ -n "$theirs" ] && [ "$theirs" != "$own" ] && break
    sleep 0.05
done
[ "$theirs" != "$own" ] || { echo "lab-network: the devices' namespace did not come up" >&2; exit 1; }
in_devices() { nsenter --net="/proc/$holder/ns/net" -- "$@"; }


prefix=24
[ "$devices" -gt 245 ] && prefix=22
ulimit -n "$(ulimit -Hn)"
ip link add corvane-lab type veth peer name lab-devices
ip link set lab-devices netns "$holder"
ip addr add "10.213.0.1/$prefix" dev corvane-lab
ip link set corvane-lab up
in_devices ip link set lo up
addresses=()
batch="$workdir/addresses"
: >"$batch"
for i in $(seq 0 $((devices - 1))); do
    n=$((10 + i))
    address="10.213.$((n / 256)).$((n % 256))"
    echo "addr add $address/$prefix dev lab-devices" >>"$batch"
    addresses+=("$address")
done
in_devices ip -batch "$batch"
in_devices ip link set lab-devices up

control="$workdir/control.sock"
mask=255.255.255.0
[ "$prefix" -eq 22 ] && mask=255.255.252.0
nsenter --net="/proc/$holder/ns/net" -- "$program" --generate "$devices" --first-address 10.213.0.10 --subnet "$mask" --password "$password" \
    --update-step-ms "$step_ms" --control "$control" --no-stdin --exit-with-parent >"$workdir/devices.log" 2>&1 &
device_pid=$!
for _ in $(seq 300); do
    grep -q '^ready ' "$workdir/devices.log" 2>/dev/null && break
    kill -0 "$device_pid" 2>/dev/null || break
    sleep 0.1
done
if ! grep -q '^ready ' "$workdir/devices.log"; then
    echo "lab-network: the virtual devices did not start:" >&2
    cat "$workdir/devices.log" >&2
    exit 1
fi
# The devices' processes now hold their namespace.
kill "$holder" 2>/dev/null && wait "$holder" 2>/dev/null || true
holder=

echo "lab-network: corvane-lab 10.213.0.1/$prefix, devices pid $device_pid, workdir $workdir" >&2
awk '/^device / && n++ < 12 { print "lab-network: " $0 }' "$workdir/devices.log" >&2
[ "$devices" -le 12 ] || echo "lab-network: ... $devices devices in all" >&2
echo "lab-network: control: $program --send $control help" >&2

export CORVANE_LAB_CONTROL="$control"
export CORVANE_LAB_DEVICES="${addresses[*]}"
set +e
"$@"
status=$?
set -e
exit "$status"
