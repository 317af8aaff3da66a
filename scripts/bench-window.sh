#!/usr/bin/env bash
# The window's figures, measured from outside the program on a private X
# server inside the private test network (scripts/lab-network.sh):
#  - start-up: process start to the first frame the scene graph renders,
#    over several starts (target < 0.5 s);
#  - with every device logged in (through the login popup, as an operator
#    does) and each pushing a change every 100 ms for 30 s: the longest
#    frame (target < 50 ms) and the program's CPU time over wall time
#    (target < 10 % of one core).
# Not part of the test suite (too long). The program's environment passes
# through, e.g. QT_QUICK_BACKEND=software to compare the software renderer
# with OpenGL (which Xvfb provides in software too, so that its rendering
# counts as the program's CPU time).
#
#   scripts/bench-window.sh [devices [seconds [interval ms [starts]]]]
set -euo pipefail
cd "$(dirname "$0")/.."
devices=${1:-32}
seconds=${2:-30}
interval=${3:-100}
starts=${4:-5}
password=bench-window
scripts/build.sh --target corvane corvane-virtual-device bench_window >/dev/null
work=$(mktemp -d)
# Known devices of its own: the bench pins its devices' keys there, not in
# the user's store.
export XDG_CONFIG_HOME=$work/config
trap 'rm -rf "$work"' EXIT

status=0
QT_QPA_PLATFORM=xcb scripts/lab-network.sh --devices "$devices" --password "$password" \
    --program "$PWD/build/bin/corvane-virtual-device" -- \
    scripts/with-xvfb.sh build/tools/bench/bench_window "$PWD/build/bin/corvane" "$password" "$seconds" "$interval" \
    "$starts" >"$work/out" 2>"$work/err" || status=$?
line=$(grep '^starts=' "$work/out" || true)
[ -n "$line" ] || { cat "$work/err" >&2; exit "$([ "$status" -ne 0 ] && echo "$status" || echo 1)"; }
value() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<" $line"; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print v < t ? "met" : "MISSED"}'; }
echo "$line"
echo "start-up: first frame after $(value first_frame_ms_median) ms (median of $(value starts); $(value first_frame_ms_min) to $(value first_frame_ms_max) ms), target < 500 ms: $(verdict "$(value first_frame_ms_median)" 500)"
longest=$(( $(value longest_render_ms) > $(value longest_prepare_ms) ? $(value longest_render_ms) : $(value longest_prepare_ms) ))
echo "frames:   $(value frames) in $(value seconds) s with $(value logged_in) of $(value devices) devices logged in, a change every $(value interval_ms) ms each; longest $longest ms (render $(value longest_render_ms) ms, GUI side $(value longest_prepare_ms) ms, mean render $(value mean_render_ms) ms), target < 50 ms: $(verdict "$longest" 50)"
echo "cpu:      $(value cpu_percent) % of one core, target < 10 %: $(verdict "$(value cpu_percent)" 10)"
exit "$status"
