#!/usr/bin/env bash
# Builds the Linux plug-in and proxy and runs the proxy with its defaults:
# listening on 127.0.0.1:2525, the built-in scanner, and an embedded capture
# server that stores every delivered message in ./outbox. Extra arguments go
# to divivez-proxy (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ]; then
  # The compiler, CMake and Ninja only; the test suites' packages (Wine,
  # mingw-w64, the mail peers) come with scripts/test.sh.
  bash scripts/setup.sh --build
elif ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  echo "run.sh: cmake and ninja are missing; run 'sudo bash scripts/setup.sh --build' first" >&2
  exit 2
fi
cmake --preset native >/dev/null
cmake --build --preset native --target divivez divivez-proxy
exec build/native/host/divivez-proxy "$@"
