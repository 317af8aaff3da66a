#!/usr/bin/env bash
# Runs a command on a private Xvfb display that the server picks itself, so
# that several such commands can run at once; the server ends with the command.
# CORVANE_XVFB_SCREEN sets the screen (default 1280x800x24).
set -euo pipefail
# Without an X server to start the command cannot run here: skipped (77).
command -v Xvfb >/dev/null || { echo "with-xvfb: Xvfb is not installed (scripts/install-deps.sh); skipped" >&2; exit 77; }

workdir=$(mktemp -d)
xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$workdir"
}
trap cleanup EXIT

mkfifo "$workdir/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 "${CORVANE_XVFB_SCREEN:-1280x800x24}" 3>"$workdir/display" 2>"$workdir/xvfb.log" &
xvfb_pid=$!
# The server writes its display number once it accepts clients.
if ! read -r -t 30 number <"$workdir/display"; then
    echo "with-xvfb: Xvfb did not start:" >&2
    cat "$workdir/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$number"
unset WAYLAND_DISPLAY
set +e
"$@"
rc=$?
exit $rc
