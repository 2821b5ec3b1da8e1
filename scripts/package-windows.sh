#!/usr/bin/env bash
# The Windows packages, made with CPack from the cross build (build/windows): a ZIP archive and
# an NSIS installer, each holding burnwell.exe, burnwell-tool.exe, burnwell-sim.exe, the example
# Config.ini and firmware files and the README. Checks the archive's contents, then installs the
# installer silently under Wine and runs the installed programs from their folder.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup-debian.sh windows test
./scripts/fetch-sqlite.sh
cmake --preset windows ${BURNWELL_CMAKE_ARGS:-} >/dev/null
cmake --build --preset windows -j"$(nproc)" --target burnwell burnwell-tool burnwell-sim
build=$PWD/build/windows
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=burnwell-$version-win64
fail() { echo "package-windows: FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G "ZIP;NSIS" >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack"; }
zip=$build/$name.zip
installer=$build/$name.exe
[ -f "$zip" ] || fail "no $zip"
[ -f "$installer" ] || fail "no $installer"
python3 - "$zip" "$name" <<'PY' || fail "archive contents"
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
want = {f"{sys.argv[2]}/{f}" for f in ("burnwell.exe", "burnwell-tool.exe", "burnwell-sim.exe",
                                        "Config.ini", "ZQ5x8x.hex", "README.md")}
missing = want - names
assert not missing, f"missing {sorted(missing)}"
PY
echo "$(basename "$zip"): $(du -k "$zip" | cut -f1) KiB; $(basename "$installer"): $(du -k "$installer" | cut -f1) KiB"

# The installer, silently, into C:\Burnwell; then the installed programs in that folder, where
# the updater finds Config.ini and the firmware file.
source scripts/wine-env.sh
trap wine_env_cleanup EXIT
wine "$installer" /S '/D=C:\Burnwell' || fail "silent install"
installed=$WINEPREFIX/drive_c/Burnwell
for file in burnwell.exe burnwell-tool.exe burnwell-sim.exe Config.ini ZQ5x8x.hex README.md Uninstall.exe; do
  [ -f "$installed/$file" ] || fail "the installer left no $file"
done
(cd "$installed" && wine burnwell-tool.exe info ZQ5x8x.hex | tr -d '\r' | grep -qx 'checksum: 65DA') || fail "installed burnwell-tool.exe info"
(cd "$installed" && wine burnwell.exe --version | tr -d '\r' | grep -qF "$version") || fail "installed burnwell.exe --version"
# The history is built in: the installed tool looks for it in its default place (and fails, as
# nothing has been recorded yet).
answer=$(cd "$installed" && wine burnwell-tool.exe history 2>&1 | tr -d '\r' || true)
grep -qF '\burnwell\history.db (nothing has been recorded there)' <<<"$answer" \
  || fail "installed burnwell-tool.exe history: $answer"
echo "installed $(basename "$installer") under Wine and ran the installed programs"
