#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan, UBSan; Qt Core from Debian)
# in build-fuzz/ and runs one for a bounded time on its seed corpus.
# Usage: scripts/fuzz.sh lndp|settings|push [seconds] (default 60)
#   lndp      the LNDP wire format: each input is one datagram
#   settings  the settings models: documents and section values; each
#             input's first byte chooses the requested keys
#   push      the notification subscriber: each input is one text message
#             as a device would push it
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    lndp) target=fuzz_lndp_packet seeds=corpus max_len=1600 dict= ;;
    settings) target=fuzz_settings_models seeds=corpus-settings max_len=4096 dict=tools/fuzz/settings.dict ;;
    push) target=fuzz_push_notification seeds=corpus-push max_len=4096 dict=tools/fuzz/push.dict ;;
    *) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac
seconds=${2:-60}
scripts/install-deps.sh
# Quiet unless something fails: then the tool's whole output says why.
quiet() {
    local output
    if ! output=$("$@" 2>&1); then
        printf '%s\n' "$output" >&2
        echo "fuzz: failed: $*" >&2
        return 1
    fi
}
quiet cmake -S tools/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++
quiet cmake --build build-fuzz -j2 --target "$target"
corpus=build-fuzz/$seeds
mkdir -p "$corpus"
cp tools/fuzz/"$seeds"/* "$corpus"/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build-fuzz/"$target" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
    ${dict:+-dict="$dict"} "$corpus"
