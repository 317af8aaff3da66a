#!/usr/bin/env bash
# The documentation's screenshots: the main window with devices listed, and
# the login popup, at 100 % (1280x800), 150 % (1366x768) and 200 % (1280x800)
# and in a dark desktop palette, as PNG files in docs/screenshots/ (or the
# folder given). Each runs Corvane on a private X server (with-xvfb.sh)
# inside the private test network (lab-network.sh) with virtual devices,
# worked from the keyboard as an operator would; nothing is sent on this
# machine's own network. Every run asks for Material's dark theme as a
# desktop may (QT_QUICK_CONTROLS_STYLE): Corvane keeps its own style. The dark
# palette is a KDE desktop's (kdeglobals' colour groups, which Qt reads where
# XDG_CURRENT_DESKTOP is KDE).
#
#   scripts/screenshots.sh [folder]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

if [ "${CORVANE_SCREENSHOT_INNER:-}" != 1 ]; then
    out=$(mkdir -p "${1:-docs/screenshots}" && cd "${1:-docs/screenshots}" && pwd)
    scripts/build.sh --target corvane corvane-virtual-device corvane-screenshot >/dev/null
    command -v xdotool >/dev/null || { echo "screenshots: xdotool is missing (scripts/install-deps.sh)" >&2; exit 77; }
    # name, X screen, scale, palette
    for shot in "100:1280x800:1:light" "150:1366x768:1.5:light" "200:1280x800:2:light" "dark:1280x800:1:dark"; do
        IFS=: read -r name screen scale palette <<<"$shot"
        echo "screenshots: $name ($screen at $scale, $palette palette)" >&2
        CORVANE_SCREENSHOT_INNER=1 CORVANE_XVFB_SCREEN=${screen}x24 \
            scripts/lab-network.sh --devices 4 --password corvane -- \
            scripts/with-xvfb.sh "$0" "$out/$name" "$scale" "$palette"
    done
    ls -l "$out" >&2
    exit 0
fi

# Inside: the private network and display. $1 the file prefix, $2 the scale,
# $3 the palette.
prefix=$1
scale=$2
palette=$3
work=$(mktemp -d)
corvane=
cleanup() {
    if [ -n "$corvane" ]; then
        kill "$corvane" 2>/dev/null || true
        wait "$corvane" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

export XDG_CONFIG_HOME=$work/config
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
if [ "$palette" = dark ]; then
    export XDG_CURRENT_DESKTOP=KDE KDE_SESSION_VERSION=5
    cat >"$XDG_CONFIG_HOME/kdeglobals" <<'KDE'
[Colors:Window]
BackgroundNormal=42,46,50
ForegroundNormal=232,232,232
[Colors:View]
BackgroundNormal=27,30,32
ForegroundNormal=232,232,232
[Colors:Button]
BackgroundNormal=49,54,59
ForegroundNormal=232,232,232
[Colors:Selection]
BackgroundNormal=61,174,233
ForegroundNormal=255,255,255
[Colors:Tooltip]
BackgroundNormal=49,54,59
ForegroundNormal=232,232,232
KDE
fi

QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR=$scale QT_QUICK_CONTROLS_STYLE=Material QT_QUICK_CONTROLS_MATERIAL_THEME=Dark \
    CORVANE_TRUST=accept-new "$root/build/bin/corvane" 2>"$work/corvane.log" &
corvane=$!

# Waits up to $2 seconds for the command $1 to succeed.
waitFor() {
    local tries=$(($2 * 5))
    until eval "$1"; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ]; then
            echo "screenshots: timed out waiting for: $1 (what showed: $prefix-failed.png)" >&2
            cat "$work/corvane.log" >&2
            shot "$prefix-failed.png" || true
            exit 1
        fi
        sleep 0.2
    done
}

window=
# shellcheck disable=SC2016 # expanded by waitFor
waitFor 'window=$(xdotool search --onlyvisible --pid "$corvane" 2>/dev/null | head -1); [ -n "$window" ]' 30
key() { xdotool windowfocus --sync "$window" && xdotool key --clearmodifiers "$@"; }
shot() { "$root/build/bin/corvane-screenshot" "$window" "$1"; }
# The same picture twice, a second apart: what was asked for has shown.
settled() {
    shot "$work/a.png" && sleep 1 && shot "$work/b.png" && cmp -s "$work/a.png" "$work/b.png"
}

# The interface chooser is open at start with the focus on its list: the
# private network's interface is its first row.
waitFor settled 20
key Down
waitFor settled 10
key Return
# The devices answer within a few seconds; then the list stops changing
# (the pointer is parked where it hovers nothing).
xdotool mousemove --window "$window" 5 5
sleep 3
waitFor settled 20
shot "$prefix-devices.png"

# The first row's login, from the keyboard, with a few password characters typed.
key Down Return
waitFor settled 10
xdotool type --delay 30 "corv"
waitFor settled 10
shot "$prefix-login.png"
