#!/usr/bin/env bash
# corvanectl against a fleet: 1000 virtual devices (the scan's capacity is
# 1024) in the private test network. Each step is one corvanectl run, timed
# from the process's start to its end, with its peak memory (the largest
# resident set, from the kernel's accounting of the finished child):
#   discover   --count 1000: every device listed
#   info --all  logins to every device, their settings printed
#   update --all of a 256 KiB bundle, --parallel 64, with a report
# Then the devices' console is read: each device took the file exactly once.
# Targets: 1000 listed within 2 s, info under 15 s, the update under 60 s,
# peak memory under 300 MB, 0 devices lost or updated twice.
# Not part of the test suite (too heavy).
#
#   scripts/bench-fleet.sh [devices]      (1000 unless given, at most 1024)
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-1000}
scripts/build.sh --target corvanectl corvane-virtual-device >/dev/null
work=$(mktemp -d)
# Known devices of its own: the bench pins its devices' keys there, not in
# the user's store.
export XDG_CONFIG_HOME=$work/config
# The benchmark meets its devices for the first time at every run.
export CORVANE_TRUST=accept-new
trap '[ -n "${CORVANE_KEEP:-}" ] || rm -rf "$work"' EXIT
head -c 262144 /dev/urandom >"$work/tq-9.9.9.bundle"

cat >"$work/inner.sh" <<'INNER'
set -euo pipefail
work=$1 devices=$2
# Seconds and peak memory (MB) of one run, its output kept.
measure() {
    local name=$1
    shift
    python3 - "$work/$name" "$@" <<'PY'
import resource, subprocess, sys, time
out = sys.argv[1]
start = time.monotonic()
with open(out + ".out", "wb") as stdout, open(out + ".err", "wb") as stderr:
    status = subprocess.run(sys.argv[2:], stdout=stdout, stderr=stderr).returncode
seconds = time.monotonic() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0
print("seconds=%.2f peak_mb=%.1f status=%d" % (seconds, peak, status))
PY
}
ctl=build/bin/corvanectl
scan=(--interface corvane-lab --max-devices 1024)
export CORVANE_PASSWORD=corvane
echo "discover $(measure discover "$ctl" discover "${scan[@]}" --count "$devices" --seconds 30 --json)"
echo "info $(measure info "$ctl" info "${scan[@]}" --all --seconds 3 --json)"
echo "update $(measure update "$ctl" update "$work/tq-9.9.9.bundle" "${scan[@]}" --all --seconds 3 --yes \
    --parallel 64 --quiet --report "$work/report.json")"
cp "$(dirname "$CORVANE_LAB_CONTROL")/devices.log" "$work/devices.log"
INNER

scripts/lab-network.sh --devices "$devices" --program build/bin/corvane-virtual-device --update-step-ms 1 \
    -- bash "$work/inner.sh" "$work" "$devices" >"$work/figures" 2>"$work/lab.log" ||
    { tail -n 30 "$work/lab.log" >&2; exit 1; }

field() { sed -n "s/^$1 .*$2=\([0-9.]*\).*/\1/p" "$work/figures"; }
listed=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["devices"]))' "$work/discover.out")
informed=$(python3 -c '
import json, sys
rows = json.load(open(sys.argv[1]))
print(sum(1 for row in rows if "version" in row))' "$work/info.out")
read -r succeeded reported < <(python3 -c '
import json, sys
report = json.load(open(sys.argv[1]))
rows = report["devices"]
print(sum(1 for row in rows if row["result"] == "succeeded"), len({row["macAddress"] for row in rows}))' \
    "$work/report.json")
# The devices' own account: one "upload firmware ok" line per device that took the file.
read -r took twice < <(python3 -c '
import collections, re, sys
count = collections.Counter(m.group(1) for m in re.finditer(r"^event (\S+) upload firmware ok", open(sys.argv[1]).read(), re.M))
print(len(count), sum(1 for n in count.values() if n > 1))' "$work/devices.log")

peak=$(field '[a-z]*' peak_mb | sort -n | tail -1)
printf '%-34s %10s  %s\n' "figure" "value" "target"
printf '%-34s %10s  %s\n' "devices listed by discover" "$listed" "$devices"
printf '%-34s %9ss  %s\n' "discover: all listed" "$(field discover seconds)" "<= 2 s"
printf '%-34s %10s  %s\n' "info: devices with their settings" "$informed" "$devices"
printf '%-34s %9ss  %s\n' "info --all" "$(field info seconds)" "< 15 s"
# Every device's key was pinned at its first contact (the info run) and
# matched again by the update.
pinned=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["devices"]))' \
    "$XDG_CONFIG_HOME/corvane/known-devices.json")
printf '%-34s %10s  %s\n' "keys pinned at first contact" "$pinned" "$devices"
printf '%-34s %10s  %s\n' "update: succeeded in the report" "$succeeded" "$devices"
printf '%-34s %10s  %s\n' "update: devices in the report" "$reported" "$devices"
printf '%-34s %10s  %s\n' "update: devices that took the file" "$took" "$devices"
printf '%-34s %10s  %s\n' "update: devices that took it twice" "$twice" "0"
printf '%-34s %9ss  %s\n' "update --parallel 64" "$(field update seconds)" "< 60 s"
printf '%-34s %8sMB  %s\n' "peak memory (largest run)" "$peak" "< 300 MB"
grep -h 'status=' "$work/figures" | grep -v 'status=0' && { echo "a run ended with a non-zero status" >&2; exit 1; }
exit 0
