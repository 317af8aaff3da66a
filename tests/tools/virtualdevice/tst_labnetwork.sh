#!/usr/bin/env bash
# The private test network: it comes up with its devices, a device is reached
# across it from Corvane's side, the command's status comes back, and nothing
# is left behind: not after a normal end, a failing command, or Ctrl-C.
# Exits 77 (skipped) where no network namespace can be made.
set -uo pipefail
lab=${1:?lab-network.sh}
program=${2:?corvane-virtual-device}

fail() { echo "FAIL: $*" >&2; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Values the lab prints on standard error.
workdir_of() { sed -n 's/.*workdir \([^ ]*\).*/\1/p' "$log" | head -1; }
devpid_of() { sed -n 's/.*devices pid \([0-9]*\).*/\1/p' "$log" | head -1; }
check_gone() {
    local workdir devpid
    workdir=$(workdir_of)
    devpid=$(devpid_of)
    [ -n "$workdir" ] && [ -n "$devpid" ] || fail "the lab did not report its workdir and devices"
    [ ! -e "$workdir" ] || fail "workdir $workdir left behind"
    for _ in $(seq 50); do [ -e "/proc/$devpid" ] || break; sleep 0.1; done
    [ ! -e "/proc/$devpid" ] || fail "virtual devices (pid $devpid) still running"
    ! pgrep -f "$workdir" >/dev/null || fail "processes of $workdir still running"
    ! ip link show corvane-lab >/dev/null 2>&1 || fail "corvane-lab exists outside the lab"
    ! ip link show lab-devices >/dev/null 2>&1 || fail "lab-devices exists outside the lab"
}

# 1. Reach the devices from Corvane's side.
"$lab" --devices 3 --password lab-pass --program "$program" -- bash -c '
    set -e
    code=$(printf lab-pass | md5sum | cut -c1-32)
    ip -br addr show corvane-lab | grep -q "10.213.0.1/24"
    ! ip route | grep -q default
    [ "$CORVANE_LAB_DEVICES" = "10.213.0.10 10.213.0.11 10.213.0.12" ]
    for a in $CORVANE_LAB_DEVICES; do
        status=$(curl -sk --noproxy "*" -o /dev/null -w "%{http_code}" -X POST -u "admin:$code" "https://$a:60010/api/v1/auth/authenticate")
        [ "$status" = 200 ] || { echo "authenticate $a: $status" >&2; exit 1; }
    done
    curl -sk --noproxy "*" -u "admin:$code" https://10.213.0.11:60010/api/v1/settings/self | grep -q "\"model-name\":\"TQ-360\""
    [ "$(curl -sk --noproxy "*" -o /dev/null -w "%{http_code}" -X POST -u admin:wrong https://10.213.0.10:60010/api/v1/auth/authenticate)" = 403 ]
    "'"$program"'" --send "$CORVANE_LAB_CONTROL" list | grep -c "^device " | grep -qx 3
    echo reached-all-devices
' >"$log.out" 2>"$log"
rc=$?
cat "$log" "$log.out" >&2
if [ $rc -eq 77 ]; then rm -f "$log.out"; exit 77; fi
[ $rc -eq 0 ] || fail "lab run failed with $rc"
grep -qx reached-all-devices "$log.out" || fail "the command did not reach the devices"
rm -f "$log.out"
check_gone

# 2. A failing command's status comes back, and the lab still tears down.
"$lab" --devices 1 --program "$program" -- sh -c 'exit 7' 2>"$log"
rc=$?
[ $rc -eq 7 ] || fail "status $rc instead of 7"
check_gone

# 3. Ctrl-C (SIGINT to the foreground process group) while the command runs.
# A background job starts with SIGINT ignored; a terminal's job does not.
setsid env --default-signal=INT "$lab" --devices 2 --program "$program" -- sleep 300 2>"$log" &
lab_pid=$!
for _ in $(seq 300); do grep -q "control:" "$log" && break; sleep 0.1; done
grep -q "control:" "$log" || fail "the lab did not come up for the interrupt test"
kill -INT -- "-$lab_pid"
for _ in $(seq 100); do kill -0 "$lab_pid" 2>/dev/null || break; sleep 0.1; done
! kill -0 "$lab_pid" 2>/dev/null || { kill -KILL -- "-$lab_pid"; fail "the lab did not end on Ctrl-C"; }
wait "$lab_pid"
grep -q "torn down" "$log" || fail "no teardown after Ctrl-C"
check_gone

echo "PASS: lab network"
