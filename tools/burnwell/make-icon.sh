#!/bin/sh
# Draws the program icon (a bolt on a dark blue tile) in 32x32 and 16x16 and writes
# burnwell.ico next to this script. The .ico is committed; run this only to change it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
im=$(command -v convert-im6.q16 || command -v magick || echo convert)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$im" -size 32x32 xc:none -fill '#1E3A8A' -draw 'roundrectangle 1,1 30,30 6,6' \
  -fill '#F97316' -draw 'polygon 19,3 7,18 14,18 11,29 25,12 17,12 21,3' "$tmp/32.png"
"$im" "$tmp/32.png" -resize 16x16 "$tmp/16.png"
"$im" "$tmp/32.png" "$tmp/16.png" "$here/burnwell.ico"
