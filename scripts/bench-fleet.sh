#!/usr/bin/env bash
# corvanectl against a fleet: 1000 virtual devices (the scan's capacity is
# 1024) in the private test network. Each step is one corvanectl run, timed
# from the process's start to its end, with its peak memory (the largest
# resident set, from the kernel's accounting of the finished child):
#   discover   --count 1000: every device listed
#   info --all  logins to every device, their settings printed
#   update --all of a 256 KiB bundle, --parallel 64, with a report
# Then the devices' console is read: each device took the file exactly once.
# The three runs go twice: quiet, then loaded, with two busy processes
# (stress-ng --cpu 2) beside them and a known-devices store of their own, so
# that every key is met for the first time again, and a newer bundle.
# Targets, quiet: 1000 listed within 2 s, info under 15 s, the update under
# 60 s, peak memory under 300 MB, 0 devices lost or updated twice. Loaded:
# every device listed, logged in, read and updated, each run within 3 times
# its quiet time, 0 devices updated twice.
# Not part of the test suite (too heavy).
#
#   scripts/bench-fleet.sh [devices]      (1000 unless given, at most 1024)
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-1000}
scripts/build.sh --target corvanectl corvane-virtual-device >/dev/null
work=$(mktemp -d)
# Known devices of its own for each row (inner.sh): the bench pins its
# devices' keys there, not in the user's store.
export XDG_CONFIG_HOME=$work/config
# The benchmark meets its devices for the first time at every run.
export CORVANE_TRUST=accept-new
trap '[ -n "${CORVANE_KEEP:-}" ] || rm -rf "$work"' EXIT
head -c 262144 /dev/urandom >"$work/tq-9.9.9.bundle"
head -c 262144 /dev/urandom >"$work/tq-9.9.10.bundle"

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
console="$(dirname "$CORVANE_LAB_CONTROL")/devices.log"
# The three runs of one row ($1), each with its own store and bundle.
row() {
    local row=$1 bundle=$2
    export XDG_CONFIG_HOME=$work/config-$row
    wc -l <"$console" >"$work/$row.console-from"
    echo "$row-discover $(measure "$row-discover" "$ctl" discover "${scan[@]}" --count "$devices" --seconds 30 --json)"
    echo "$row-info $(measure "$row-info" "$ctl" info "${scan[@]}" --all --seconds 3 --json)"
    echo "$row-update $(measure "$row-update" "$ctl" update "$work/$bundle" "${scan[@]}" --all --seconds 3 --yes \
        --parallel 64 --quiet --report "$work/$row-report.json")"
}
row quiet tq-9.9.9.bundle
# The loaded row starts once every device has installed the quiet row's
# file and is back from its reboot (at most 2 minutes), so that its
# discovery waits for nobody still rebooting.
from=$(cat "$work/quiet.console-from")
for _ in $(seq 240); do
    tail -n +"$((from + 1))" "$console" | awk -v n="$devices" '
        / update finished / { updated++ } / reboot started / { down++ } / reboot finished / { up++ }
        END { exit !(updated >= n && up >= down) }' && break
    sleep 0.5
done
# Two processes that take both cores, for as long as the loaded row runs
# (the time-out ends them should this shell be killed).
stress-ng --cpu 2 --timeout 1800 --quiet &
busy=$!
row loaded tq-9.9.10.bundle
kill "$busy"
wait "$busy" || true
cp "$console" "$work/devices.log"
INNER

scripts/lab-network.sh --devices "$devices" --program build/bin/corvane-virtual-device --update-step-ms 1 \
    -- bash "$work/inner.sh" "$work" "$devices" >"$work/figures" 2>"$work/lab.log" ||
    { tail -n 30 "$work/lab.log" >&2; exit 1; }

python3 - "$work" "$devices" <<'PY' || exit 1
import collections, json, os, re, sys
work, devices = sys.argv[1], int(sys.argv[2])
runs = {}
for line in open(os.path.join(work, "figures")):
    name, *pairs = line.split()
    runs[name] = dict(pair.split("=") for pair in pairs)
console = open(os.path.join(work, "devices.log")).read().splitlines()

def figures(row):
    f = {}
    f["listed"] = len(json.load(open(os.path.join(work, row + "-discover.out")))["devices"])
    rows = json.load(open(os.path.join(work, row + "-info.out")))
    f["informed"] = sum(1 for r in rows if "version" in r)
    report = json.load(open(os.path.join(work, row + "-report.json")))["devices"]
    f["succeeded"] = sum(1 for r in report if r["result"] == "succeeded")
    f["reported"] = len({r["macAddress"] for r in report})
    store = os.path.join(work, "config-" + row, "corvane", "known-devices.json")
    f["pinned"] = len(json.load(open(store))["devices"]) if os.path.exists(store) else 0
    # The devices' own account of the row: one "upload firmware ok" line
    # per device that took the file.
    start = int(open(os.path.join(work, row + ".console-from")).read())
    end = len(console)
    if row == "quiet":
        end = int(open(os.path.join(work, "loaded.console-from")).read())
    count = collections.Counter(m.group(1) for line in console[start:end]
                                for m in [re.match(r"^event (\S+) upload firmware ok", line)] if m)
    f["took"] = len(count)
    f["twice"] = sum(1 for n in count.values() if n > 1)
    for step in ("discover", "info", "update"):
        f[step] = float(runs[row + "-" + step]["seconds"])
    return f

quiet, loaded = figures("quiet"), figures("loaded")
peak = max(float(r["peak_mb"]) for r in runs.values())
line = "%-36s %10s %10s  %s"
print(line % ("figure", "quiet", "loaded", "target (quiet; loaded)"))
n = str(devices)
print(line % ("devices listed by discover", quiet["listed"], loaded["listed"], n))
print(line % ("discover: all listed (s)", quiet["discover"], loaded["discover"],
              "<= 2 s; <= 3 x quiet (%.1f s)" % (3 * quiet["discover"])))
print(line % ("info: devices with their settings", quiet["informed"], loaded["informed"], n))
print(line % ("info --all (s)", quiet["info"], loaded["info"], "< 15 s; <= 3 x quiet (%.1f s)" % (3 * quiet["info"])))
# Every device's key was pinned at its first contact (the info run) and
# matched again by the update.
print(line % ("keys pinned at first contact", quiet["pinned"], loaded["pinned"], n))
print(line % ("update: succeeded in the report", quiet["succeeded"], loaded["succeeded"], n))
print(line % ("update: devices in the report", quiet["reported"], loaded["reported"], n))
print(line % ("update: devices that took the file", quiet["took"], loaded["took"], n))
print(line % ("update: devices that took it twice", quiet["twice"], loaded["twice"], "0"))
print(line % ("update --parallel 64 (s)", quiet["update"], loaded["update"],
              "< 60 s; <= 3 x quiet (%.1f s)" % (3 * quiet["update"])))
print(line % ("peak memory, largest run (MB)", peak, "", "< 300 MB"))
bad = [name for name, r in runs.items() if r["status"] != "0"]
if bad:
    print("runs that ended with a non-zero status: " + ", ".join(bad), file=sys.stderr)
    sys.exit(1)
PY
