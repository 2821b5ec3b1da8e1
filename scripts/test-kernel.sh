#!/usr/bin/env bash
# End to end on a real Linux kernel: boots Debian's kernel in QEMU (TCG, no network device),
# exports the emulated bridge over USB/IP inside the guest (burnwell-sim usbip on the guest's own
# loopback), attaches it with usbip so that vhci-hcd, usb-storage, sd and sg bind it as they bind
# a bridge on a cable, and runs burnwell-tool with the guest's real /sys and /dev: list, flash
# detect, flash read, update, verify (when the tool has it), a non-root list before and after
# the node is opened up as the udev rule opens it, a look through the kernel log for SCSI errors,
# three unplugs in the middle of an update (during the erase, programming and the read-back),
# each told at once as a disconnect, and a station that updates bridges as they are attached and
# detached.
#
# Usage: scripts/test-kernel.sh              (on the host; needs root for apt-get, or sudo)
# The guest runs this same file with --guest; its init is built here. The checkout and the build
# folder may lie anywhere, /tmp included (the guest is shown them at the same paths).
#
# The kernel package is downloaded and unpacked, never installed; the kernel and the initramfs
# are kept in build/kernel/ and used again. Every wait is bounded and the whole run stops by
# itself within 15 minutes. Exit status: 0 when every check passed.
set -euo pipefail

readonly TOTAL_LIMIT_S=900           # the whole script, downloads included
readonly BOOT_MARGIN_S=20            # kept for reading the results after QEMU ends
readonly BRIDGE_VID=7e55
readonly BRIDGE_PID=2501  # the emulator's default product
# A supported flash whose chip erase takes 8 s, long enough to be unplugged in.
readonly BRIDGE_CHIP=EN25F80
readonly USBIP_PORT=3240
readonly GUEST_MODULES="virtio_pci 9pnet_virtio 9p usbip-core vhci-hcd usb-storage crct10dif_generic crc64_rocksoft_generic sd_mod sg"
# Kernel log lines that mean the SCSI stack had trouble with the bridge.
readonly KERNEL_ERROR_PATTERN='I/O error|Sense Key|FAILED Result|Add\. Sense|reset high-speed USB device|device offlined|timing out command|Buffer I/O error|rejecting I/O|Asking for cache data failed|Assuming drive cache|Test WP failed|No Caching mode page|Medium access timeout|unable to read partition table|device not accepting address|device descriptor read'

started=$SECONDS
say() { echo "kernel-test: $*"; }

# ---------------------------------------------------------------------------------------------
# Inside the guest (run by the initramfs's init as process 1, host root read-only at /)
# ---------------------------------------------------------------------------------------------
guest_main() {
  # Globals: the exit trap that powers the guest off reads them after this function returns.
  results=$1 build=$2 work=/tmp/work verdicts="$1/verdicts.txt" failures=0
  local sim="$build/tools/burnwell-sim/burnwell-sim" tool="$build/tools/burnwell-tool/burnwell-tool"
  mkdir -p "$work"
  [ -e /dev/fd ] || ln -s /proc/self/fd /dev/fd
  : > "$verdicts"
  export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/tmp
  cd "$work"

  verdict() {  # NAME ok|FAILED|skipped DETAIL
    local line="verdict: $1: $2${3:+ ($3)}"
    echo "$line" | tee -a "$verdicts"
    if [ "$2" = FAILED ]; then failures=$((failures + 1)); fi
  }
  run() {  # NAME LIMIT_S COMMAND...: runs with a time limit, output in $work/NAME.out, status in $status
    local name=$1 limit=$2
    shift 2
    set +e
    timeout --kill-after=5 "$limit" "$@" > "$work/$name.out" 2>&1
    status=$?
    set -e
    sed "s/^/  $name| /" "$work/$name.out"
  }
  wait_for() {  # LIMIT_S DESCRIPTION COMMAND...: polls every WAIT_STEP (0.2) s
    local limit=$1 what=$2 deadline=$((SECONDS + $1))
    shift 2
    until "$@" > /dev/null 2>&1; do
      if [ $SECONDS -ge $deadline ]; then say "gave up waiting ${limit} s for $what"; return 1; fi
      sleep "${WAIT_STEP:-0.2}"
    done
  }
  trace_lines() { if [ -f "$work/scsi.trace" ]; then wc -l < "$work/scsi.trace"; else echo 0; fi; }
  finish() {
    dmesg > "$results/dmesg.txt" 2>&1 || true
    cp "$work"/*.out "$work/server.log" "$work"/station.* "$work"/station-server.log "$results/" 2>/dev/null || true
    echo "guest: failures=$failures" >> "$verdicts"
    sync
    echo o > /proc/sysrq-trigger
    sleep 30
  }
  trap finish EXIT

  say "guest kernel $(uname -r), $(nproc) CPUs"
  ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up

  # The emulated bridge, exported on the guest's loopback.
  "$sim" usbip --port "$USBIP_PORT" --serial KERNELTEST01 --chip "$BRIDGE_CHIP" --latency-us 0 --trace-scsi "$work/scsi.trace" \
    > "$work/server.log" 2>&1 &
  local server=$!
  if ! wait_for 30 "burnwell-sim usbip to listen" grep -q "serving USB/IP" "$work/server.log"; then
    cat "$work/server.log"
    verdict usbip-server FAILED "did not start"
    return
  fi
  run attach 60 usbip attach -r 127.0.0.1 -b 1-1
  if [ $status -ne 0 ]; then verdict usbip-attach FAILED "usbip attach exit $status"; return; fi

  # The kernel's own view: the USB device, its SCSI generic node, the disk.
  find_sg() {
    local sg dev
    for sg in /sys/class/scsi_generic/sg*; do
      [ -e "$sg/device" ] || continue
      dev=$(readlink -f "$sg/device" 2>/dev/null) || continue  # a node going away as we look
      while [[ "$dev" == /sys/?* ]] && [ ! -f "$dev/idVendor" ]; do dev=${dev%/*}; done
      if [[ "$dev" == /sys/?* ]] && [ "$(cat "$dev/idVendor" 2>/dev/null)" = "$BRIDGE_VID" ]; then
        echo "$(basename "$sg") $dev"
        return 0
      fi
    done
    return 1
  }
  disk_bound() { dmesg | grep -q "Attached SCSI removable disk"; }
  if ! wait_for 120 "the kernel to bind the bridge" find_sg || ! wait_for 60 "sd to finish" disk_bound; then
    verdict kernel-binds-bridge FAILED "no sg node with idVendor $BRIDGE_VID"
    dmesg | tail -40
    return
  fi
  bridge_gone() { ! find_sg; }
  bindings() { dmesg | grep -c "Attached SCSI removable disk" || true; }
  # Plugs the bridge in when it is out, and waits until the kernel has bound it (sg and sd).
  plug_in() {
    if find_sg > /dev/null; then return 0; fi
    local before
    before=$(bindings)
    wait_for 60 "the kernel to remove the unplugged bridge" bridge_gone || true
    run reattach 60 usbip attach -r 127.0.0.1 -b 1-1
    [ $status -eq 0 ] && wait_for 120 "the kernel to bind the bridge again" find_sg &&
      wait_for 60 "sd to finish" sh -c "[ \$(dmesg | grep -c 'Attached SCSI removable disk') -gt $before ]"
  }
  # An update unplugged as soon as the tool shows PHASE ("erase", "program", "read back"). The
  # unplug is the vhci driver's own detach, which `usbip detach` uses: one write, at once. The
  # update is of an image file with 4 KiB of code, in classic transfers: each phase lasts
  # seconds (the whole-chip erase, 32-byte pieces), so that the unplug lands in the phase it was
  # meant for even on a busy machine, and the whole update stays short.
  unplug_during() {
    local phase=$1 name="unplug-during-${1// /-}" out="$work/unplug-during-${1// /-}.out" updater port
    if ! plug_in; then verdict "$name" FAILED "the bridge could not be plugged in again"; return; fi
    port=$(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\): <Port in Use>.*/\1/p' | head -1)
    set +e
    timeout --kill-after=5 400 "$tool" update "$results/unplug.bin" --yes --reinstall \
      --classic-transfers > "$out" 2>&1 &
    updater=$!
    set -e
    # On a busy machine the read-back starts a minute or more in.
    if WAIT_STEP=0.05 wait_for 360 "the update to reach its $phase" grep -q "progress: $phase" "$out"; then
      echo "$((10#${port:-0}))" > /sys/devices/platform/vhci_hcd.0/detach || usbip detach -p "${port:-0}" || true
      say "unplugged during the $phase (port ${port:-0})"
    fi
    set +e
    wait $updater
    status=$?
    set -e
    sed "s/^/  $name| /" "$out" | grep -v "progress:" | tail -200
    check_unplug_verdict "$name" "$status" "$out" "$phase"
  }

  local sg usb
  read -r sg usb < <(find_sg)
  local node="/dev/$sg"
  say "bridge in sysfs: $usb (idVendor $(cat "$usb/idVendor") idProduct $(cat "$usb/idProduct") serial $(cat "$usb/serial") speed $(cat "$usb/speed"))"
  say "sg node: $node ($(stat -c '%U:%G %a' "$node")), disk: $(ls "$(readlink -f /sys/class/scsi_generic/$sg/device)/block" 2>/dev/null)"
  wait_for 10 "$node" test -c "$node" || true
  verdict kernel-binds-bridge ok "$usb, $node"

  # What the tool finds through the real sysfs and sg.
  run list 60 "$tool" list
  if [ $status -eq 0 ] && grep -q "vid=$BRIDGE_VID" "$work/list.out" && grep -q "path=$node" "$work/list.out" &&
     grep -q "serial=KERNELTEST01" "$work/list.out"; then
    verdict list ok "path=$node"
  else
    verdict list FAILED "exit $status"
  fi

  run flash-detect 60 "$tool" flash detect
  if [ $status -eq 0 ]; then verdict flash-detect ok "$(tail -1 "$work/flash-detect.out")"; else verdict flash-detect FAILED "exit $status"; fi

  local before=$(trace_lines) t0=$(date +%s.%N)
  run flash-read 120 "$tool" flash read "$work/read.bin" --length 4096
  local t1=$(date +%s.%N) after=$(trace_lines)
  if [ $status -eq 0 ] && [ "$(stat -c %s "$work/read.bin" 2>/dev/null)" = 4096 ]; then
    verdict flash-read ok "4096 bytes"
  else
    verdict flash-read FAILED "exit $status"
  fi
  local commands=$((after - before))
  if [ $commands -gt 0 ]; then
    say "$(awk -v a="$t0" -v b="$t1" -v n="$commands" 'BEGIN { printf "timing: flash read of 4096 bytes: %d SCSI commands in %.2f s, %.2f ms per command through the kernel", n, b - a, 1000 * (b - a) / n }')" |
      tee -a "$verdicts"
  fi

  before=$(trace_lines)
  t0=$(date +%s.%N)
  run update 400 "$tool" update "$results/small.hex" --yes
  t1=$(date +%s.%N)
  after=$(trace_lines)
  if [ $status -eq 0 ]; then verdict update ok "$(grep -v '^\s*$' "$work/update.out" | tail -1)"; else verdict update FAILED "exit $status"; fi
  # Independently of the update's own read-back: the main code now in the flash is the file's.
  run update-landed 120 "$tool" flash read "$work/code.bin" --offset 256 --length 2048
  if [ $status -eq 0 ] && cmp -s "$work/code.bin" "$results/small.bin"; then
    verdict update-landed ok "flash 256..2303 holds the file's code"
  else
    verdict update-landed FAILED "exit $status, $(cmp "$work/code.bin" "$results/small.bin" 2>&1 | head -1)"
  fi
  say "$(awk -v a="$t0" -v b="$t1" -v n="$((after - before))" 'BEGIN { printf "timing: update: %d SCSI commands in %.1f s, %.2f ms per command", n, b - a, n ? 1000 * (b - a) / n : 0 }')" |
    tee -a "$verdicts"

  if "$tool" --help 2>&1 | grep -qw verify; then
    run verify 300 "$tool" verify "$results/small.hex"
    if [ $status -eq 0 ]; then verdict verify ok; else verdict verify FAILED "exit $status"; fi
  else
    verdict verify skipped "burnwell-tool has no verify command"
  fi

  # Without the udev rule a plain user sees the permission problem, with it the bridge.
  local nobody="setpriv --reuid=65534 --regid=65534 --clear-groups"
  run list-nonroot 60 $nobody "$tool" list
  if [ $status -eq 11 ] && grep -q "permission denied on $node" "$work/list-nonroot.out"; then
    verdict list-nonroot-without-rule ok "exit 11, permission denied on $node"
  else
    verdict list-nonroot-without-rule FAILED "exit $status"
  fi
  chgrp 65534 "$node" && chmod 0660 "$node"   # what the udev rule does (group burnwell, 0660)
  run list-nonroot-rule 60 $nobody "$tool" list
  if [ $status -eq 0 ] && grep -q "path=$node" "$work/list-nonroot-rule.out"; then
    verdict list-nonroot-with-rule ok
  else
    verdict list-nonroot-with-rule FAILED "exit $status"
  fi
  chgrp 0 "$node" && chmod 0600 "$node"

  # The kernel log up to here: binding and every command above without a SCSI error.
  dmesg > "$results/dmesg-before-unplug.txt"
  if grep -E "$KERNEL_ERROR_PATTERN" "$results/dmesg-before-unplug.txt" > "$work/kernel-errors.out"; then
    sed 's/^/  kernel-log| /' "$work/kernel-errors.out"
    verdict kernel-log FAILED "$(wc -l < "$work/kernel-errors.out") error lines"
  else
    verdict kernel-log ok "no SCSI errors"
  fi

  # Unplugs in the middle of an update, one in each phase that touches the memory: the tool
  # must tell each one at its first failed command. Each update is of the small file, unplugged
  # as soon as the tool shows the phase, and the bridge is plugged in again for the next one.
  local phase
  for phase in erase program "read back"; do
    unplug_during "$phase"
  done
  if wait_for 10 "the server to see the unplug" grep -q "1-1 released by the client" "$work/server.log"; then
    verdict server-saw-unplug ok
  else
    verdict server-saw-unplug FAILED
  fi

  # Plugged in again once the kernel has let go of it, then the server stops: the kernel must
  # see an unplug.
  if plug_in; then
    kill -TERM $server 2>/dev/null || true
    if wait_for 60 "the bridge to leave sysfs" bridge_gone; then
      verdict server-stop-is-unplug ok "$(dmesg | grep 'USB disconnect' | tail -1 | sed 's/^\[[^]]*\] //')"
    else
      verdict server-stop-is-unplug FAILED "the sg node stayed"
    fi
  else
    verdict server-stop-is-unplug FAILED "the bridge could not be plugged in again"
  fi
  kill -TERM $server 2>/dev/null || true
  wait $server 2>/dev/null || true

  station_phase
}

# The station on the real kernel: it runs while bridges are attached and detached over USB/IP
# (each attach takes the same vhci port, one socket): the first is updated, the second after it,
# the first again is up to date, a slow one detached mid-update is removed during its update, and
# the station goes on until its Ctrl-C. Runs inside guest_main (its helpers and locals).
station_phase() {
  local events="$work/station.jsonl" port=3241 server station status
  cat > "$work/station.machine" <<'MACHINE'
bridge 1-1 serial=STATION1 latency-us=0
bridge 1-2 serial=STATION2 latency-us=0
bridge 1-3 serial=STATION3 latency-us=100000
MACHINE
  "$sim" usbip --machine "$work/station.machine" --port $port > "$work/station-server.log" 2>&1 &
  server=$!
  if ! wait_for 30 "the station's USB/IP server" grep -q "serving USB/IP" "$work/station-server.log"; then
    verdict station FAILED "the USB/IP server did not start"
    return
  fi
  "$tool" station "$results/small.hex" --json --no-history --log "$work/station.log" > "$events" 2> "$work/station.err" &
  station=$!
  wait_for 30 "the station to start" grep -q '"event":"job"' "$events" || true

  # The finished record of a unit: its result, once there is one.
  result_of() {  # SERIAL NTH: the result of the unit's NTH finished record
    python3 - "$events" "$1" "$2" <<'PY'
import json, sys
found = [json.loads(l)["record"] for l in open(sys.argv[1])
         if '"event":"finished"' in l and json.loads(l)["record"]["bridge"]["serial"] == sys.argv[2]]
n = int(sys.argv[3])
if len(found) < n:
    sys.exit(1)
print(found[n - 1]["result"], (found[n - 1].get("error") or {}).get("text", ""))
PY
  }
  attached_port() { usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\): <Port in Use>.*/\1/p' | head -1; }
  plug() { timeout 60 usbip --tcp-port $port attach -r 127.0.0.1 -b "$1" > /dev/null 2>&1; }
  unplug() { timeout 30 usbip detach -p "$(attached_port)" > /dev/null 2>&1 || true; }
  removed_events() { grep -c '"event":"removed"' "$events" || true; }
  unit() {  # NAME BUS SERIAL NTH EXPECTED: attach, wait for the unit's record, detach
    local name=$1 bus=$2 serial=$3 nth=$4 expected=$5 removed got
    removed=$(removed_events)
    if ! plug "$bus"; then verdict "$name" FAILED "usbip attach -b $bus"; return; fi
    if wait_for 180 "$serial's record" result_of "$serial" "$nth"; then
      got=$(result_of "$serial" "$nth")
      if [ "${got%% *}" = "$expected" ]; then verdict "$name" ok "$serial: $got"; else verdict "$name" FAILED "$serial: $got"; fi
    else
      verdict "$name" FAILED "no record for $serial"
      station_state
    fi
    unplug
    if ! wait_for 60 "the station to see $serial leave" sh -c "[ \$(grep -c '\"event\":\"removed\"' '$events') -gt $removed ]"; then
      verdict "$name-removed" FAILED "no removed event for $serial"
      station_state
    fi
  }
  station_state() {  # what the station and USB/IP show, for a failed verdict
    usbip port 2>&1 | sed 's/^/  usbip port| /'
    tail -5 "$events" | cut -c1-300 | sed 's/^/  station events| /'
    tail -8 "$work/station.err" | sed 's/^/  station| /'
    ls /sys/class/scsi_generic/ 2>&1 | sed 's/^/  sg nodes| /'
  }
  unit station-first-unit 1-1 STATION1 1 updated
  unit station-second-unit 1-2 STATION2 1 updated
  unit station-first-again-up-to-date 1-1 STATION1 2 up-to-date

  # Detached in the middle of its update: recorded as removed during the update.
  local removed got
  removed=$(removed_events)
  if plug 1-3 && wait_for 180 "STATION3's update to be under way" grep -q '"event":"progress".*"serial":"STATION3"' "$events"; then
    unplug
    if wait_for 120 "STATION3's record" result_of STATION3 1; then
      got=$(result_of STATION3 1)
      if [ "${got%% *}" = disconnected ] && grep -q '"removed":true.*"serial":"STATION3"' "$events"; then
        verdict station-removed-mid-update ok "$got"
      else
        verdict station-removed-mid-update FAILED "$got"
      fi
    else
      verdict station-removed-mid-update FAILED "no record for STATION3"
    fi
  else
    verdict station-removed-mid-update FAILED "the slow unit's update did not get under way"
    unplug
  fi

  # The station goes on; its Ctrl-C ends it with the counters (status 1: one unit removed).
  if kill -0 $station 2>/dev/null; then
    kill -INT $station
    set +e
    timeout 60 tail --pid=$station -f /dev/null
    wait $station
    status=$?
    set -e
    sed 's/^/  station| /' "$work/station.err" | tail -8
    if [ $status -eq 1 ] && grep -q "passed 2  failed 1  refused 0  up to date 1" "$work/station.err"; then
      verdict station-goes-on ok "stopped by Ctrl-C: $(grep 'station stopped' "$work/station.err")"
    else
      verdict station-goes-on FAILED "exit $status"
    fi
  else
    verdict station-goes-on FAILED "the station ended by itself"
  fi
  kill -TERM $server 2>/dev/null || true
  wait $server 2>/dev/null || true
}

# The one place that judges how the tool ends when its bridge is unplugged mid-update: the
# unplug must be reported as a disconnect in the phase it came in (exit 12 and its message), at
# the first failed command of its pass: no pass tried again ("pass N of 6 failed: ...; trying
# again"), never a completion.
# Usage: check_unplug_verdict NAME STATUS OUTPUT PHASE
check_unplug_verdict() {
  local name=$1 status=$2 output=$3 during retries
  case $4 in
    erase) during="the erase" ;;
    program) during="programming" ;;
    *) during="the read-back" ;;
  esac
  retries=$(grep -c "trying again" "$output" || true)
  if [ "$status" -eq 12 ] && grep -q "The bridge was disconnected during $during\." "$output" &&
     [ "$retries" -eq 0 ] && ! grep -q "Programming completed" "$output"; then
    verdict "$name" ok "$(grep "The bridge was disconnected during" "$output" | tail -1)"
  else
    verdict "$name" FAILED "exit $status, $retries passes tried again: $(grep -v '^\s*$' "$output" | tail -1)"
  fi
}

# ---------------------------------------------------------------------------------------------
# On the host
# ---------------------------------------------------------------------------------------------
install_packages() {
  local sudo="" missing=() p
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  for p in qemu-system-x86 usbip busybox-static kmod cpio util-linux; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"; then
      $sudo apt-get update
      DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
  fi
}

# The kernel and its modules from Debian's package, unpacked into the cache; prints the release.
fetch_kernel() {
  local cache=$1 meta real deb release
  if [ -f "$cache/release" ] && [ -f "$cache/vmlinuz-$(cat "$cache/release")" ] &&
     [ -d "$cache/modules-$(cat "$cache/release")" ]; then
    cat "$cache/release"
    return
  fi
  mkdir -p "$cache/debs"
  (
    cd "$cache/debs"
    apt-cache show linux-image-amd64 > /dev/null 2>&1 || apt-get update >&2
    apt-get download -o APT::Sandbox::User=root linux-image-amd64 >&2
    meta=$(ls -t linux-image-amd64_*.deb | head -1)
    real=$(dpkg-deb -f "$meta" Depends | sed 's/,.*//; s/ .*//')
    apt-get download -o APT::Sandbox::User=root "$real" >&2
  )
  deb=$(ls -t "$cache"/debs/linux-image-[0-9]*.deb | head -1)
  rm -rf "$cache/unpacked"
  dpkg-deb -x "$deb" "$cache/unpacked"
  release=$(ls "$cache/unpacked/lib/modules" | head -1)
  cp "$cache/unpacked/boot/vmlinuz-$release" "$cache/vmlinuz-$release"
  depmod -b "$cache/unpacked" "$release"
  rm -rf "$cache/modules-$release"
  mkdir -p "$cache/modules-$release"
  # Only the modules the guest loads, in load order (dependencies first).
  local module line file
  : > "$cache/modules-$release/load-order"
  for module in $GUEST_MODULES; do
    modprobe -d "$cache/unpacked" -S "$release" --show-depends "$module" | while read -r line; do
      case "$line" in
        insmod*)
          file=$(echo "$line" | awk '{print $2}')
          if ! grep -qx "$(basename "$file" | sed 's/\.\(xz\|zst\|gz\)$//')" "$cache/modules-$release/load-order"; then
            case "$file" in
              *.xz) xz -dc "$file" > "$cache/modules-$release/$(basename "$file" .xz)" ;;
              *.zst) zstd -qdc "$file" > "$cache/modules-$release/$(basename "$file" .zst)" ;;
              *) cp "$file" "$cache/modules-$release/" ;;
            esac
            basename "$file" | sed 's/\.\(xz\|zst\|gz\)$//' >> "$cache/modules-$release/load-order"
          fi
          ;;
      esac
    done
  done
  rm -rf "$cache/unpacked"
  echo "$release" > "$cache/release"
  echo "$release"
}

# A small initramfs: busybox, the modules, and an init that mounts the host's root over 9p and
# hands over to this script's guest part. Rebuilt when this script's init text changes.
build_initramfs() {
  local cache=$1 release=$2 init_text stamp image dir
  init_text=$(initramfs_init)
  stamp=$( (echo "$init_text"; cat "$cache/modules-$release/load-order") | sha256sum | cut -c1-12)
  image="$cache/initramfs-$release-$stamp.cpio.gz"
  if [ ! -f "$image" ]; then
    dir=$(mktemp -d)
    mkdir -p "$dir"/{bin,dev,proc,sys,newroot,lib/modules}
    cp "$(command -v busybox)" "$dir/bin/busybox"
    cp "$cache/modules-$release"/*.ko "$dir/lib/modules/"
    cp "$cache/modules-$release/load-order" "$dir/lib/modules/"
    echo "$init_text" > "$dir/init"
    chmod +x "$dir/init"
    (cd "$dir" && find . | cpio -o -H newc --quiet | gzip -1) > "$image.partial"
    mv "$image.partial" "$image"
    rm -rf "$dir"
  fi
  echo "$image"
}

initramfs_init() {
  cat <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /lib/modules/load-order); do
  insmod "/lib/modules/$m" 2>/dev/null || echo "init: cannot load $m"
done
arg() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
script=$(arg burnwell.script) build=$(arg burnwell.build) source=$(arg burnwell.source)
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /newroot || { echo "init: no host root"; poweroff -f; }
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
mount -t tmpfs tmpfs /newroot/run
mkdir -p /newroot/tmp/results
mount -t 9p -o trans=virtio,version=9p2000.L,rw,msize=262144 results /newroot/tmp/results || echo "init: no results share"
# A checkout or build folder below /tmp or /run is hidden by the guest's own: its share brings it
# back at the same path.
share_back() {
  [ -e "/newroot$2" ] && return 0
  mkdir -p "/newroot$2" && mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 "$1" "/newroot$2" ||
    echo "init: cannot show $2 in the guest"
}
share_back source "$source"
share_back build "$build"
ip link set lo up
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
mount --move /dev /newroot/dev
exec switch_root /newroot /bin/bash "$script" --guest /tmp/results "$build" "$source"
EOF
}

host_main() {
  local root build cache out release kernel initramfs limit
  root=$(cd "$(dirname "$0")/.." && pwd)
  build=${BURNWELL_BUILD_DIR:-$root/build/default}
  cache=$root/build/kernel
  out=$root/build/kernel-test
  case "$root$build" in *" "*) echo "test-kernel: the source and build paths must not contain spaces" >&2; exit 2 ;; esac

  say "packages"
  install_packages
  say "building burnwell-sim and burnwell-tool in $build"
  if [ ! -f "$build/CMakeCache.txt" ]; then (cd "$root" && cmake --preset default ${BURNWELL_CMAKE_ARGS:-}); fi
  cmake --build "$build" --target burnwell-sim burnwell-tool -j"$(nproc)" > /dev/null

  say "kernel (cached in $cache)"
  mkdir -p "$cache"
  release=$(fetch_kernel "$cache")
  kernel="$cache/vmlinuz-$release"
  initramfs=$(build_initramfs "$cache" "$release")
  say "kernel $release, initramfs $(basename "$initramfs")"

  rm -rf "$out"
  mkdir -p "$out"
  # The update's firmware files: a small HEX file (the small image), and for the unplugged
  # updates an image file of the bridge's product with 4 KiB of code (its header: the maker's
  # ID, the marker and the checksum of the small image it fills, the product, the code length).
  python3 - "$out/small.hex" "$out/small.bin" "$out/unplug.bin" "$BRIDGE_VID" "$BRIDGE_PID" <<'EOF'
import struct, sys
code = bytes((i * 7 + 3) & 0xFF for i in range(0x800))
open(sys.argv[2], "wb").write(code)
with open(sys.argv[1], "w") as out:
    for at in range(0, len(code), 16):
        row = code[at:at + 16]
        record = bytes([len(row), at >> 8, at & 0xFF, 0]) + row
        out.write(":%s%02X\n" % (record.hex().upper(), (-sum(record)) & 0xFF))
    out.write(":00000001FF\n")
code = bytes((i * 13 + 5) & 0xFF for i in range(4096))
block = bytearray(b"\xff" * 256)
block[0:2] = struct.pack("<H", int(sys.argv[4], 16))
block[11] = 0x5A
block[12:14] = struct.pack(">H", sum(code + b"\xff" * (0x5C00 - len(code))) & 0xFFFF)
with open(sys.argv[3], "wb") as out:
    out.write(bytes(block) + struct.pack("<III", int(sys.argv[5], 16), 0, len(code)) + code)
EOF

  limit=$((TOTAL_LIMIT_S - (SECONDS - started) - BOOT_MARGIN_S))
  if [ $limit -lt 120 ]; then echo "test-kernel: no time left to boot the guest" >&2; exit 1; fi
  say "booting the guest (TCG, at most $limit s); console in $out/console.log"
  # One virtual CPU: every SCSI command hands over between the tool, the kernel's USB threads
  # and the server. Measured under TCG on a busy two-core machine: with two virtual CPUs a
  # command took 34 to 39 ms in two of three runs, with one 4 to 11 ms in every run.
  set +e
  timeout --kill-after=10 "$limit" qemu-system-x86_64 -nographic -no-reboot -m 1536 -smp 1 \
    -accel tcg -cpu max -nic none \
    -kernel "$kernel" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 loglevel=4 burnwell.script=$root/scripts/test-kernel.sh burnwell.build=$build burnwell.source=$root" \
    -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
    -virtfs "local,path=$out,mount_tag=results,security_model=none,multidevs=remap" \
    -virtfs "local,path=$root,mount_tag=source,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$build,mount_tag=build,security_model=none,readonly=on,multidevs=remap" \
    < /dev/null 2>&1 | tee "$out/console.log" | grep --line-buffered -E "^(kernel-test|verdict|  [a-z-]+\|)"
  local qemu_status=${PIPESTATUS[0]}
  set -e
  if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then say "the guest did not finish in time"; fi

  echo
  say "results ($((SECONDS - started)) s in all)"
  if [ ! -f "$out/verdicts.txt" ]; then
    say "no verdicts: the guest did not run its checks (see $out/console.log)"
    tail -30 "$out/console.log"
    exit 1
  fi
  cat "$out/verdicts.txt"
  if grep -q "^guest: failures=0$" "$out/verdicts.txt" && ! grep -q ": FAILED" "$out/verdicts.txt"; then
    say "PASS"
  else
    say "FAIL"
    exit 1
  fi
}

if [ "${1:-}" = --guest ]; then
  shift
  guest_main "$@"
else
  host_main "$@"
fi
