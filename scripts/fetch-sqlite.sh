#!/usr/bin/env bash
# The SQLite amalgamation (sqlite3.c, sqlite3.h; public domain) for the Windows build, which
# compiles it itself since Debian has no SQLite for mingw-w64:
#
#   scripts/fetch-sqlite.sh [DIR]     (default: build/sqlite-amalgamation)
#
# Takes it from a pinned npm package that carries it, checks the package's sha256 against the
# pinned value and unpacks the two files into DIR. The package is kept beside DIR, so a second
# run needs no network. No npm, no network or a package whose checksum differs is a failure,
# never a silent fallback. Needs npm (scripts/setup-debian.sh windows installs it).
set -euo pipefail
cd "$(dirname "$0")/.."
package=better-sqlite3@12.11.1  # SQLite 3.53.2
sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
dir=${1:-build/sqlite-amalgamation}
case ${1:-} in -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;; esac
fail() { echo "fetch-sqlite.sh: $*" >&2; exit 1; }

stamp=$dir/package.sha256
if [ -f "$dir/sqlite3.c" ] && [ -f "$dir/sqlite3.h" ] && [ "$(cat "$stamp" 2>/dev/null)" = "$sha256" ]; then
  exit 0
fi
cache=$(dirname "$dir")/npm-packages
tarball=$cache/${package/@/-}.tgz
mkdir -p "$cache" "$dir"
if [ ! -f "$tarball" ]; then
  command -v npm >/dev/null || fail "npm is needed to fetch $package (scripts/setup-debian.sh windows installs it)"
  work=$(mktemp -d "$cache/fetch.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  (cd "$work" && npm pack --silent "$package" >/dev/null) || fail "npm pack $package failed"
  mv "$work"/*.tgz "$tarball"
fi
got=$(sha256sum "$tarball" | cut -d' ' -f1)
if [ "$got" != "$sha256" ]; then
  rm -f "$tarball"
  fail "$package has sha256 $got, not the pinned $sha256; nothing was unpacked"
fi
tar -xzmf "$tarball" -C "$dir" --strip-components=3 package/deps/sqlite3/sqlite3.c package/deps/sqlite3/sqlite3.h \
  || fail "$package holds no package/deps/sqlite3/sqlite3.c and sqlite3.h"
echo "$sha256" >"$stamp"
echo "fetch-sqlite.sh: SQLite $(sed -n 's/^#define SQLITE_VERSION  *"\(.*\)"/\1/p' "$dir/sqlite3.h") from $package in $dir"
