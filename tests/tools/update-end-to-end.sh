#!/usr/bin/env bash
# End to end: the real updater (burnwell, terminal view) and the real burnwell-tool update an emulated bridge that burnwell-sim serves over
# the relay, takes a backup first, writes the backup back, and reports each way out by its
# exit status.
set -euo pipefail
sim="$1"; tool="$2"; examples="$3"; updater="$4"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

# A HEX update with a backup taken before the erase.
"$sim" --latency-us 20 --image flash.bin -- "$tool" update "$examples/ZQ5x8x.hex" --yes --backup backup.bin >update.log 2>&1 \
  || { cat update.log; fail "update exited $?"; }
grep -q "Programming completed" update.log || fail "no completion message"
objcopy -I ihex -O binary "$examples/ZQ5x8x.hex" code.bin
python3 - "$examples/ZQ5x8x.hex" <<'PY' || fail "flash contents"
import sys
flash = open("flash.bin", "rb").read()
code = open("code.bin", "rb").read()
image = code + b"\xff" * (0xB800 - len(code))
checksum = sum(image) & 0xFFFF
assert flash[256:256 + len(image)] == image, "main code"
assert flash[11:14] == bytes([0x5A, checksum >> 8, checksum & 0xFF]), "marker %s" % flash[11:14].hex()
assert flash[249] & 0x04 and flash[8] & 0x40 and flash[9] == 50, "block edits"
PY

# The backup is an image file the tool reads, and writing it back succeeds.
"$tool" info backup.bin >info.log || fail "backup not readable"
grep -q "^type: bin$" info.log || fail "backup type"
"$sim" --latency-us 20 --image flash.bin -- "$tool" update backup.bin --yes >restore.log 2>&1 || { cat restore.log; fail "restore"; }

# Bus-powered: 500 mA, attribute bit 6 clear.
"$sim" --latency-us 20 --image flash.bin -- "$tool" update "$examples/ZQ5x8x.hex" --yes --bus-powered >/dev/null 2>&1 || fail "bus-powered update"
python3 -c "f=open('flash.bin','rb').read(); assert f[9]==250 and not f[8]&0x40" || fail "bus-powered block"

# The ways out: no bridge (3), a file that does not load (4), the warning declined (4).
mkdir empty-root
set +e
BURNWELL_SYSROOT="$work/empty-root" "$tool" update "$examples/ZQ5x8x.hex" --yes >/dev/null 2>&1
[ $? -eq 3 ] || fail "no bridge should exit 3"
"$tool" update missing.hex --yes >/dev/null 2>&1
[ $? -eq 4 ] || fail "load error should exit 4"
"$sim" -- "$tool" update "$examples/ZQ5x8x.hex" </dev/null >/dev/null 2>&1
[ $? -eq 4 ] || fail "declined warning should exit 4"
# A backup that cannot be written: 5, and the update does not start.
"$sim" --latency-us 20 -- "$tool" update "$examples/ZQ5x8x.hex" --yes --backup "$work/no-such-dir/old.bin" >backup-fail.log 2>&1
[ $? -eq 5 ] || { cat backup-fail.log; fail "failed backup should exit 5"; }
! grep -q "Programming completed" backup-fail.log || fail "the update ran after a failed backup"
# A chip that stays busy: the update fails after its passes (1).
"$sim" --latency-us 20 --fault stuck-busy -- "$tool" update "$examples/ZQ5x8x.hex" --yes >busy.log 2>&1
[ $? -eq 1 ] || { cat busy.log; fail "failed update should exit 1"; }
set -e

# The updater itself, started in a folder with Config.ini and the firmware file, as a technician
# does: version check against a bridge reporting "ZQ5x", the warning answered, the update run.
mkdir station && cp "$examples/Config.ini" "$examples/ZQ5x8x.hex" station/
(cd station && echo y | "$sim" --latency-us 20 --firmware 0x5A513578 --image flash.bin -- "$updater" --terminal >run.log 2>&1) \
  || { cat station/run.log; fail "burnwell exited $?"; }
grep -q "Programming completed" station/run.log || fail "burnwell: no completion message"
python3 -c "f=open('station/flash.bin','rb').read(); c=open('flash.bin','rb').read(); assert f[11:14]==c[11:14]==bytes([0x5A,0x65,0xDA])" \
  || fail "burnwell: marker and checksum"
set +e
# No bridge at all: 3, the same status as burnwell-tool's.
(cd station && BURNWELL_SYSROOT="$work/empty-root" "$updater" --terminal --yes >nobridge.log 2>&1)
[ $? -eq 3 ] || { cat station/nobridge.log; fail "burnwell without a bridge should exit 3"; }
# A bridge reporting another version: refused before any flash access (status 7).
(cd station && echo y | "$sim" --firmware 0x01020304 --trace-spi spi.txt -- "$updater" --terminal >refused.log 2>&1)
[ $? -eq 7 ] || { cat station/refused.log; fail "version refused should exit 7"; }
set -e
[ ! -s station/spi.txt ] || fail "a refused version must not touch the flash"
grep -q "Firmware Version is not correct to update" station/refused.log || fail "version message"
echo "update end to end: ok"
