#!/usr/bin/env bash
# Install and package checks for Linux, on a native build folder (default build/default):
#  1. `cmake --install` into a temporary prefix: the files are where they belong, the installed
#     programs start, and the installed burnwell-tool updates the installed burnwell-sim's
#     emulated bridge from the installed example files.
#  2. The Debian package (CPack): its name and dependencies, `apt-get install` of it on this
#     machine, the installed programs run once (their units recorded in root's history, in the
#     folder the package makes), and its removal.
#
#   scripts/check-install.sh [BUILD_DIR]
#
# Step 2 installs into the system: it needs root (or sudo) and removes the package again unless
# BURNWELL_KEEP_PACKAGE=1.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$(cd "${1:-build/default}" && pwd)
./scripts/setup-debian.sh build package
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

cmake --build "$build" -j"$(nproc)" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check-install: FAIL: $*" >&2; exit 1; }

# An update of an emulated bridge by burnwell-tool from PATH, in a station folder made from the
# example files in DOC: the flash then holds the validity marker and the file's checksum.
update_with() {  # doc folder, station folder
  local doc=$1 station=$2
  mkdir -p "$station"
  cp "$doc/examples/Config.ini" "$doc/examples/ZQ5x8x.hex" "$station/"
  (cd "$station" && burnwell-sim --latency-us 20 --image flash.bin -- burnwell-tool update ZQ5x8x.hex --yes >update.log 2>&1) \
    || { cat "$station/update.log"; fail "update against the installed burnwell-sim"; }
  [ "$(od -A n -t x1 -j 11 -N 3 "$station/flash.bin" | tr -d ' ')" = 5a65da ] || fail "flash marker after the update"
  # The updater itself, terminal view, in the same folder: it finds Config.ini and the file there.
  (cd "$station" && burnwell-sim --latency-us 20 --firmware 0x5A513578 --image flash.bin -- burnwell --terminal --yes >updater.log 2>&1) \
    || { cat "$station/updater.log"; fail "burnwell against the installed burnwell-sim"; }
}

echo "== cmake --install into a temporary prefix"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
for file in bin/burnwell bin/burnwell-tool bin/burnwell-sim lib/udev/rules.d/70-burnwell.rules \
            share/doc/burnwell/README.md share/doc/burnwell/examples/Config.ini \
            share/doc/burnwell/examples/ZQ5x8x.hex share/doc/burnwell/examples/ZQ5x8x-image.bin \
            share/bash-completion/completions/burnwell-tool share/bash-completion/completions/burnwell-sim; do
  [ -e "$prefix/$file" ] || fail "not installed: $file"
done
# Manual pages are made from docs/man/*.scd.
for page in burnwell burnwell-tool burnwell-sim; do
  [ -e "$prefix/share/man/man1/$page.1" ] || fail "no manual page $page(1)"
done
(
  export PATH="$prefix/bin:$PATH"
  # The prefix's programs keep their units apart from the system's history.
  export BURNWELL_HISTORY="$work/prefix-history.db"
  [ "$(command -v burnwell-tool)" = "$prefix/bin/burnwell-tool" ] || fail "PATH"
  for program in burnwell burnwell-tool burnwell-sim; do
    $program --version | grep -qF "$version" || fail "installed $program --version"
  done
  burnwell-tool --help >/dev/null || fail "installed burnwell-tool --help"
  update_with "$prefix/share/doc/burnwell" "$work/station-prefix"
)
echo "installed into $prefix and updated an emulated bridge with the installed programs"

echo "== Debian package"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$build/burnwell_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB"
echo "Depends: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Depends | grep -q libqt6widgets6 || fail "dependencies from dpkg-shlibdeps"
dpkg-deb -f "$deb" Depends | grep -q libsqlite3-0 && dpkg-deb -f "$deb" Depends | grep -q libpq5 \
  || fail "the history's libraries in the dependencies"
had_history_folder=no
[ ! -d /var/lib/burnwell ] || had_history_folder=yes
$SUDO apt-get install -y "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }
(
  export PATH=/usr/bin:/bin:/usr/sbin:/sbin
  [ "$(command -v burnwell-tool)" = /usr/bin/burnwell-tool ] || fail "installed burnwell-tool not on PATH"
  burnwell-tool --help >/dev/null || fail "burnwell-tool --help"
  burnwell-tool --version | grep -qF "$version" || fail "burnwell-tool --version"
  burnwell-sim --help >/dev/null || fail "burnwell-sim --help"
  getent group burnwell >/dev/null || fail "group burnwell"
  [ -e /usr/lib/udev/rules.d/70-burnwell.rules ] || fail "udev rule"
  if command -v man >/dev/null; then
    man -w burnwell-tool >/dev/null || fail "man burnwell-tool"
  fi
  [ $had_history_folder = yes ] || [ "$(stat -c %G /var/lib/burnwell)" = burnwell ] || fail "/var/lib/burnwell for the group burnwell"
  if [ -z "$SUDO" ]; then
    units() { burnwell-tool history --json 2>/dev/null | python3 -c "import json,sys; print(len(json.load(sys.stdin)['units']))" 2>/dev/null || echo 0; }
    before=$(units)
    update_with /usr/share/doc/burnwell "$work/station-package"
    after=$(units)
    [ "$after" -eq $((before + 2)) ] || fail "the installed programs' units in /var/lib/burnwell/history.db ($before, then $after)"
  else
    update_with /usr/share/doc/burnwell "$work/station-package"
  fi
)
echo "installed $(basename "$deb") with apt-get and updated an emulated bridge with its programs"
if [ "${BURNWELL_KEEP_PACKAGE:-0}" != 1 ]; then
  $SUDO apt-get remove -y burnwell >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove"; }
  [ ! -e /usr/bin/burnwell-tool ] || fail "removal left /usr/bin/burnwell-tool"
fi
