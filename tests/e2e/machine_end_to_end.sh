#!/bin/sh
# End to end on an emulated machine: the real burnwell-sim builds the machine and serves the
# relay, the real burnwell-tool finds and works on its bridges.
# Usage: machine_end_to_end.sh CASE BURNWELL_SIM BURNWELL_TOOL
set -u
case_name=$1
sim=$2
tool=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case "$case_name" in
list-two-bridges-behind-a-hub)
  cat > "$work/machine" <<'MACHINE'
stick 1-1 serial=NOTABRIDGE
hub 1-2 ports=4
bridge 1-2.1 pid=0x5801 firmware=0x01020304 serial=FIRST
bridge 1-2.3 pid=0x2501 firmware=0x00001234 eeprom=256 serial=SECOND cdrom=autorun driver=uas speed=5000
MACHINE
  "$sim" --machine "$work/machine" -- "$tool" list > "$work/out" 2> "$work/err"
  status=$?
  cat "$work/out"
  [ "$status" -eq 0 ] || fail "exit status $status: $(cat "$work/err")"
  [ "$(wc -l < "$work/out")" -eq 2 ] || fail "expected two lines"
  expected0="index=0 id=A transport=mass-storage class=disk vid=7e55 pid=5801 firmware=01020304 memory=spi marker=5A valid=yes path=/dev/sg0 serial=FIRST usb=1-2.1 hub=2 port=1 ports=4 speed=high address=3 second-unit=0"
  expected1="index=1 id=B transport=mass-storage class=disk vid=7e55 pid=2501 firmware=00001234 memory=eeprom-256 marker=5A valid=yes path=/dev/sg1 serial=SECOND usb=1-2.3 hub=4 port=3 ports=4 speed=super address=4 second-unit=1"
  [ "$(sed -n 1p "$work/out")" = "$expected0" ] || fail "first line differs from: $expected0"
  [ "$(sed -n 2p "$work/out")" = "$expected1" ] || fail "second line differs from: $expected1"
  ;;
list-without-bridges)
  echo "stick 1-1" > "$work/machine"
  "$sim" --machine "$work/machine" -- "$tool" list > "$work/out" 2> "$work/err"
  status=$?
  cat "$work/err"
  [ "$status" -eq 3 ] || fail "exit status $status, expected 3"
  [ ! -s "$work/out" ] || fail "printed records"
  grep -q "no bridge found" "$work/err" || fail "no message"
  grep -q "udev" "$work/err" || fail "message does not say what to check"
  ;;
flash-read-configuration-block)
  # The image file burnwell-sim writes back at the end is the oracle for what was read.
  "$sim" --image "$work/memory.bin" -- "$tool" flash read "$work/block.bin" --length 256 > "$work/out" 2>&1
  status=$?
  cat "$work/out"
  [ "$status" -eq 0 ] || fail "exit status $status"
  grep -q "^result=0 (ok)$" "$work/out" || fail "no result line"
  [ "$(wc -c < "$work/block.bin")" -eq 256 ] || fail "block is not 256 bytes"
  head -c 256 "$work/memory.bin" | cmp -s - "$work/block.bin" || fail "block differs from the flash"
  ;;
flash-write-erase-round-trip)
  head -c 200 /dev/urandom > "$work/data.bin"
  "$sim" --eeprom 256 --image "$work/memory.bin" -- "$tool" flash write "$work/data.bin" --offset 0x10 || fail "write"
  "$sim" --eeprom 256 --image "$work/memory.bin" -- "$tool" flash read "$work/back.bin" --offset 16 --length 200 || fail "read"
  cmp -s "$work/data.bin" "$work/back.bin" || fail "read back differs"
  "$sim" --eeprom 256 --image "$work/memory.bin" -- "$tool" flash detect > "$work/out" || fail "detect"
  grep -q "^memory=eeprom-256$" "$work/out" || fail "detect: $(cat "$work/out")"
  "$sim" -- "$tool" flash detect > "$work/out" || fail "detect on a flash"
  grep -q "^entry=[0-9][0-9]*$" "$work/out" || fail "detect: $(cat "$work/out")"
  "$sim" -- "$tool" flash --index 1 erase > /dev/null 2>&1
  [ $? -eq 3 ] || fail "erase on a missing index is 'no bridge matching the selection': 3"
  "$sim" -- "$tool" flash detect --index 5 > /dev/null 2>&1
  [ $? -eq 3 ] || fail "detect on a missing index (--index after the operation) must exit 3"
  ;;
identification-lost-or-spoiled)
  # One lost or spoiled identification answer neither hides the bridge nor misnames its vendor;
  # a bridge that never answers is named as such, not as "no bridge".
  for fault in fail:1 corrupt-read:1; do
    "$sim" --fault "$fault" -- "$tool" list > "$work/out" 2> "$work/err" \
      || fail "$fault: exit status $?: $(cat "$work/err")"
    grep -q " vid=7e55 " "$work/out" || fail "$fault: $(cat "$work/out")"
  done
  "$sim" --fault fail-opcode:0xD0 -- "$tool" list > "$work/out" 2> "$work/err"
  status=$?
  [ "$status" -eq 3 ] || fail "a silent bridge: exit status $status, expected 3"
  grep -q "list: the bridge at 1-1 did not answer its identification" "$work/err" \
    || fail "a silent bridge: $(cat "$work/err")"
  ;;
tool-usage-errors)
  # Faulty command lines are refused before any device is touched.
  for line in "list extra" "flash" "flash read" "flash read out.bin --offset 0xZZ" \
              "flash read out.bin --length" "flash protect maybe" "flash erase --offset 4" \
              "flash format" "flash detect --force"; do
    # shellcheck disable=SC2086
    "$tool" $line > /dev/null 2>&1
    status=$?
    [ "$status" -eq 2 ] || fail "'$line' exited $status, expected 2"
  done
  "$tool" flash --help | grep -q "protect on|off" || fail "flash --help"
  "$tool" list --help | grep -q "second-unit" || fail "list --help"
  "$sim" --machine "$work/none" -- true 2> "$work/err"
  [ $? -eq 2 ] || fail "missing machine file must be a usage error"
  "$sim" --pid 0x5801 -- 2> "$work/err"
  [ $? -eq 2 ] || fail "-- without a command must be a usage error"
  ;;
*)
  fail "unknown case $case_name"
  ;;
esac
echo "PASS: $case_name"
