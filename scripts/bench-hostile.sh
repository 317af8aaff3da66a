#!/usr/bin/env bash
# The hostile-device table: every row of the tests that face a hostile
# device (answers to the login, the settings read and uploads; push
# channels; discovery flooded with made-up MAC addresses) with its verdict,
# peak memory growth and the longest time the caller's thread was kept from
# its event loop, beside the targets (< 64 MB, < 50 ms of its own work).
# The verdicts are the tests' own; this script gathers their figures.
# Optionally on a loaded machine: scripts/bench-hostile.sh --loaded (stress-ng
# on every core meanwhile).
#
#   scripts/bench-hostile.sh [--loaded]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh --target tst_httptransfer tst_websocketclient tst_devicefacade_discovery \
    corvane-virtual-device >/dev/null
load=
if [ "${1:-}" = --loaded ]; then
    stress-ng --cpu "$(nproc)" --timeout 600 >/dev/null 2>&1 &
    load=$!
    trap 'kill "$load" 2>/dev/null || true' EXIT
fi
status=0
run() {
    local out
    # Each row's verdict is the test's PASS or FAIL; its figures its QINFO line.
    out=$(cd build && "$@" 2>&1) || status=1
    awk '
        /QINFO .*hostile / {sub(/.*hostile /, ""); figures = $0}
        /^(PASS|FAIL!) / && figures != "" {print ($1 == "PASS" ? "pass  " : "FAIL  ") figures; figures = ""}
    ' <<<"$out"
}
echo "verdict  row: figures (targets)"
run tests/comm/tst_httptransfer hostileAnswers
run tests/comm/tst_websocketclient hostileDevice
run tests/device/tst_devicefacade_discovery madeUpMacsFromOneAddressHoldTheTable
[ -z "$load" ] || echo "(with stress-ng --cpu $(nproc) running)"
exit "$status"
