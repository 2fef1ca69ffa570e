#!/usr/bin/env bash
# End-to-end suite: the proxy and its plug-in with real mail software
# (swaks, curl, smtplib, aiosmtpd, smtp-sink, clamd), on the Linux build and
# on the Windows build under 32-bit Wine.
#
#   scripts/e2e.sh [native|win32|all|asan] [run_e2e.py options, e.g. --only eicar]
#
# asan runs the native scenarios on the native-asan preset (AddressSanitizer
# and UBSan in the proxy and the plug-in; a report fails the scenario that
# stops the proxy); "all" is native and win32.
#
# Configures and builds the presets it needs (incrementally when they are
# already built), then runs tests/e2e/run_e2e.py, which prints one line per
# scenario and ends with "N passed, N failed". Everything listens on
# 127.0.0.1 with ports the OS picks; every process it starts is stopped when
# it ends, on failure too. Needs the packages of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

which_builds=all
if [ $# -gt 0 ] && [[ "$1" != -* ]]; then
  which_builds=$1
  shift
fi
case "$which_builds" in
  native) presets=(native) ;;
  win32) presets=(win32) ;;
  all) presets=(native win32) ;;
  asan) presets=(native-asan) ;;
  *)
    echo "usage: scripts/e2e.sh [native|win32|all|asan] [run_e2e.py options]" >&2
    exit 2
    ;;
esac

# Debian's Python: the aiosmtpd package is installed for it.
python=/usr/bin/python3
if ! "$python" -c 'import aiosmtpd' 2>/dev/null; then
  echo "e2e.sh: $python cannot import aiosmtpd (run scripts/setup.sh)" >&2
  exit 2
fi

for preset in "${presets[@]}"; do
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    cmake --preset "$preset" >/dev/null
  fi
  echo "e2e.sh: building the $preset plug-in and proxy"
  cmake --build --preset "$preset" --target divivez divivez-proxy
  # The installer, for windows-installer (skipped without it).
  if [ "$preset" = win32 ] && command -v makensis >/dev/null; then
    cmake --build --preset "$preset" --target windows-packages
  fi
done

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-divivez}"
export WINEDEBUG="${WINEDEBUG:--all}"
# The driver's last line is the summary "N passed, N failed"; nothing may
# follow it.
if [ "$which_builds" = asan ]; then
  export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
  exec "$python" tests/e2e/run_e2e.py --build native --native-dir build/native-asan "$@"
fi
exec "$python" tests/e2e/run_e2e.py --build "$which_builds" "$@"
