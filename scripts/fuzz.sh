#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan, UBSan; Qt Core from Debian)
# in build-fuzz/ and runs them on their seed corpora.
# Usage: scripts/fuzz.sh lndp|lndp-hosts|settings|push|answer [seconds] (default 60)
#        scripts/fuzz.sh --long [target...] (default all)
#   lndp      the LNDP wire format (each input one datagram), then the
#             engine's host table (lndp-hosts), each for the time given
#   lndp-hosts  the engine's host table: each input a sequence of answers,
#             made-up and malformed datagrams, time passing and passes
#   settings  the settings models: documents and section values; each
#             input's first byte chooses the requested keys
#   push      the notification subscriber: each input is one text message
#             as a device would push it
#   answer    the transport's exchange: each input is a device's HTTP
#             answer, head and body; its first byte chooses the request
#   --long    a night's run, not CI's: each target up to FUZZ_RUNS
#             executions (10^8 unless set), capped at FUZZ_MAX_SECONDS of
#             wall time (600 unless set), one after the other
# At the end, per target: executions, seconds, executions per second,
# coverage and features, crashes found (their inputs in build-fuzz/crashes/).
set -euo pipefail
cd "$(dirname "$0")/.."
usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
describe() {
    case "$1" in
        lndp-packet) target=fuzz_lndp_packet seeds=corpus max_len=1600 dict= ;;
        lndp-hosts) target=fuzz_lndp_hosts seeds=corpus-hosts max_len=4096 dict= ;;
        settings) target=fuzz_settings_models seeds=corpus-settings max_len=4096 dict=tools/fuzz/settings.dict ;;
        push) target=fuzz_push_notification seeds=corpus-push max_len=4096 dict=tools/fuzz/push.dict ;;
        # Past 64 KiB, so that a head can pass its bound.
        answer) target=fuzz_http_answer seeds=corpus-answer max_len=131072 dict=tools/fuzz/answer.dict ;;
        *) usage ;;
    esac
}

long=
if [ "${1:-}" = --long ]; then
    long=1
    shift
    names=("$@")
    [ ${#names[@]} -gt 0 ] || names=(lndp settings push answer)
    runs=${FUZZ_RUNS:-100000000}
    cap=${FUZZ_MAX_SECONDS:-600}
else
    [ $# -ge 1 ] && [ $# -le 2 ] || usage
    names=("$1")
    seconds=${2:-60}
fi
# lndp stands for both of its targets.
expanded=()
for name in "${names[@]}"; do
    if [ "$name" = lndp ]; then expanded+=(lndp-packet lndp-hosts); else expanded+=("$name"); fi
done
names=("${expanded[@]}")
for name in "${names[@]}"; do describe "$name"; done

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
targets=()
for name in "${names[@]}"; do
    describe "$name"
    targets+=("$target")
done
quiet cmake --build build-fuzz -j2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
summary=()
failed=0
for name in "${names[@]}"; do
    describe "$name"
    corpus=build-fuzz/$seeds
    crashes=build-fuzz/crashes/$name
    log=build-fuzz/$name.log
    mkdir -p "$corpus" "$crashes"
    cp tools/fuzz/"$seeds"/* "$corpus"/
    if [ -n "$long" ]; then
        bounds=(-runs="$runs" -max_total_time="$cap")
        echo "fuzz $name: up to $runs executions, capped at $cap s of wall time" >&2
    else
        bounds=(-max_total_time="$seconds")
    fi
    before=$(find "$crashes" -type f | wc -l)
    start=$(date +%s.%N)
    status=0
    build-fuzz/"$target" "${bounds[@]}" -max_len="$max_len" -print_final_stats=1 \
        -artifact_prefix="$crashes/" ${dict:+-dict="$dict"} "$corpus" 2>&1 | tee "$log" >&2 || status=$?
    end=$(date +%s.%N)
    found=$(($(find "$crashes" -type f | wc -l) - before))
    [ "$status" -eq 0 ] || failed=1
    summary+=("$(awk -v name="$name" -v a="$start" -v b="$end" -v found="$found" '
        /^stat::number_of_executed_units:/ {execs = $2}
        / (cov|ft): / {for (i = 1; i < NF; ++i) {if ($i == "cov:") cov = $(i + 1); if ($i == "ft:") ft = $(i + 1)}}
        END {s = b - a; printf "%-11s %12d %9.1f %10.0f %8s %8s %8d\n", name, execs, s, (s > 0 ? execs / s : 0), cov, ft, found}
    ' "$log")")
done
printf '%-11s %12s %9s %10s %8s %8s %8s\n' target executions seconds exec/s cov ft crashes
printf '%s\n' "${summary[@]}"
[ -z "$long" ] || echo "(each target capped at ${cap} s of wall time beside ${runs} executions)"
exit "$failed"
