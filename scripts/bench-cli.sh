#!/usr/bin/env bash
# corvanectl's batches beside each other and beside the window's own batch,
# in the private test network: 8 virtual devices, each reading uploads at the
# same rate (so that the devices, not the 2 cores, are the bottleneck), one
# firmware file (16 MiB unless given), `--parallel` 1, 4 and 8, then the
# window's batch (tools/bench/bench_batch, KxSystemImpl as the window drives
# it) on the same devices. Batch time is from the first upload's start to the
# last verdict. Then 200 devices: how long `corvanectl discover` takes to list
# them all from its start. Between the two, the same 8 devices unthrottled
# with a 256 MiB file: `--parallel 8` beside 8 curls started at once (each
# side twice, taking turns; the best counts), from the first upload's start
# to the last answer.
# Targets: with N at once at most 1.15 x (sequential time / N) for N = 4 and
# 8; the window-order run (N = 1) no slower than the window's batch; the
# unthrottled `--parallel 8` at most 1.10 x the 8 curls' time; 200 devices
# listed within 2 s. Not part of the test suite (too heavy).
#
#   scripts/bench-cli.sh [size [rate]]      (rate: bytes/s per device, k or m suffix; 8m unless given)
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-16M}
rate=${2:-8m}
scripts/build.sh --target corvanectl bench_batch corvane-virtual-device >/dev/null
work=$(mktemp -d)
# Known devices of its own: the bench pins its devices' keys there, not in
# the user's store.
export XDG_CONFIG_HOME=$work/config
# The benchmark meets its devices for the first time at every run.
export CORVANE_TRUST=accept-new
trap 'rm -rf "$work"' EXIT
file="$work/tq-9.9.9.bundle"
truncate -s "$size" "$file"
big="$work/tq-9.9.8.bundle"
truncate -s 256M "$big"

# Inside the lab: one line "parallel=<n> seconds=<s>" per run, then the
# window's "window seconds=<s>".
cat >"$work/inner.sh" <<'INNER'
set -euo pipefail
file=$1 rate=$2 work=$3 big=$4
send() { build/bin/corvane-virtual-device --send "$CORVANE_LAB_CONTROL" "$@" >/dev/null; }
send fault all throttle "$rate"
# Back at once after an installation, as in bench-batch.sh.
send fault all reboot-ms 0
addresses=($CORVANE_LAB_DEVICES)
devices=()
for address in "${addresses[@]}"; do devices+=(--device "$address"); done
log=$(dirname "$CORVANE_LAB_CONTROL")/devices.log
installed=0
wait_installed() {
    installed=$((installed + ${#addresses[@]}))
    for _ in $(seq 600); do
        [ "$(grep -c 'update finished' "$log")" -ge "$installed" ] && return
        sleep 0.1
    done
    echo "the devices did not finish their installations" >&2
    exit 1
}
# The batch's own time from its JSON events: first start to last verdict.
batch_seconds() {
    python3 -c '
import json, sys, datetime
times = []
for line in sys.stdin:
    event = json.loads(line)
    if event.get("event") in ("start", "succeeded", "failed"):
        times.append(datetime.datetime.fromisoformat(event["time"]))
print("%.3f" % (max(times) - min(times)).total_seconds())'
}
for n in 1 4 8; do
    CORVANE_PASSWORD=corvane build/bin/corvanectl update "$file" --interface corvane-lab "${devices[@]}" \
        --parallel "$n" --json >"$work/events.$n" || { cat "$work/events.$n" >&2; exit 1; }
    echo "parallel=$n seconds=$(batch_seconds <"$work/events.$n")"
    wait_installed
done
line=$(build/tools/bench/bench_batch "$file" corvane "${addresses[@]}")
echo "window $line"
wait_installed

# Unthrottled: corvanectl's uploads side by side against as many curls
# started at once, with the same file on the same devices.
send fault all throttle off
code=$(printf %s corvane | md5sum | cut -c1-32)
digest=$(md5sum "$big" | cut -c1-32)
run_curls() {
    local start pids=() address
    start=$(date +%s.%N)
    for address in "${addresses[@]}"; do
        curl -sk --noproxy '*' -o /dev/null -w '%{http_code}\n' -u "admin:$code" \
            -F "hash_value=$digest" -F "firmware_file=@$big;type=application/octet-stream" \
            "https://$address:60010/api/v1/files/firmware" >>"$work/curl.status" &
        pids+=($!)
    done
    wait "${pids[@]}"
    echo "fleet-curl seconds=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.3f", b - a}')"
}
run_corvanectl() {
    CORVANE_PASSWORD=corvane build/bin/corvanectl update "$big" --interface corvane-lab "${devices[@]}" \
        --parallel 8 --json >"$work/events.big" || { cat "$work/events.big" >&2; exit 1; }
    echo "fleet-corvanectl seconds=$(batch_seconds <"$work/events.big")"
}
: >"$work/curl.status"
for round in 1 2; do
    if [ "$round" -eq 1 ]; then run_corvanectl; wait_installed; run_curls; wait_installed
    else run_curls; wait_installed; run_corvanectl; wait_installed; fi
done
[ "$(grep -c '^200$' "$work/curl.status")" -eq $((2 * ${#addresses[@]})) ] ||
    { echo "curl: not every upload was taken: $(paste -sd' ' "$work/curl.status")" >&2; exit 1; }
INNER

lab() { scripts/lab-network.sh --program build/bin/corvane-virtual-device --update-step-ms 1 "$@"; }
lab --devices 8 -- bash "$work/inner.sh" "$file" "$rate" "$work" "$big" >"$work/figures" 2>"$work/lab.log" ||
    { cat "$work/lab.log" >&2; exit 1; }
figure() { sed -n "s/^$1.* seconds=\([0-9.]*\).*/\1/p" "$work/figures" | head -1; }
s1=$(figure parallel=1); s4=$(figure parallel=4); s8=$(figure parallel=8); window=$(figure window)
best() { sed -n "s/^$1 seconds=\([0-9.]*\).*/\1/p" "$work/figures" | sort -n | head -1; }
fleet=$(best fleet-corvanectl); curls=$(best fleet-curl)

# 200 devices: the whole listing, process start included.
lab --devices 200 -- bash -c 'start=$(date +%s.%N)
    build/bin/corvanectl discover --interface corvane-lab --count 200 --seconds 30 >"'"$work"'/list" || exit 1
    awk -v a="$start" -v b="$(date +%s.%N)" "BEGIN {printf \"%.3f\n\", b - a}"' >"$work/discover" 2>"$work/lab.log" ||
    { cat "$work/lab.log" >&2; exit 1; }
listed=$(($(wc -l <"$work/list") - 1))
discover_s=$(cat "$work/discover")

verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print (v + 0 <= t + 0) ? "met" : "MISSED"}'; }
ratio() { awk -v s="$1" -v n="$2" -v one="$s1" 'BEGIN {printf "%.2f", s / (one / n)}'; }
echo "file: $(stat -c %s "$file") bytes (sparse), 8 devices each reading at $rate/s"
echo "batch   --parallel 1:  $s1 s"
echo "batch   --parallel 4:  $s4 s, $(ratio "$s4" 4) x (sequential / 4) (target <= 1.15: $(verdict "$(ratio "$s4" 4)" 1.15))"
echo "batch   --parallel 8:  $s8 s, $(ratio "$s8" 8) x (sequential / 8) (target <= 1.15: $(verdict "$(ratio "$s8" 8)" 1.15))"
echo "batch   window:        $window s; --parallel 1 is $(awk -v a="$s1" -v b="$window" 'BEGIN {printf "%.2f", a / b}') x it (target <= 1.0: $(verdict "$(awk -v a="$s1" -v b="$window" 'BEGIN {printf "%.3f", a / b}')" 1.0))"
fleet_ratio=$(awk -v a="$fleet" -v b="$curls" 'BEGIN {printf "%.2f", a / b}')
echo "unthrottled 256 MiB:   --parallel 8 $fleet s, 8 curls at once $curls s: $fleet_ratio x (target <= 1.10: $(verdict "$fleet_ratio" 1.10))"
echo "discover 200 devices:  $listed listed in $discover_s s from the start (target <= 2 s: $(verdict "$discover_s" 2))"
echo "load    average:       $(cut -d' ' -f1-3 /proc/loadavg) ($(nproc) cores)"
