#!/usr/bin/env bash
# Uploads one large firmware file (1 GiB unless a size is given, e.g. 4G) to a
# virtual device on loopback, through FileUploader and with curl in the same
# run, and digests it with HashGenerator and with md5sum. Prints throughput of
# each, the ratios, and how much Corvane's resident memory grew during its
# upload. Each measurement is taken `rounds` times (3 unless given), alternating, and
# the best counts: the machine is shared, single runs vary by a third.
# Beside throughput, the CPU time (user and system, every thread) each client
# spent per GiB sent.
# Targets: upload >= 0.95 of curl's throughput, CPU per GiB at most 1.3 x
# curl's, growth < 30 MB, MD5 >= 1.0 of md5sum's speed. Not part of the test
# suite (too heavy).
#
#   scripts/bench-upload.sh [size [rounds]]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
rounds=${2:-3}
address=127.0.77.1
password=bench
scripts/build.sh --target bench_upload corvane-virtual-device >/dev/null
bench=build/tools/bench/bench_upload
. scripts/virtual-devices.sh

# A sparse file: the size travels over the wire and through the digest, the
# disk stays empty.
file="$work/bench-9.9.9.bundle"
truncate -s "$size" "$file"
bytes=$(stat -c %s "$file")

# The uploader talks to port 60010, so the device gets an address of its own.
start_devices --device "address=$address,password=$password" --lndp-port 0 \
    --https-port 60010 --update-step-ms 1 --update-step-percent 100 --reboot-ms 0
code=$(printf %s "$password" | md5sum | cut -c1-32)

now() { date +%s.%N; }
best() { awk 'NR == 1 || $1 < m {m = $1} END {printf "%.3f", m}'; }
mbps() { awk -v b="$bytes" -v s="$1" 'BEGIN {printf "%.1f", b / s / 1048576}'; }
# Each firmware upload starts an installation; the next one waits for its end.
finished=0
wait_idle() {
    finished=$((finished + 1))
    for _ in $(seq 600); do
        [ "$(grep -c 'update finished' "$work/device.log")" -ge "$finished" ] && return
        sleep 0.1
    done
    echo "the device did not finish its installation" >&2
    exit 1
}

digest=
: >"$work/md5sum.times"; : >"$work/hash.times"
: >"$work/curl.times"; : >"$work/corvane.times"; : >"$work/growth"
: >"$work/curl.cpu"; : >"$work/corvane.cpu"
for round in $(seq "$rounds"); do
    start=$(now); digest=$(md5sum "$file" | cut -c1-32); end=$(now)
    awk -v a="$start" -v b="$end" 'BEGIN {print b - a}' >>"$work/md5sum.times"
    line=$("$bench" hash "$file")
    [ "$(sed 's/.*md5=\([0-9a-f]*\).*/\1/' <<<"$line")" = "$digest" ] || { echo "digests differ: $line" >&2; exit 1; }
    sed 's/.*seconds=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/hash.times"

    TIMEFORMAT='%U %S'
    status=$( { time curl -sk --noproxy '*' -o "$work/answer" -w '%{http_code} %{time_total}' -u "admin:$code" \
        -F "hash_value=$digest" -F "firmware_file=@$file;type=application/octet-stream" \
        "https://$address:60010/api/v1/files/firmware"; } 2>"$work/curl.time")
    awk '{print $1 + $2}' "$work/curl.time" >>"$work/curl.cpu"
    [ "${status%% *}" = 200 ] || { echo "curl upload: HTTP $status $(cat "$work/answer")" >&2; exit 1; }
    echo "${status#* }" >>"$work/curl.times"
    wait_idle

    line=$("$bench" upload "$address" "$file" "$code") || { echo "Corvane upload: $line" >&2; exit 1; }
    sed 's/.* seconds=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/corvane.times"
    sed 's/.*cpu_seconds=\([0-9.]*\).*/\1/' <<<"$line" >>"$work/corvane.cpu"
    awk '{for (i = 1; i <= NF; ++i) {split($i, kv, "="); v[kv[1]] = kv[2]}}
         END {print v["peak_kib"] - v["rss_before_kib"]}' <<<"$line" >>"$work/growth"
    wait_idle
    echo "round $round: $line" >&2
done

md5sum_s=$(best <"$work/md5sum.times"); hash_s=$(best <"$work/hash.times")
curl_s=$(best <"$work/curl.times"); corvane_s=$(best <"$work/corvane.times")
growth_kib=$(sort -n "$work/growth" | tail -1)
gib=$(awk -v b="$bytes" 'BEGIN {print b / 1073741824}')
curl_cpu=$(best <"$work/curl.cpu" | awk -v g="$gib" '{printf "%.2f", $1 / g}')
corvane_cpu=$(best <"$work/corvane.cpu" | awk -v g="$gib" '{printf "%.2f", $1 / g}')
cpu_ratio=$(awk -v a="$corvane_cpu" -v b="$curl_cpu" 'BEGIN {printf "%.2f", a / b}')
upload_ratio=$(awk -v a="$curl_s" -v b="$corvane_s" 'BEGIN {printf "%.2f", a / b}')
hash_ratio=$(awk -v a="$md5sum_s" -v b="$hash_s" 'BEGIN {printf "%.2f", a / b}')
verdict() { awk -v v="$1" -v t="$2" -v o="$3" 'BEGIN {ok = (o == ">=") ? v >= t : v < t; print ok ? "met" : "MISSED"}'; }

echo "file: $bytes bytes (sparse), device $address:60010"
echo "upload  curl:          $curl_s s, $(mbps "$curl_s") MiB/s"
echo "upload  FileUploader:  $corvane_s s, $(mbps "$corvane_s") MiB/s"
echo "upload  ratio:         $upload_ratio of curl's throughput (target >= 0.95: $(verdict "$upload_ratio" 0.95 '>='))"
echo "cpu     per GiB:       FileUploader $corvane_cpu s, curl $curl_cpu s (least of the runs)"
echo "cpu     ratio:         $cpu_ratio x curl's (target <= 1.3: $(verdict "$cpu_ratio" 1.3001 '<'))"
echo "memory  growth:        $growth_kib KiB peak over resident before the upload (target < 30 MB: $(verdict "$growth_kib" 30720 '<'))"
echo "md5     md5sum:        $md5sum_s s, $(mbps "$md5sum_s") MiB/s"
echo "md5     HashGenerator: $hash_s s, $(mbps "$hash_s") MiB/s"
echo "md5     ratio:         $hash_ratio of md5sum's speed (target >= 1.0: $(verdict "$hash_ratio" 1.0 '>='))"
