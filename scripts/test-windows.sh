#!/usr/bin/env bash
# Cross-builds the Qt-free layers (the platform layer, the LNDP engine) and
# their tests for 64-bit Windows with mingw-w64 (preset "windows", build
# folder build-windows) and runs the tests under Wine, in a Wine prefix of
# that build folder (build-windows/wine), without a display.
# Where the cross compilers or Wine cannot be installed, or Wine cannot be
# started, it says SKIPPED and exits 0; a build or test failure exits 1.
# Usage: scripts/test-windows.sh     (CORVANE_JOBS=n: build jobs, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-windows
prefix="$PWD/$build/wine"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

skip() {
    echo "test-windows: SKIPPED: $*"
    exit 0
}
phase() {
    printf 'test-windows: %-32s %3d s\n' "$1" "$2"
}

start=$SECONDS
scripts/install-deps.sh windows || echo "test-windows: could not install every package" >&2
for tool in cmake make x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
phase "packages" $((SECONDS - start))

t=$SECONDS
# The preset builds with Unix Makefiles: CI's one build with a generator other
# than Ninja.
if ! cmake --preset windows >/dev/null || ! nice -n 10 cmake --build --preset windows -j "${CORVANE_JOBS:-2}"; then
    echo "test-windows: FAILED: the cross build"
    exit 1
fi
phase "configure and build" $((SECONDS - t))

t=$SECONDS
command -v wine >/dev/null && command -v wineserver >/dev/null || skip "Wine is not installed (the build passed)"
# A new prefix is made on the first start; wait until it is complete, and
# check that a program runs.
if ! timeout 300 wineboot --init >/dev/null 2>&1 || ! timeout 120 wineserver -w; then
    skip "Wine could not make its prefix in $prefix (the build passed)"
fi
if [ "$(timeout 60 wine cmd.exe /c echo started 2>/dev/null | tr -d '\r')" != started ]; then
    skip "Wine could not start a program (the build passed)"
fi
phase "Wine prefix" $((SECONDS - t))

t=$SECONDS
status=0
ctest --preset windows || status=$?
# Each program's own count: cases skipped where Wine cannot do what they
# need (tests/support/engine/LoopbackAddresses.h) show here.
grep -E -e '^[0-9]+/[0-9]+ Testing:' -e 'test cases:' "$build/Testing/Temporary/LastTest.log" \
    | sed -e 's/^[0-9]*\/[0-9]* Testing: /test-windows: /' -e 's/^\[doctest\] /    /' || true
# Leave no Wine server of this prefix behind.
timeout 60 wineserver -w || wineserver -k || true
phase "tests under Wine" $((SECONDS - t))
phase "total" $((SECONDS - start))
if [ "$status" -ne 0 ]; then
    echo "test-windows: FAILED"
    exit 1
fi
echo "test-windows: all tests passed under Wine"
