#!/usr/bin/env bash
# A firmware batch of 8 virtual devices on loopback with one file (256 MiB
# unless a size is given, e.g. 1G), driven through the system implementation
# as the window drives it, beside the same 8 uploads done one after another by
# curl in the same run (curl's total includes one md5sum of the file, since
# the body carries the digest). Prints the total time of each, the ratio, and
# the longest time the user-interface thread was blocked during the batch
# (lateness of a 5 ms timer) and the CPU time that thread used. Targets:
# Corvane <= 1.05 x curl, the thread's CPU under 10 % of the batch's time,
# blocked < 50 ms. Not part of the test suite (too heavy); the machine's load
# average is printed beside the figures, since it sways them.
# Each side runs `rounds` times (3 unless given), the best time counts and
# the longest block of any batch.
#
#   scripts/bench-batch.sh [size [devices [rounds]]]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-256M}
count=${2:-8}
rounds=${3:-3}
password=bench-batch
scripts/build.sh --target bench_batch corvane-virtual-device >/dev/null
bench=build/tools/bench/bench_batch
. scripts/virtual-devices.sh

# A sparse file: the size travels over the wire and through the digest, the
# disk stays empty.
file="$work/tq-9.9.9.bundle"
truncate -s "$size" "$file"
bytes=$(stat -c %s "$file")

# Uploads go to port 60010, so every device has an address of its own.
addresses=()
device_args=()
for i in $(seq "$count"); do
    addresses+=("127.0.134.$i")
    device_args+=(--device "address=127.0.134.$i,password=$password")
done
start_devices "${device_args[@]}" --lndp-port 0 --https-port 60010 \
    --update-step-ms 1 --update-step-percent 100 --reboot-ms 0
code=$(printf %s "$password" | md5sum | cut -c1-32)

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.3f\n", b - a}'; }
# Every firmware upload starts an installation; the next round waits for the
# devices to be idle again.
wait_installed() {
    for _ in $(seq 600); do
        [ "$(grep -c 'update finished' "$work/device.log")" -ge "$1" ] && return
        sleep 0.1
    done
    echo "the devices did not finish their installations" >&2
    exit 1
}
uploads_ok() { grep -c 'upload firmware ok' "$work/device.log" || true; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# Corvane: login, push channels, then the batch.
run_corvane() {
    line=$("$bench" "$file" "$password" "${addresses[@]}" 2>"$work/bench.log") ||
        { echo "Corvane batch: $line" >&2; cat "$work/bench.log" >&2; exit 1; }
    uploads=$((uploads + count))
    [ "$(uploads_ok)" -eq "$uploads" ] || { echo "Corvane batch: $(uploads_ok) of $uploads uploads arrived" >&2; exit 1; }
    sed 's/.* seconds=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/corvane.times"
    sed 's/.*longest_block_ms=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/block.times"
    sed 's/.*longest_busy_ms=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/busy.times"
    # The thread's CPU as a share of the batch's time, in per cent.
    awk '{for (i = 1; i <= NF; ++i) {split($i, kv, "="); v[kv[1]] = kv[2]}}
         END {printf "%.1f\n", 100 * v["ui_cpu_seconds"] / v["seconds"]}' <<<"$line" >>"$work/uicpu.times"
    echo "round $round Corvane: $line" >&2
    wait_installed "$uploads"
}
# curl: one digest, then the devices one after another.
run_curl() {
    local start status digest
    start=$(now)
    digest=$(md5sum "$file" | cut -c1-32)
    for address in "${addresses[@]}"; do
        status=$(curl -sk --noproxy '*' -o "$work/answer" -w '%{http_code}' -u "admin:$code" \
            -F "hash_value=$digest" -F "firmware_file=@$file;type=application/octet-stream" \
            "https://$address:60010/api/v1/files/firmware")
        [ "$status" = 200 ] || { echo "curl upload to $address: HTTP $status $(cat "$work/answer")" >&2; exit 1; }
    done
    since "$start" >>"$work/curl.times"
    uploads=$((uploads + count))
    [ "$(uploads_ok)" -eq "$uploads" ] || { echo "curl: $(uploads_ok) of $uploads uploads arrived" >&2; exit 1; }
    echo "round $round curl: $(tail -1 "$work/curl.times") s" >&2
    wait_installed "$uploads"
}

# The machine is shared and single runs sway by a third: each side runs
# `rounds` times, taking turns at going first, and the best run counts.
uploads=0
: >"$work/corvane.times"; : >"$work/curl.times"; : >"$work/block.times"; : >"$work/busy.times"
: >"$work/uicpu.times"
for round in $(seq "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then run_corvane; run_curl; else run_curl; run_corvane; fi
done
best() { awk 'NR == 1 || $1 < m {m = $1} END {printf "%.3f", m}'; }
worst() { awk 'NR == 1 || $1 > m {m = $1} END {printf "%.1f", m}'; }
corvane_s=$(best <"$work/corvane.times")
curl_s=$(best <"$work/curl.times")
block_ms=$(worst <"$work/block.times")
busy_ms=$(worst <"$work/busy.times")
uicpu=$(worst <"$work/uicpu.times")

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
ratio=$(awk -v a="$corvane_s" -v b="$curl_s" 'BEGIN {printf "%.2f", a / b}')
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print (v + 0 <= t + 0) ? "met" : "MISSED"}'; }
mbps() { awk -v b="$bytes" -v n="$count" -v s="$1" 'BEGIN {printf "%.1f", b * n / s / 1048576}'; }

echo "file: $bytes bytes (sparse), $count devices 127.0.134.1-$count:60010"
echo "batch   Corvane:       $corvane_s s, $(mbps "$corvane_s") MiB/s (runs: $(paste -sd' ' "$work/corvane.times"))"
echo "batch   curl + md5sum: $curl_s s, $(mbps "$curl_s") MiB/s (runs: $(paste -sd' ' "$work/curl.times"))"
echo "batch   ratio:         $ratio x curl's time (target <= 1.05: $(verdict "$ratio" 1.05))"
echo "ui      CPU:           $uicpu % of the batch's time at most (target < 10 %: $(verdict "$uicpu" 9.99); runs: $(paste -sd' ' "$work/uicpu.times"))"
echo "ui      blocked:       $block_ms ms at most during any batch (target < 50 ms: $(verdict "$block_ms" 49.99))"
echo "ui      busy:          $busy_ms ms of CPU at most between two ticks (the part of a block that was its own work)"
echo "load    average:       $load_before before, $load_after after ($(nproc) cores)"
