#!/usr/bin/env bash
# Installs what building, testing and the demo need on a fresh Debian 12 machine.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  # native build and tests
  cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev googletest libbenchmark-dev
  # the command-line parser of every program (header-only) and the man page generator
  libcli11-dev scdoc
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # independent oracles for Intel HEX
  binutils srecord python3-intelhex
  # Windows cross build, tests under Wine
  g++-mingw-w64-x86-64-posix wine64 wine
  # the Qt front end and rendering dialogs without a display
  qt6-base-dev libgl-dev xvfb xauth imagemagick fonts-wine
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
