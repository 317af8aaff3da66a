#!/usr/bin/env bash
# A soak of Corvane's services (discovery, logins, push channels, re-logins,
# firmware batches, as the window drives them; tools/bench/bench_soak.cpp)
# against 32 virtual devices in the private test network for the given time
# (30 minutes unless given). Meanwhile every device pushes a change every
# 100 ms, devices drop their push channel, reboot, vanish (discovery silent,
# connections refused) for 8 or 22 s, or go quiet on their channel as an
# unplugged one does, and every few minutes all of them get a firmware file.
#
# Prints one key=value line, then the figures beside their targets: resident
# memory growth after warm-up (the first two batches, about a minute) < 5 MB;
# open descriptors and threads back to their counts after warm-up; 0 changes
# lost (the devices' count of notifications sent beside the changes that
# reached the records);
# every device connected again within 10 s of coming back; 0 crashes (the
# harness exits by itself, the devices' program is still running). Exits 1
# when a target is missed, 77 where no network namespace can be made.
#
#   scripts/soak.sh [--bench PATH] [--program PATH] [minutes]
#
# Without --bench and --program it builds both in build/ first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench=
program=
while [ $# -gt 0 ]; do
    case "$1" in
        --bench) bench=${2:?}; shift 2 ;;
        --program) program=${2:?}; shift 2 ;;
        -h|--help) sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) break ;;
    esac
done
minutes=${1:-30}
case "$minutes" in ''|*[!0-9]*|0|1) echo "soak: minutes must be a whole number of at least 2" >&2; exit 2 ;; esac
if [ -z "$bench" ] || [ -z "$program" ]; then
    "$root/scripts/build.sh" --target bench_soak corvane-virtual-device >/dev/null
    bench=${bench:-$root/build/tools/bench/bench_soak}
    program=${program:-$root/build/bin/corvane-virtual-device}
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Corvane's own log and the lab's messages go to a file; progress shows.
status=0
QT_QPA_PLATFORM=offscreen "$root/scripts/lab-network.sh" --devices 32 --update-step-ms 100 --program "$program" -- \
    "$bench" --seconds "$((minutes * 60))" --reboot-ms 3000 2>"$work/soak.log" | tee "$work/soak.out" || status=${PIPESTATUS[0]}
if [ "$status" -eq 77 ]; then
    cat "$work/soak.log" >&2
    exit 77
fi
line=$(grep '^devices=' "$work/soak.out" | tail -1 || true)
if [ -z "$line" ] && [ "$status" -ne 0 ] && [ "$status" -lt 128 ]; then
    # Stopped before the soak began (the harness says why).
    tail -40 "$work/soak.log" >&2
    echo "soak: the harness did not start the soak (exit status $status)" >&2
    exit 1
fi

value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $line"; }
# The harness ended by a signal or without its figures: a crash.
crashes=0
if [ "$status" -ge 128 ] || [ -z "$line" ]; then
    crashes=1
    echo "soak: the harness crashed (exit status $status)" >&2
fi
[ -z "$line" ] || [ "$(value devices_alive)" = 1 ] || crashes=$((crashes + 1))
[ -n "$line" ] || { tail -40 "$work/soak.log" >&2; echo "crashes:     $crashes (target 0: MISSED)"; exit 1; }

missed=0
# Sets $v to "met" or "MISSED" for the test given as arguments.
judge() {
    if "$@"; then v=met; else v=MISSED; missed=1; fi
}
mb() { awk -v k="$1" 'BEGIN {printf "%.1f", k / 1024}'; }
sec() { awk -v ms="$1" 'BEGIN {printf "%.1f", ms / 1000}'; }
judge test "$(value rss_growth_kb)" -lt 5120
echo "memory:      $(mb "$(value rss_warm_kb)") MB resident after warm-up (two batches, $(value warm_at_s) s in), $(mb "$(value rss_end_kb)") MB at the end: $(mb "$(value rss_growth_kb)") MB growth (target < 5 MB: $v); heap in use $(mb "$(value heap_warm_kb)") MB, then $(mb "$(value heap_end_kb)") MB"
judge test "$(value fds_end)" -le "$(value fds_start)"
echo "descriptors: $(value fds_start) after warm-up, $(value fds_end) at the end (target: back to $(value fds_start): $v)"
judge test "$(value threads_end)" -le "$(value threads_start)"
echo "threads:     $(value threads_start) after warm-up, $(value threads_end) at the end (target: back to $(value threads_start): $v)"
judge test "$(value lost)" -eq 0
echo "changes:     $(value received) reached the records of $(value sent) the devices sent, $(value lost) lost (target 0: $v)"
judge test "$(value late)" -eq 0
echo "returns:     $(($(value returns) - $(value late))) of $(value returns) devices connected again within 10 s of coming back, slowest $(sec "$(value slowest_return_ms)") s (target: all: $v)"
judge test "$crashes" -eq 0
echo "crashes:     $crashes (target 0: $v)"
judge test "$(value batch_failed)" -eq 0 -a "$(value batches)" -gt 2
echo "batches:     $(value batches), $(value batch_devices) device updates, $(value batch_failed) failed (target 0: $v)"
echo "churn:       $(value churn) events in $(value seconds) s: $(value drops) dropped channels, $(value reboots) reboots, $(value vanishes_short) short and $(value vanishes_long) long vanishes, $(value unplugs) quiet channels; $(value spurious_drops) channels lost unprovoked"
if [ "$(value watchdog)" = 1 ]; then echo "soak: the harness stopped at its time bound" >&2; missed=1; fi
if [ "$missed" -ne 0 ] || [ "$status" -ne 0 ]; then
    tail -40 "$work/soak.log" >&2
    exit 1
fi
exit 0
