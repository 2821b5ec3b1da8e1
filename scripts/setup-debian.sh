#!/usr/bin/env bash
# Installs the Debian 12 packages a job needs, and only those:
#
#   scripts/setup-debian.sh [SET...]     (default: all)
#
#   build    compile and run the programs: compiler, CMake, Ninja, Qt, the libraries the build
#            uses (SQLite and libpq for the history) and the man page generator (scripts/demo.sh
#            needs no more)
#   test     the native test suite: GoogleTest, Google Benchmark, the Intel HEX oracles, a
#            PostgreSQL server the history's tests start in a folder of their own, groff (the man
#            pages as plain text)
#   fuzz     clang and its sanitizer runtime (fuzz targets)
#   windows  the mingw-w64 cross compiler, Wine, the NSIS installer builder, npm (the SQLite
#            amalgamation comes from an npm package: scripts/fetch-sqlite.sh)
#   package  what CPack needs to build the Debian package (dpkg-shlibdeps)
#   render   taking pictures of the windows (scripts/render-dialogs.sh)
#   all      every set above (scripts/test.sh, CI)
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

build=(cmake ninja-build g++ make pkg-config qt6-base-dev libgl-dev nlohmann-json3-dev libcli11-dev libudev-dev scdoc libsqlite3-dev libpq-dev)
test=(libgtest-dev libgmock-dev googletest libbenchmark-dev binutils srecord python3-intelhex clang-format-14 postgresql groff-base)
fuzz=(clang libclang-rt-14-dev)
windows=(g++-mingw-w64-x86-64-posix wine64 wine fonts-wine nsis npm)
package=(dpkg-dev file)
render=(xvfb xauth imagemagick fonts-wine xdotool)

sets=("$@")
if [ ${#sets[@]} -eq 0 ]; then sets=(all); fi
packages=()
for set in "${sets[@]}"; do
  case $set in
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    build|test|fuzz|windows|package|render) declare -n chosen=$set; packages+=("${chosen[@]}"); unset -n chosen ;;
    all) packages+=("${build[@]}" "${test[@]}" "${fuzz[@]}" "${windows[@]}" "${package[@]}" "${render[@]}") ;;
    *) echo "setup-debian.sh: unknown set '$set' (build, test, fuzz, windows, package, render, all)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  # An npm that came with another Node.js build (one that bundles it) does as well.
  if [ "$p" = npm ] && command -v npm >/dev/null; then continue; fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup-debian.sh: installing ${missing[*]}"
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
