#!/bin/sh
# Starts `burnwell-sim serve` on a socket of its own with an image file, stops it with SIGTERM
# and checks that it said where it served and saved the flash contents at exit.
set -eu
sim="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$sim" serve --socket "$dir/relay" --chip M25P05 --image "$dir/flash.bin" --trace-scsi "$dir/scsi.txt" \
  >"$dir/out.txt" 2>&1 &
pid=$!
i=0
while ! grep -q serving "$dir/out.txt" && [ $i -lt 200 ]; do sleep 0.05; i=$((i + 1)); done
[ -S "$dir/relay" ] || { echo "no socket"; cat "$dir/out.txt"; kill $pid; exit 1; }
kill -TERM $pid
wait $pid
grep -q "serving a M25P05 bridge at $dir/relay" "$dir/out.txt" || { cat "$dir/out.txt"; exit 1; }
size=$(wc -c <"$dir/flash.bin")
[ "$size" -eq 65536 ] || { echo "image of $size bytes"; exit 1; }
[ ! -e "$dir/relay" ] || { echo "socket left behind"; exit 1; }
# A second run loads the saved image; an image larger than the memory is refused.
head -c 70000 /dev/zero >"$dir/big.bin"
if "$sim" serve --socket "$dir/relay2" --chip M25P05 --image "$dir/big.bin" 2>"$dir/err.txt"; then
  echo "oversized image accepted"; exit 1
fi
grep -q "do not fit" "$dir/err.txt"
echo ok
