#!/usr/bin/env bash
# How often an upload hears a device's early refusal: a TLS server on
# loopback (the tests' HostileTlsServer) reads the head of an 8 MiB multipart
# upload, answers 403 or 413 at once and closes with the body unread (a
# reset); `after-body` answers after 256 KiB of the body instead. Each status
# is tried `tries` times (60 unless given) through the transport and with the
# curl program, alternating; on an idle machine, then beside stress-ng on
# every core. Prints the refusals each heard, side by side.
# Target: ours >= curl's, idle and loaded. Not part of the test suite (a race
# is measured here, not asserted).
#
#   scripts/bench-refusal.sh [tries [head|after-body]]
set -euo pipefail
cd "$(dirname "$0")/.."
tries=${1:-60}
play=${2:-head}
scripts/install-deps.sh
scripts/build.sh --target bench_refusal >/dev/null
bench=build/tools/bench/bench_refusal
work=$(mktemp -d)
load=
cleanup() {
    [ -z "$load" ] || kill "$load" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
# A firmware file by its name: the transport uploads files of known kinds only.
file=$work/fw-9.9.9.bundle
head -c 8M /dev/urandom >"$file"

measure() {
    "$bench" "$file" "$tries" "$play" 403 413 2>"$work/bench.log" \
        || { cat "$work/bench.log" >&2; echo "bench_refusal failed" >&2; exit 1; }
}
report() {
    awk -v mode="$1" '{for (i = 1; i <= NF; ++i) {split($i, kv, "="); v[kv[1]] = kv[2]}
        printf "%-6s %s  ours %2d/%d  curl %2d/%d  (target ours >= curl: %s)\n", mode, v["status"], v["ours"],
            v["tries"], v["curl"], v["tries"], (v["ours"] >= v["curl"] ? "met" : "MISSED")}'
}

idle=$(measure)
stress-ng --cpu "$(nproc)" --timeout 900 --quiet &
load=$!
sleep 1 # the load running before the first try
loaded=$(measure)
kill "$load"
wait "$load" 2>/dev/null || true
load=

echo "early refusal ($play), $tries tries per status, 8 MiB multipart upload over TLS on loopback"
report idle <<<"$idle"
report loaded <<<"$loaded"
