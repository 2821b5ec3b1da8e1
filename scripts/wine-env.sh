# Sourced by scripts that run Windows binaries: a private Wine prefix with a running
# wineserver, removed again by wine_env_cleanup.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${BURNWELL_WINEPREFIX:-$(mktemp -d /tmp/burnwell-wine.XXXXXX)}"
# A persistent wineserver first, so that every later start is quick.
wineserver -p
wineboot -i >/dev/null 2>&1
# Wine does not find its own fonts by itself; dialogs need Tahoma and Marlett.
if [ -d /usr/share/wine/fonts ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
wine_env_cleanup() {
  wineserver -k 2>/dev/null || true
  [ -z "${BURNWELL_WINEPREFIX:-}" ] && rm -rf "$WINEPREFIX"
}
