#!/usr/bin/env bash
# Installs what the build and the test suites need on a Debian 12 machine.
# Must run as root. Safe to run again: apt skips what is there, and the Wine
# prefix is only created once.
#
#   scripts/setup.sh            everything: compilers, mingw-w64, Wine, the
#                               test peers (swaks with TLS, aiosmtpd,
#                               smtp-sink, Postfix with Cyrus SASL, openssl,
#                               clamd, HAProxy, Prometheus)
#   scripts/setup.sh --build    only what building and running the proxy
#                               needs (compiler, CMake, Ninja, OpenSSL's
#                               headers)
#
# Safe on a mail server in production: no daemon is started by the package
# installs (a temporary policy-rc.d refuses every start), and no process is
# ever stopped or killed: a Postfix or ClamAV already running keeps running.
# The tests start their own instances on loopback with private
# configurations, so they do not need the system ones stopped.
set -euo pipefail

build_only=0
case "${1:-}" in
  "") ;;
  --build) build_only=1 ;;
  *)
    echo "usage: scripts/setup.sh [--build]" >&2
    exit 2
    ;;
esac

export DEBIAN_FRONTEND=noninteractive

if [ "$(id -u)" != 0 ]; then
  echo "setup.sh: run as root (it installs packages with apt-get)" >&2
  exit 2
fi

# Daemons pulled in by the packages below (postfix, clamav-daemon, freshclam,
# haproxy, prometheus)
# must not be started by their installation: the tests start what they need
# on loopback, with private configurations, and freshclam would try to
# download. A daemon that was already running is left alone.
policy_rc=/usr/sbin/policy-rc.d
policy_saved=
if [ -e "$policy_rc" ]; then
  policy_saved=$(mktemp)
  cp -p "$policy_rc" "$policy_saved"
fi
printf '#!/bin/sh\nexit 101\n' >"$policy_rc"
chmod 755 "$policy_rc"
restore_policy() {
  if [ -n "$policy_saved" ]; then mv -f "$policy_saved" "$policy_rc"; else rm -f "$policy_rc"; fi
}
trap restore_policy EXIT

if [ "$build_only" = 1 ]; then
  apt-get update -q
  apt-get install -y -q --no-install-recommends cmake ninja-build g++ make ca-certificates \
    libssl-dev
  echo "setup.sh: done (build tools only)"
  exit 0
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi

echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections

apt-get update -q
apt-get install -y -q --no-install-recommends \
  cmake ninja-build g++ make git ca-certificates libssl-dev openssl \
  googletest libgtest-dev libgmock-dev \
  clang clang-format libclang-rt-14-dev llvm \
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 \
  wine wine32:i386 \
  valgrind \
  swaks libnet-ssleay-perl libio-socket-ssl-perl curl python3 python3-aiosmtpd openssl \
  iproute2 nftables \
  dpkg-dev systemd adduser nsis \
  postfix sasl2-bin libsasl2-modules clamav-daemon clamav \
  haproxy prometheus stunnel4

# A 32-bit Wine prefix for the win32 test suite, created once.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-divivez}"
export WINEARCH=win32
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
echo "setup.sh: done (Wine prefix $WINEPREFIX)"
