#!/usr/bin/env bash
# The Debian package suite: builds the .deb with CPack from the "package"
# preset, checks what it holds, installs it with apt-get, checks the
# installed unit with systemd-analyze and the program as the service runs
# it, then purges the package. Must run as root; refuses to touch a divivez
# package that was installed before it.
#
#   scripts/package.sh            (scripts/test.sh package)
#
# Nothing is started through systemd: policy-rc.d keeps the install from
# starting daemons, and the postinst starts nothing. The proxy runs once by
# hand, as the service's user, on a loopback port the OS picks.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

[ "$(id -u)" = 0 ] || fail "run as root (it installs and removes the package)"
if dpkg-query -W -f '${Status}' divivez 2>/dev/null | grep -q installed; then
  fail "a divivez package is installed already; this suite installs and purges its own"
fi

cmake --preset package >/dev/null
cmake --build --preset package
rm -f build/package/divivez_*.deb
(cd build/package && cpack -G DEB >/dev/null)
debs=(build/package/divivez_*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single divivez_*.deb"
deb=$(realpath "${debs[0]}")
echo "package.sh: built $deb"

version=$(sed -n 's/^project(divivez VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -f "$deb" Depends | grep -q adduser || fail "Depends lacks adduser"
contents=$(dpkg-deb -c "$deb" | awk '{print $1, $NF}')
plugin=
for wanted in ./usr/bin/divivez-proxy ./usr/lib/systemd/system/divivez-proxy.service \
  ./etc/divivez/divivez-proxy.conf ./usr/share/man/man8/divivez-proxy.8.gz; do
  grep -q " $wanted\$" <<<"$contents" || fail "the package lacks $wanted"
done
plugin=$(awk '$2 ~ /\/divivez\/libdivivez\.so$/ {print substr($2, 2)}' <<<"$contents")
[ -n "$plugin" ] || fail "the package lacks the plug-in"
grep -q '^-rwxr-xr-x ./usr/bin/divivez-proxy$' <<<"$contents" || fail "divivez-proxy is not mode 755"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/divivez/divivez-proxy.conf ||
  fail "the settings file is not a conffile"

# Daemons pulled in as dependencies stay stopped; a policy already in
# place is left as it is.
policy_rc=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy_rc" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy_rc"
  chmod 755 "$policy_rc"
  own_policy=1
fi
installed=0
proxy_pid=
cleanup() {
  set +e
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null; fi
  if [ "$installed" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 divivez >/dev/null ||
      echo "package.sh: could not purge divivez" >&2
  fi
  if [ "$own_policy" = 1 ]; then rm -f "$policy_rc"; fi
  if [ -n "${work:-}" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
work=$(mktemp -d)

DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=300 "$deb"
installed=1

getent passwd divivez >/dev/null || fail "the postinst did not create the user divivez"
uid=$(id -u divivez)
[ "$uid" -lt 1000 ] || fail "divivez is not a system user (uid $uid)"
/usr/bin/divivez-proxy --version | grep -qx "divivez-proxy $version" ||
  fail "/usr/bin/divivez-proxy --version does not print $version"
zcat /usr/share/man/man8/divivez-proxy.8.gz | grep -q '^\.TH DIVIVEZ-PROXY 8' || fail "bad man page"

unit=/usr/lib/systemd/system/divivez-proxy.service
verify_out=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify failed:
$verify_out"
if grep -q divivez <<<"$verify_out"; then
  fail "systemd-analyze verify complains about the unit:
$verify_out"
fi
for setting in "User=divivez" "ProtectSystem=strict" "RuntimeDirectory=divivez-proxy" \
  "Environment=TMPDIR=/run/divivez-proxy" "Restart=on-failure" 'ExecReload=/bin/kill -HUP $MAINPID'; do
  grep -qxF "$setting" "$unit" || fail "the unit lacks $setting"
done

# The unit's command line, as its user, with the shipped settings: the
# plug-in loads, the settings file parses, SIGHUP does not end it.
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
chown divivez: "$work"
# shellcheck disable=SC2086
(cd "$work" && exec setpriv --reuid=divivez --regid=divivez --init-groups env TMPDIR="$work" $exec_start \
  --listen 127.0.0.1:0 --port-file "$work/port" --shutdown-grace 1) >"$work/log" 2>&1 &
proxy_pid=$!
for _ in $(seq 100); do
  [ -s "$work/port" ] && break
  kill -0 "$proxy_pid" 2>/dev/null || break
  sleep 0.1
done
[ -s "$work/port" ] || fail "the installed proxy did not start:
$(cat "$work/log")"
grep -q "upstream 127.0.0.1:25; plug-in $plugin" "$work/log" ||
  fail "the installed proxy did not take the shipped settings:
$(cat "$work/log")"
kill -HUP "$proxy_pid"
for _ in $(seq 50); do grep -q "nothing to reload" "$work/log" && break; sleep 0.1; done
kill -0 "$proxy_pid" 2>/dev/null || fail "SIGHUP ended the proxy"
kill -TERM "$proxy_pid"
status=0
wait "$proxy_pid" || status=$?
proxy_pid=
[ "$status" = 0 ] || fail "the installed proxy exited with $status:
$(cat "$work/log")"

DEBIAN_FRONTEND=noninteractive apt-get remove -y -q -o DPkg::Lock::Timeout=300 divivez
[ ! -e /usr/bin/divivez-proxy ] || fail "remove left /usr/bin/divivez-proxy"
[ -e /etc/divivez/divivez-proxy.conf ] || fail "remove took the conffile (only purge should)"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q -o DPkg::Lock::Timeout=300 divivez
installed=0
[ ! -e /etc/divivez/divivez-proxy.conf ] || fail "purge left the settings file"
echo "package.sh: built, checked, installed, verified, removed and purged $(basename "$deb")"

# The Windows packages beside it: the NSIS installer and a zip of the
# binaries, from the win32 build (the one the win32 suite tests), stripped.
# scripts/e2e.sh win32 --only windows-installer installs and uninstalls it
# under Wine.
command -v makensis >/dev/null || fail "makensis missing (scripts/setup.sh installs nsis)"
[ -f build/win32/CMakeCache.txt ] || cmake --preset win32 >/dev/null
cmake --build --preset win32 --target windows-packages
installer=build/win32/divivez-setup-$version.exe
archive=build/win32/divivez-$version-win32.zip
[ "$(head -c 2 "$installer")" = MZ ] || fail "$installer is no Windows program"
listing=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$archive")
[ "$listing" = "$(printf 'divivez-proxy.conf\ndivivez-proxy.exe\ndivivez.dll')" ] ||
  fail "$archive holds: $listing"
cp "$installer" "$archive" build/package/
echo "package.sh: built $(basename "$installer") and $(basename "$archive") beside it in build/package"
