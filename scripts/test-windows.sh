#!/usr/bin/env bash
# Cross-builds for Windows with mingw-w64 (with the SQLite amalgamation scripts/fetch-sqlite.sh
# fetches) and runs the test suites under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh windows test
./scripts/fetch-sqlite.sh
cmake --preset windows ${BURNWELL_CMAKE_ARGS:-} >/dev/null
cmake --build --preset windows -j"$(nproc)"
source scripts/wine-env.sh
trap wine_env_cleanup EXIT
ctest --preset windows -j2
