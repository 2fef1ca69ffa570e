#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine with the project's prefix.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-divivez}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
exec wine "$@"
