#!/usr/bin/env bash
# Renders the program's images from their drawings in ui/artwork into the
# compiled-in resources, and the app icon in the desktop's icon sizes for the
# package (dist/linux/icons). The PNGs are committed; run this after changing
# a drawing.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v rsvg-convert >/dev/null; then
    ${SUDO:-$( [ "$(id -u)" -eq 0 ] || echo sudo )} apt-get install -y librsvg2-bin
fi
out=ui/qml/view/resource
rsvg-convert -w 256 -h 256 ui/artwork/icon_app.svg -o "$out/icon_app.png"
rsvg-convert -w 60 -h 60 ui/artwork/icon_network.svg -o "$out/icon_network.png"
rsvg-convert -w 400 -h 60 ui/artwork/halvorn.svg -o "$out/halvorn.png"
for size in 16 24 32 48 64 128 256; do
    mkdir -p "dist/linux/icons/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" ui/artwork/icon_app.svg -o "dist/linux/icons/${size}x${size}/corvane.png"
done
echo "images written to $out and dist/linux/icons"
