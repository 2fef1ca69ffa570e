#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine with the project's prefix.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-divivez}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"

# A wine server that outlives each program by a minute: ctest starts one
# program per test, and starting the server each time costs seconds.
#
# The first program a new server runs also starts the prefix's services
# (services.exe, winedevice.exe, ...), and those inherit that program's
# descriptors and live as long as the server. Whoever reads the program's
# output through a pipe (ctest, test discovery) would then wait for an end of
# file that never comes. So a new server's services are started here, by a
# program of our own with no descriptors worth keeping; the lock makes
# programs started together wait for that rather than race it.
lock="${TMPDIR:-/tmp}/divivez-wine-$(id -u).lock"
exec 9>"$lock"
flock 9
# (The lock's descriptor is closed for both: the server would hold it forever.)
if wineserver -p 60 </dev/null >/dev/null 2>&1 9>&- ||
   ! pgrep -u "$(id -u)" -f 'services\.exe' >/dev/null; then
  wine cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-

exec wine "$@"
