#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine with the project's prefix.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-divivez}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# A wine server that outlives each program by a minute: ctest starts one
# program per test, and starting the server each time costs seconds.
wineserver -p 60 >/dev/null 2>&1 || true
exec wine "$@"
