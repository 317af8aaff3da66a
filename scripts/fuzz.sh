#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan, UBSan; Qt Core from Debian)
# in build-fuzz/ and runs them for a bounded time each on their seed corpus.
# Usage: scripts/fuzz.sh lndp|lndp-hosts|settings|push [seconds] (default 60)
#   lndp        the LNDP wire format (each input one datagram), then the
#               engine's host table (lndp-hosts), each for the time given
#   lndp-hosts  the engine's host table: each input a sequence of answers,
#               made-up and malformed datagrams, time passing and passes
#   settings    the settings models: documents and section values; each
#               input's first byte chooses the requested keys
#   push        the notification subscriber: each input is one text message
#               as a device would push it
set -euo pipefail
cd "$(dirname "$0")/.."
# target seeds max_len dict, one run each
case "${1:-}" in
    lndp) runs=("fuzz_lndp_packet corpus 1600 -" "fuzz_lndp_hosts corpus-hosts 4096 -") ;;
    lndp-hosts) runs=("fuzz_lndp_hosts corpus-hosts 4096 -") ;;
    settings) runs=("fuzz_settings_models corpus-settings 4096 tools/fuzz/settings.dict") ;;
    push) runs=("fuzz_push_notification corpus-push 4096 tools/fuzz/push.dict") ;;
    *) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
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
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for run in "${runs[@]}"; do
    read -r target seeds max_len dict <<<"$run"
    [ "$dict" = - ] && dict=
    quiet cmake --build build-fuzz -j2 --target "$target"
    corpus=build-fuzz/$seeds
    mkdir -p "$corpus"
    cp tools/fuzz/"$seeds"/* "$corpus"/
    build-fuzz/"$target" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
        ${dict:+-dict="$dict"} "$corpus"
done
