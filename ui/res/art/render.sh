#!/bin/sh
# Renders the skin pictures and the program icon from the SVG sources here.
# Needs rsvg-convert (librsvg2-bin), ImageMagick's convert and the fonts
# "DejaVu Sans" and "WenQuanYi Zen Hei" (fonts-dejavu-core, fonts-wqy-zenhei).
# Output: ../skin/*.png (8-bit RGBA, fully opaque) and ../pavonix.ico.
# Usage: ui/res/art/render.sh   (from anywhere; commit the results)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
skin="$here/../skin"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
mkdir -p "$skin"

# svg, width, height, output: rasterise, drop any transparency and store as
# RGBA (colour type 6) without time stamps, so re-rendering is reproducible.
png() {
  rsvg-convert -w "$2" -h "$3" "$here/$1" -o "$tmp/raw.png"
  convert "$tmp/raw.png" -background white -alpha remove -alpha on -strip \
    -define png:exclude-chunks=date,time,gAMA,cHRM,bKGD PNG32:"$4"
}

png main.svg     600 360 "$skin/main.png"      # 166
png progress.svg 600 360 "$skin/progress.png"  # 167
cp "$skin/progress.png" "$skin/success.png"    # 168, the same picture
png failure.svg  600 360 "$skin/failure.png"   # 169
png letter.svg   755 488 "$skin/letter.png"    # 172
png close.svg     17  18 "$skin/close.png"     # 176

# Icon: the eye alone at 16 and 24 pixels, the full mark from 32 up.
for s in 16 24; do rsvg-convert -w $s -h $s "$here/icon-small.svg" -o "$tmp/i$s.png"; done
for s in 32 48 256; do rsvg-convert -w $s -h $s "$here/icon.svg" -o "$tmp/i$s.png"; done
convert "$tmp/i16.png" "$tmp/i24.png" "$tmp/i32.png" "$tmp/i48.png" "$tmp/i256.png" \
  "$here/../pavonix.ico"
echo "rendered into $skin and $(cd "$here/.." && pwd)/pavonix.ico"
