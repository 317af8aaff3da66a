#!/usr/bin/env bash
# Builds the LNDP wire-format fuzzer with clang (libFuzzer, ASan, UBSan) in
# build-fuzz/ and runs it for a bounded time on a seed corpus of valid and
# boundary datagrams. Usage: scripts/fuzz-lndp.sh [seconds] (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
seconds=${1:-60}
cmake -S tools/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j2 >/dev/null
corpus=build-fuzz/corpus
mkdir -p "$corpus"
cp tools/fuzz/corpus/* "$corpus"/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
exec build-fuzz/fuzz_lndp_packet -max_total_time="$seconds" -max_len=1600 -print_final_stats=1 "$corpus"
