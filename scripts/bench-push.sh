#!/usr/bin/env bash
# 32 logged-in virtual devices (unless another count is given) on loopback,
# each pushing a change of its running status every 100 ms for 30 s, against
# Corvane's push side (login, sessions, observer, subscriber, device records)
# in bench_push. Prints Corvane's CPU time over wall time while idle with the
# channels open and while the pushes run (target < 5 % of one core), and the
# changes that reached the records against those the devices sent (target:
# all). Not part of the test suite (too long).
#
#   scripts/bench-push.sh [devices [seconds [interval ms]]]
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-32}
seconds=${2:-30}
interval=${3:-100}
first=127.0.119.1
password=bench-push
scripts/build.sh --target bench_push corvane-virtual-device >/dev/null
bench=build/tools/bench/bench_push
. scripts/virtual-devices.sh

# Sessions go to port 60010, so every device has an address of its own.
start_devices --generate "$devices" --first-address "$first" --password "$password" \
    --lndp-port 0 --https-port 60010 --control "$work/control"

status=0
line=$("$bench" "$work/control" "$password" "$seconds" "$interval" 2>"$work/bench.err") || status=$?
[ -n "$line" ] || { cat "$work/bench.err" >&2; exit 1; }
value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $line"; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print v < t ? "met" : "MISSED"}'; }
echo "$line"
echo "devices:  $(value connected) of $(value devices) connected, $(value seconds) s of a change every $(value interval_ms) ms each"
echo "cpu:      $(value cpu_percent) % of one core while pushing (target < 5 %: $(verdict "$(value cpu_percent)" 5)), $(value idle_cpu_percent) % idle with the channels open"
echo "changes:  $(value received) reached the records of $(value sent) sent ($(value changed) changed a value, $(value lost) lost)"
exit "$status"
