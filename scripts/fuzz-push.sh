#!/usr/bin/env bash
# Builds the push-notification fuzzer with clang (libFuzzer, ASan, UBSan; Qt
# Core from Debian) in build-fuzz/ and runs it for a bounded time on a seed
# corpus of pushed messages: each input is one text message as a device would
# push it. Usage: scripts/fuzz-push.sh [seconds] (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-60}
cmake -S tools/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 --target fuzz_push_notification >/dev/null
corpus=build-fuzz/corpus-push
mkdir -p "$corpus"
cp tools/fuzz/corpus-push/* "$corpus"/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build-fuzz/fuzz_push_notification -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -dict=tools/fuzz/push.dict "$corpus"
