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

# One answer per fact: info, update and verify give the HEX file the same product (none: Intel
# HEX holds main code only) and the same checksum, upper case for people.
"$tool" info "$examples/ZQ5x8x.hex" >facts-info.log
grep -qx "product: not named (Intel HEX)" facts-info.log || { cat facts-info.log; fail "info names a product for a HEX file"; }
sum=$(sed -n 's/^checksum: //p' facts-info.log)
grep -q "checksum $sum product not named (Intel HEX)$" update.log || { cat update.log; fail "update's file line differs from info ($sum)"; }
grep -q "updated and verified: .*, checksum $sum$" update.log || fail "update's verdict checksum"
"$sim" --latency-us 20 --image flash.bin -- "$tool" verify "$examples/ZQ5x8x.hex" --json >facts-verify.json 2>/dev/null || fail "verify after the update"
python3 -c "import json,sys; f=json.load(open('facts-verify.json'))['file']; assert f['product'] is None and f['checksum'] == sys.argv[1].lower(), f" "$sum" \
  || fail "verify's JSON file facts differ from info"

# A backup holds what the bridge holds: after the large image, the whole 47104-byte code region
# its stamped checksum covers, which written back onto a blank bridge gives the same code and
# marker.
"$sim" --latency-us 20 --image flash.bin -- "$tool" backup after.bin >after.log 2>&1 || { cat after.log; fail "backup after the update"; }
grep -q "saving the 47104-byte code region that the bridge's checksum" after.log || { cat after.log; fail "backup region not told"; }
python3 -c "open('blank.bin', 'wb').write(b'\xff' * 0x20000)"
"$sim" --latency-us 20 --image blank.bin -- "$tool" update after.bin --yes >restore-blank.log 2>&1 || { cat restore-blank.log; fail "restore onto a blank bridge"; }
python3 - <<'PY' || fail "the restored bridge differs"
updated, restored = open("flash.bin", "rb").read(), open("blank.bin", "rb").read()
assert restored[256:256 + 0xB800] == updated[256:256 + 0xB800], "code"
assert restored[11:14] == updated[11:14], "marker %s, not %s" % (restored[11:14].hex(), updated[11:14].hex())
PY
# A bridge whose firmware is not marked valid: the whole region, and it says so.
"$sim" --latency-us 20 --image blank.bin -- "$tool" flash erase >/dev/null 2>&1 || fail "erase"
"$sim" --latency-us 20 --image blank.bin -- "$tool" backup unmarked.bin >unmarked.log 2>&1 || { cat unmarked.log; fail "backup of an erased bridge"; }
grep -q "not marked valid" unmarked.log || { cat unmarked.log; fail "an unmarked firmware is not told"; }
[ "$(stat -c %s unmarked.bin)" -eq $((268 + 47104)) ] || fail "the unmarked backup is not the whole region"

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
# Found before the question: the operator is never asked for an update that cannot start.
echo y | "$sim" --latency-us 20 -- "$tool" update "$examples/ZQ5x8x.hex" --backup "$work/no-such-dir/old.bin" >backup-fail.log 2>&1
[ $? -eq 5 ] || { cat backup-fail.log; fail "failed backup should exit 5"; }
! grep -q "Programming completed" backup-fail.log || fail "the update ran after a failed backup"
! grep -q "Please do backup" backup-fail.log || { cat backup-fail.log; fail "asked before the backup path was checked"; }
# A bridge that already holds the file: up to date, without a question (no input to answer it).
"$sim" --latency-us 20 --image flash.bin -- "$tool" update "$examples/ZQ5x8x.hex" --bus-powered </dev/null >uptodate.log 2>&1
[ $? -eq 0 ] || { cat uptodate.log; fail "an up-to-date bridge should exit 0 without asking"; }
grep -q "already up to date" uptodate.log && ! grep -q "Please do backup" uptodate.log || { cat uptodate.log; fail "up to date after the question"; }
# The question names the bridge and says its firmware is erased.
echo n | "$sim" --latency-us 20 -- "$tool" update "$examples/ZQ5x8x.hex" >asked.log 2>&1
grep -A1 "the firmware of this bridge is erased and rewritten:" asked.log | grep -q "#0 serial=ZQ5X8X00000001 usb=1-1 " \
  || { cat asked.log; fail "the question does not name the bridge"; }
# One client per bridge through the relay: while another connection has the bridge open, the
# update says the bridge is busy (status 10) and writes nothing.
"$sim" --latency-us 20 --trace-spi held-spi.txt -- sh -c '
  python3 - "$BURNWELL_SYSROOT/run/burnwell/DeviceIoControlPipe" held <<"PY" &
import socket, sys, os, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(sys.argv[1])
s.send(b"\x00/dev/sg0\x00")
assert s.recv(16) == b"\x00"
open(sys.argv[2], "w").close()
for _ in range(600):  # until the update has been refused; at most a minute
    if os.path.exists(sys.argv[2] + ".done"):
        break
    time.sleep(0.1)
PY
  i=0
  while [ ! -e held ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i + 1)); done
  "$0" update "$1" --yes > held.log 2>&1
  echo $? > held.status
  touch held.done
  wait' "$tool" "$examples/ZQ5x8x.hex"
[ "$(cat held.status)" = 10 ] || { cat held.log; fail "an update of a bridge another relay client has open should exit 10"; }
grep -q "another client of the I/O relay has it open" held.log || { cat held.log; fail "the busy bridge is not told"; }
[ ! -s held-spi.txt ] || fail "the tool reached the flash of a busy bridge"
# A chip that stays busy: the update fails after its passes (1).
"$sim" --latency-us 20 --fault stuck-busy -- "$tool" update "$examples/ZQ5x8x.hex" --yes >busy.log 2>&1
[ $? -eq 1 ] || { cat busy.log; fail "failed update should exit 1"; }
set -e

# A tray of bridges: selection, fit checks and bad input, each refused with its status before
# anything is written (the memories are compared before and after).
printf ':00000001FF\n' > empty.hex
# An image file whose code length is 0: its configuration block alone.
python3 -c "import sys; d = bytearray(open(sys.argv[1], 'rb').read()[:268]); d[264:268] = bytes(4); open('blockonly.bin', 'wb').write(d)" "$examples/ZQ5x8x-image.bin"
cat > tray <<'MACHINE'
hub 1-2 ports=4
bridge 1-2.1 pid=0x5801 serial=FIRST latency-us=20 image=first.bin
bridge 1-2.2 pid=0x5801 serial=SECOND latency-us=20 image=second.bin
bridge 1-2.3 pid=0x2501 serial=THIRD latency-us=20 image=third.bin
bridge 1-2.4 vid=0x1234 pid=0x5801 serial=OTHER latency-us=20 image=other.bin
MACHINE
"$sim" --machine tray -- "$tool" list >tray-list.log 2>&1 || fail "tray list"
grep -q "serial=SECOND usb=1-2.2 " tray-list.log || fail "list: usb=LOC"
md5sum first.bin second.bin third.bin other.bin >before.md5
hex="$examples/ZQ5x8x.hex"; image="$examples/ZQ5x8x-image.bin"  # the image is for product 2501
set +e
while read -r expected args; do
  # shellcheck disable=SC2086
  "$sim" --machine tray -- "$tool" $args >case.log 2>&1
  got=$?
  [ "$got" -eq "$expected" ] || { cat case.log; fail "'$args' exited $got, not $expected"; }
done <<CASES
2 update $hex --yes
3 update $hex --yes --serial NOBODY
3 update $hex --yes --index 7
3 update $hex --yes --port 1-4
2 update $hex --yes --port nowhere
2 update $hex --yes --all --serial FIRST
2 update $hex --yes --index 0 --serial SECOND
2 update $hex --yes --index 0 --product 0xZZ
2 update $hex --yes --all --log $work/no-such-dir/log
2 update $hex --yes --all --backup all.bin
6 update $image --yes --index 0
6 update $hex --yes --port 1-2.3 --product 0x5801
6 update empty.hex --yes --index 1
6 update blockonly.bin --yes --serial THIRD
6 update $hex --yes --serial OTHER
2 backup out.bin
2 flash detect
1 verify $hex --all
CASES
set -e
md5sum -c --quiet before.md5 || fail "a refused command changed a bridge's memory"
"$sim" --machine tray -- "$tool" update "$hex" --yes --json >refusal.json 2>/dev/null || true
python3 -c "import json; d = json.load(open('refusal.json')); assert d['ok'] is False and d['status'] == 2" \
  || fail "--json must print a document on a refusal too"
set +e
"$sim" --machine tray -- "$tool" update "$hex" --yes --serial OTHER >refused.log 2>&1
set -e
grep -q "#3: the firmware does not fit: the bridge reports vendor ID 1234" refused.log || { cat refused.log; fail "vendor refusal text"; }

# What fits is written: a vendor allowed by --vendor, an image on its own product, a mismatch
# with --force (after a warning); the targets are shown before the warning.
"$sim" --machine tray -- "$tool" update "$hex" --yes --serial OTHER --vendor 0x1234 >fit.log 2>&1 || { cat fit.log; fail "--vendor"; }
grep -q "^bridge #3 serial=OTHER usb=1-2.4 1234:5801 firmware 01020304 memory serial flash entry" fit.log || { cat fit.log; fail "target line"; }
grep -q "warning: an Intel HEX file names no product" fit.log || fail "HEX product warning"
"$sim" --machine tray -- "$tool" update "$image" --yes --serial THIRD >fit.log 2>&1 || { cat fit.log; fail "image on its product"; }
"$sim" --machine tray -- "$tool" update "$image" --yes --index 1 --force >fit.log 2>&1 || { cat fit.log; fail "--force"; }
grep -q "warning: --force: the file is meant for product 2501, the bridge is a 5801" fit.log || { cat fit.log; fail "--force warning"; }
# A forced file without code leaves the block with no validity marker, and says so.
"$sim" --machine tray -- "$tool" update blockonly.bin --yes --serial THIRD --force >fit.log 2>&1 || { cat fit.log; fail "block only"; }
grep -q "updated and verified: serial THIRD, configuration block only, no main code" fit.log || { cat fit.log; fail "block-only verdict"; }
python3 -c "assert open('third.bin', 'rb').read()[11:14] == b'\xff\xff\xff'" || fail "a valid marker over no code"

# Verify and up to date: a match, one changed byte, the update skipped, --reinstall.
"$sim" --machine tray -- "$tool" update "$hex" --yes --port 1-2.1 >/dev/null 2>&1 || fail "update FIRST"
"$sim" --machine tray -- "$tool" verify "$hex" --serial FIRST >verify.log 2>&1 || { cat verify.log; fail "verify after update"; }
grep -q "^#0 FIRST: match$" verify.log || fail "verify: match"
python3 -c "
f = bytearray(open('first.bin', 'rb').read()); f[0x1234] ^= 0x01; open('first.bin', 'wb').write(f)"
set +e
"$sim" --machine tray -- "$tool" verify "$hex" --index 0 >verify.log 2>&1
[ $? -eq 1 ] || fail "verify of a changed byte should exit 1"
set -e
grep -q "^#0 FIRST: code differs at offset 0x1234$" verify.log || { cat verify.log; fail "verify: first difference"; }
for expected in "Programming completed" "already up to date"; do
  "$sim" --machine tray -- "$tool" update "$hex" --yes --index 0 >again.log 2>&1 || fail "update ($expected)"
  grep -q "^$expected$" again.log || { cat again.log; fail "expected '$expected'"; }
done
"$sim" --machine tray -- "$tool" update "$hex" --yes --index 0 --reinstall >again.log 2>&1 || fail "--reinstall"
grep -q "^Programming completed$" again.log || fail "--reinstall wrote nothing"

# Every bridge at once, one of them failing: the others end verified, the exit is 1, the log
# has one whole line per bridge, and standard output is one JSON document.
cat > faulty <<'MACHINE'
hub 1-2 ports=4
bridge 1-2.1 pid=0x5801 serial=FIRST latency-us=20 image=t1.bin
bridge 1-2.2 pid=0x5801 serial=SECOND latency-us=20 image=t2.bin fault=fail-opcode:0xD5
bridge 1-2.3 pid=0x5801 serial=THIRD latency-us=20 image=t3.bin
MACHINE
set +e
"$sim" --machine faulty -- "$tool" update "$hex" --yes --all --json --log tray.jsonl >tray.json 2>tray.log
[ $? -eq 1 ] || { cat tray.log; fail "a failed bridge in --all should exit 1"; }
set -e
python3 - <<'PY' || { cat tray.log; fail "JSON document or log"; }
import json
document = json.load(open("tray.json"))
results = {b["serial"]: b["result"] for b in document["bridges"]}
assert results == {"FIRST": "updated", "SECOND": "failed", "THIRD": "updated"}, results
failed = [b for b in document["bridges"] if b["result"] == "failed"][0]
assert failed["error"]["text"] and 0 <= failed["passes"] <= 6, failed
assert document["ok"] is False and document["file"]["checksum"] == "65da"
lines = [json.loads(line) for line in open("tray.jsonl")]
assert sorted(l["bridge"]["serial"] for l in lines) == ["FIRST", "SECOND", "THIRD"], lines
assert all(l["time"].endswith("Z") and l["program"] == "burnwell-tool" and l["station"] and "seconds" in l for l in lines)
PY
# The tray's lines name each bridge's socket; the summary has its checksum and its error.
grep -q "^#0 serial=FIRST usb=1-2.1 7e55:5801: updated$" tray.log || { cat tray.log; fail "tray lines without the USB location"; }
grep -Eq "^0 +FIRST +1-2.1 +updated +65DA +1 .* -$" tray.log || { cat tray.log; fail "summary: checksum"; }
grep -Eq "^1 +SECOND +1-2.2 +failed +- .*[A-Za-z]" tray.log || { cat tray.log; fail "summary: error"; }
"$sim" --machine faulty -- "$tool" verify "$hex" --serial FIRST --serial THIRD >verify.log 2>&1 \
  || { cat verify.log; fail "the other bridges of the tray should verify"; }
# What differs, in words: a wrong checksum beside the marker, and no marker at all (an update
# that did not finish), which list marks too.
python3 -c "
f = bytearray(open('t1.bin', 'rb').read()); f[12] ^= 0x12; open('t1.bin', 'wb').write(f)
f = bytearray(open('t3.bin', 'rb').read()); f[11] = 0xFF; open('t3.bin', 'wb').write(f)"
set +e
"$sim" --machine faulty -- "$tool" verify "$hex" --serial FIRST --serial THIRD --json >verify.json 2>verify.log
[ $? -eq 1 ] || { cat verify.log; fail "verify of a broken marker should exit 1"; }
set -e
grep -q "^#0 FIRST: checksum 65DA expected, 77DA found$" verify.log || { cat verify.log; fail "verify: checksum in words"; }
grep -q "^#2 THIRD: no validity marker (byte 11 is FF, not 5A)" verify.log || { cat verify.log; fail "verify: marker in words"; }
python3 -c "import json; b = json.load(open('verify.json'))['bridges']; assert b[1]['difference'].startswith('no validity marker') and b[1]['first_difference'] == 11, b" \
  || fail "verify --json: difference"
"$sim" --machine faulty -- "$tool" list >list.log 2>&1 || fail "list"
grep -q "memory=spi marker=FF valid=no .*serial=THIRD" list.log && grep -q "marker=5A valid=yes .*serial=FIRST" list.log \
  && grep -q "list: #2 serial=THIRD usb=1-2.3 .*not marked valid" list.log || { cat list.log; fail "list: the unmarked bridge"; }
"$sim" --machine faulty -- "$tool" list --json >list.json 2>/dev/null || fail "list --json"
python3 -c "import json; assert [b['usb'] for b in json.load(open('list.json'))['bridges']] == ['1-2.1', '1-2.2', '1-2.3']" \
  || fail "list --json"

# The updater itself, started in a folder with Config.ini and the firmware file, as a technician
# does: version check against a bridge reporting "ZQ5x", the warning answered, the update run.
mkdir station && cp "$examples/Config.ini" "$examples/ZQ5x8x.hex" station/
(cd station && echo y | "$sim" --latency-us 20 --firmware 0x5A513578 --image flash.bin -- "$updater" --terminal >run.log 2>&1) \
  || { cat station/run.log; fail "burnwell exited $?"; }
grep -q "Programming completed" station/run.log || fail "burnwell: no completion message"
grep -q "^Bridge: serial=ZQ5X8X00000001 usb=1-1 7e55:2501$" station/run.log || { cat station/run.log; fail "burnwell: the bridge is not named"; }
python3 -c "f=open('station/flash.bin','rb').read(); c=open('flash.bin','rb').read(); assert f[11:14]==c[11:14]==bytes([0x5A,0x65,0xDA])" \
  || fail "burnwell: marker and checksum"
set +e
# No bridge at all: 3, the same status as burnwell-tool's.
(cd station && BURNWELL_SYSROOT="$work/empty-root" "$updater" --terminal --yes >nobridge.log 2>&1)
[ $? -eq 3 ] || { cat station/nobridge.log; fail "burnwell without a bridge should exit 3"; }
# A bridge that never answers its identification: the specified box, with the bridge named.
(cd station && echo y | "$sim" --fault fail-opcode:0xD0 -- "$updater" --terminal >silent.log 2>&1)
[ $? -eq 3 ] || { cat station/silent.log; fail "burnwell with a silent bridge should exit 3"; }
grep -q "Device not found" station/silent.log && grep -q "the bridge at 1-1 did not answer its identification" station/silent.log \
  || { cat station/silent.log; fail "burnwell: a silent bridge is not named"; }
# A display nobody answers at: the terminal view, as without a display, never Qt's abort.
qt_build=false
if ldd "$updater" 2>/dev/null | grep -q libQt6; then qt_build=true; fi
if [ ! -e /tmp/.X11-unix/X97 ]; then
  (cd station && env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:97 BURNWELL_SYSROOT="$work/empty-root" \
    "$updater" --yes >nodisplay.log 2>&1)
  [ $? -eq 3 ] || { cat station/nodisplay.log; fail "burnwell with an unreachable display should use the terminal (exit 3)"; }
  if $qt_build; then
    grep -q "the display cannot be reached (DISPLAY=:97); using the terminal" station/nodisplay.log ||
      { cat station/nodisplay.log; fail "burnwell: an unreachable display is not told"; }
  fi
fi
# A bridge reporting another version: refused before any flash access (status 7).
(cd station && echo y | "$sim" --firmware 0x01020304 --trace-spi spi.txt -- "$updater" --terminal >refused.log 2>&1)
[ $? -eq 7 ] || { cat station/refused.log; fail "version refused should exit 7"; }
set -e
[ ! -s station/spi.txt ] || fail "a refused version must not touch the flash"
# Two bridges attached: the dialog picks neither (14); one of another vendor ID is refused (6).
# Neither is written.
printf 'hub 1-2 ports=4\nbridge 1-2.1 serial=LEFT spi-trace=left.txt\nbridge 1-2.2 serial=RIGHT spi-trace=right.txt\n' >station/two
printf 'bridge 1-2 vid=0x1234 serial=ALIEN spi-trace=alien.txt\n' >station/alien
set +e
(cd station && echo y | "$sim" --machine two -- "$updater" --terminal >two.log 2>&1)
[ $? -eq 14 ] || { cat station/two.log; fail "burnwell with two bridges should exit 14"; }
(cd station && echo y | "$sim" --machine alien -- "$updater" --terminal >alien.log 2>&1)
[ $? -eq 6 ] || { cat station/alien.log; fail "burnwell with another vendor ID should exit 6"; }
set -e
grep -q "2 bridges are attached (#0 serial=LEFT usb=1-2.1 .*#1 serial=RIGHT usb=1-2.2 .*none is updated" station/two.log \
  || { cat station/two.log; fail "burnwell: the two bridges are not named"; }
grep -q "burnwell-tool update --all" station/two.log || fail "burnwell: what to do with two bridges"
grep -q "vendor ID 1234, not 7e55" station/alien.log || { cat station/alien.log; fail "burnwell: vendor refusal"; }
! grep -q "Please do backup" station/two.log station/alien.log || fail "burnwell: warning asked for a refused bridge"
[ ! -s station/left.txt ] && [ ! -s station/right.txt ] && [ ! -s station/alien.txt ] \
  || fail "a refused bridge must not be touched"
grep -q "Firmware Version is not correct to update" station/refused.log || fail "version message"
# A bridge whose node the user may not open: said as such, with the node and what to do, never
# "Device not found"; status 11. Without the relay, as a user without rights.
as_user=""
if [ "$(id -u)" -eq 0 ]; then as_user="setpriv --reuid=65534 --regid=65534 --clear-groups --"; fi
chmod 755 "$work" station && chmod 644 station/Config.ini station/ZQ5x8x.hex
set +e
(cd station && "$sim" --firmware 0x5A513578 -- sh -c 'chmod 755 "$BURNWELL_SYSROOT"; rm -f "$BURNWELL_SYSROOT/run/burnwell/DeviceIoControlPipe"
   chmod 000 "$BURNWELL_SYSROOT"/dev/sg*; exec '"$as_user"' "$0" --terminal --yes' "$updater" >denied.log 2>&1)
status=$?
set -e
[ $status -eq 11 ] || { cat station/denied.log; fail "burnwell without permission should exit 11, not $status"; }
grep -q "no permission to use the bridge" station/denied.log || { cat station/denied.log; fail "burnwell: permission message"; }
grep -q "permission denied on /dev/sg0" station/denied.log || { cat station/denied.log; fail "burnwell: which node"; }
! grep -q "Device not found" station/denied.log || fail "burnwell: a permission problem reported as no device"
# A set-group-ID copy shows no window: Qt would take QT_PLUGIN_PATH and the like from the caller.
if $qt_build && [ -n "$as_user" ] && ! findmnt -no OPTIONS -T "$work" | grep -qw nosuid; then
  cp "$updater" "$work/sgid-burnwell"
  chgrp 12345 "$work/sgid-burnwell" && chmod 2755 "$work/sgid-burnwell"
  set +e
  (cd station && $as_user env DISPLAY=:97 QT_PLUGIN_PATH="$work/plugins" "$work/sgid-burnwell" >sgid.log 2>&1)
  status=$?
  set -e
  [ $status -eq 9 ] || { cat station/sgid.log; fail "a set-group-ID burnwell should refuse a window (exit 9), not $status"; }
  grep -q "no window with raised privileges" station/sgid.log || { cat station/sgid.log; fail "burnwell: raised privileges not told"; }
fi
echo "update end to end: ok"
