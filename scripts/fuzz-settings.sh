#!/usr/bin/env bash
# Builds the settings-models fuzzer with clang (libFuzzer, ASan, UBSan; Qt
# Core from Debian) in build-fuzz/ and runs it for a bounded time on a seed
# corpus of settings documents and section values. Each input's first byte
# chooses the requested keys. Usage: scripts/fuzz-settings.sh [seconds]
# (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-60}
cmake -S tools/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 --target fuzz_settings_models >/dev/null
corpus=build-fuzz/corpus-settings
mkdir -p "$corpus"
cp tools/fuzz/corpus-settings/* "$corpus"/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build-fuzz/fuzz_settings_models -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -dict=tools/fuzz/settings.dict "$corpus"
