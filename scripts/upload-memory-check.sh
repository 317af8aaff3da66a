#!/usr/bin/env bash
# Uploads a large firmware file (1 GiB unless a size is given, e.g. 4G) to a
# virtual device on loopback and prints how much memory the device used while
# it received and digested the file as a stream.
#
#   scripts/upload-memory-check.sh [size]
set -euo pipefail
cd "$(dirname "$0")/.."
size=${1:-1G}
scripts/build.sh --target corvane-virtual-device >/dev/null
. scripts/virtual-devices.sh

# A sparse file: the size travels over the wire, the disk stays empty.
truncate -s "$size" "$work/large.bundle"
digest=$(md5sum "$work/large.bundle" | cut -c1-32)
start_devices --device address=127.0.0.2,password=check --lndp-port 0 --https-port 0
port=$(sed -n 's/.*"httpsPort":\([0-9]*\).*/\1/p' "$work/device.log")
[ -n "$port" ] || { cat "$work/device.log" >&2; exit 1; }
before=$(awk '/^VmRSS/ {print $2}' "/proc/$device_pid/status")
code=$(printf check | md5sum | cut -c1-32)
start=$(date +%s.%N)
status=$(curl -sk --noproxy '*' -o "$work/answer" -w '%{http_code}' -u "admin:$code" \
    -F "hash_value=$digest" -F "firmware_file=@$work/large.bundle;type=application/octet-stream" \
    "https://127.0.0.2:$port/api/v1/files/firmware")
end=$(date +%s.%N)
peak=$(awk '/^VmHWM/ {print $2}' "/proc/$device_pid/status")
echo "upload of $(stat -c %s "$work/large.bundle") bytes: HTTP $status, $(cat "$work/answer")"
echo "time: $(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.1f", b - a}') s"
echo "device memory: ${before} KiB resident before, ${peak} KiB peak"
[ "$status" = 200 ]
