#!/bin/sh
# Runs a Windows program under 64-bit Wine with the build's own prefix.
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so CTest runs every test through it.
here=$(dirname "$0")
: "${WINEPREFIX:=$(cd "$here" && pwd)/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if command -v wine64 >/dev/null 2>&1; then exec wine64 "$@"; fi
if [ -x /usr/lib/wine/wine64 ]; then exec /usr/lib/wine/wine64 "$@"; fi
exec wine "$@"
