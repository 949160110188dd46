#!/usr/bin/env bash
# Builds the qav and qav-server Debian packages from a build folder (build/ unless named) and
# checks them: control fields, maintainer scripts and contents, the version and its suffix for a
# station built for another server, lintian (errors and a missing manual page fail, other warnings
# pass), the service, backup and timer units, the menu entry, and the packaged programs run from an
# extracted tree: --version, the station's launcher taking /etc/qav/qav.ini on every start, serve on
# a free port, one sign-in and one verification, and SIGTERM ending the server with exit code 0 and
# a log line.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=$(mktemp -d /tmp/qav-packages.XXXXXX)
server_pid=""
cleanup() {
  [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-packages: $*" >&2; exit 1; }

rm -rf "$build/packages"
(cd "$build" && cpack -B packages >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
station=$(ls "$build"/packages/qav_*.deb)
server=$(ls "$build"/packages/qav-server_*.deb)

echo "== Package fields and contents"
check_field() { # deb field expected...
  local deb=$1 field=$2 value
  shift 2
  value=$(dpkg-deb -f "$deb" "$field")
  for want in "$@"; do
    [[ "$value" == *"$want"* ]] || fail "$(basename "$deb") $field lacks $want: $value"
  done
}
check_field "$station" Depends fonts-nanum qt6-qpa-plugins libqt6multimedia6 libqt6widgets6
check_field "$server" Depends libsodium23 libzip4 libxlsxwriter4 libqt6sql6-sqlite libqt6sql6-psql libqt6network6 openssl
dpkg-deb -I "$server" conffiles | grep -qx /etc/qav/qav-server.conf || fail "qav-server.conf is not a conffile"
for script in postinst prerm postrm; do
  dpkg-deb -I "$server" "$script" | grep -q deb-systemd- || fail "qav-server $script does not use deb-systemd-helper/-invoke"
done
check_contents() { # deb path...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -qx "./$path" <<<"$listing" || fail "$(basename "$deb") lacks $path"
  done
}
check_contents "$station" usr/bin/qav usr/bin/qav-station usr/share/qav/qav.ini usr/share/qav/runtime/ok.wav \
  usr/share/qav/runtime/btn3on.jpg usr/share/applications/qav.desktop usr/share/icons/hicolor/64x64/apps/qav.png \
  usr/share/man/man1/qav.1.gz usr/share/man/man1/qav-station.1.gz usr/share/doc/qav/README.md
check_contents "$server" usr/bin/qav-server etc/qav/qav-server.conf lib/systemd/system/qav-server.service \
  lib/systemd/system/qav-server-backup.service lib/systemd/system/qav-server-backup.timer \
  usr/share/man/man8/qav-server.8.gz usr/share/doc/qav-server/README.md usr/share/doc/qav-server/server.md

echo "== Version"
# The plain packaged station goes to qav-server; one built for another server says so in its
# version, and installing it over the plain one is an upgrade.
version_of() { # server-url image-url
  cmake -DVERSION=0.1 -DSERVER_URL="$1" -DIMAGE_URL="$2" -P "$root/packaging/packageversion.cmake" 2>&1
}
[[ "$(version_of https://qav-server:8470 https://qav-server:8470)" == 0.1 ]] || fail "plain package has a suffix"
[[ "$(version_of https://gate-server:8470 https://gate-server:8470)" == 0.1+gate.server ]] ||
  fail "no suffix for gate-server: $(version_of https://gate-server:8470 https://gate-server:8470)"
[[ "$(version_of https://qav-server:8470 http://10.0.0.9:8080)" == 0.1+qav.server ]] ||
  fail "no suffix for another image server"
dpkg --compare-versions 0.1+gate.server gt 0.1 || fail "0.1+gate.server does not upgrade 0.1"
want=$(sed -n 's/^QAV_PACKAGE_VERSION:INTERNAL=//p' "$build/CMakeCache.txt")
for deb in "$station" "$server"; do
  [[ "$(dpkg-deb -f "$deb" Version)" == "$want" ]] || fail "$(basename "$deb") has version $(dpkg-deb -f "$deb" Version), not $want"
done

echo "== lintian"
lintian --tag-display-limit 0 "$station" "$server" >"$work/lintian.log" 2>&1 || true
grep -v 'root privileges' "$work/lintian.log" || true
if grep -q '^E:' "$work/lintian.log"; then fail "lintian reports errors"; fi
if grep -qE '^[EW]: qav(-server)?: (no-manual-page|binary-without-manpage)' "$work/lintian.log"; then
  fail "a package lacks a manual page"
fi

echo "== Extracted tree"
tree="$work/tree"
dpkg-deb -x "$station" "$tree"
dpkg-deb -x "$server" "$tree"
desktop-file-validate "$tree/usr/share/applications/qav.desktop"
# The units name the installed path; verify them against the extracted program.
for unit in qav-server.service qav-server-backup.service qav-server-backup.timer; do
  sed "s#/usr/bin/qav-server#$tree/usr/bin/qav-server#g" "$tree/lib/systemd/system/$unit" >"$work/$unit"
done
# Their man page is in the package, not on this machine.
systemd-analyze verify --man=no "$work/qav-server.service" "$work/qav-server-backup.service" "$work/qav-server-backup.timer"
systemd-analyze security --offline=yes "$work/qav-server.service" 2>/dev/null | tail -n 1

version=$(grep -oP 'project\(QAV VERSION \K[0-9.]+' "$root/CMakeLists.txt")
[[ "$("$tree/usr/bin/qav" --version)" == "qav $version" ]] || fail "qav --version"
[[ "$("$tree/usr/bin/qav-server" --version)" == "qav-server $version" ]] || fail "qav-server --version"

echo "== Station launcher: /etc/qav/qav.ini on every start, a user's own qav.ini first"
# --version makes the station answer without a screen, after the launcher has laid out its folder.
launch() {
  HOME="$work/home" XDG_CONFIG_HOME="" XDG_DATA_HOME="" QAV_STATION_DIR="" QAV_CONFIG_DIR="$work/etc" \
    "$tree/usr/bin/qav-station" --version >/dev/null || fail "qav-station --version failed"
  grep -oP '^PlaceCode=\K.*' "$work/home/.local/share/qav/qav.ini"
}
mkdir -p "$work/etc" "$work/home"
[[ "$(launch)" == "" ]] || fail "launcher without /etc/qav/qav.ini: no empty place code"
[[ -e "$work/home/.local/share/qav/ok.wav" ]] || fail "launcher did not copy the sounds"
printf '[Quorvanta]\nPlaceCode=1234\n' >"$work/etc/qav.ini"
[[ "$(launch)" == 1234 ]] || fail "launcher did not take /etc/qav/qav.ini"
printf '[Quorvanta]\nPlaceCode=5678\n' >"$work/etc/qav.ini"
[[ "$(launch)" == 5678 ]] || fail "launcher kept the place code of an earlier /etc/qav/qav.ini"
mkdir -p "$work/home/.config/qav"
printf '[Quorvanta]\nPlaceCode=42\n' >"$work/home/.config/qav/qav.ini"
[[ "$(launch)" == 42 ]] || fail "launcher did not prefer the user's own qav.ini"

echo "== Packaged server: serve, sign in, verify, SIGTERM"
db="$work/qav.db"
printf 'db=%s\nbind=127.0.0.1\nport=0\n' "$db" >"$work/qav-server.conf"
"$tree/usr/bin/qav-server" init-db --config "$work/qav-server.conf" >/dev/null
"$tree/usr/bin/qav-server" seed-demo --config "$work/qav-server.conf" >/dev/null
"$tree/usr/bin/qav-server" serve --config "$work/qav-server.conf" 2>"$work/serve.log" &
server_pid=$!
port=""
for _ in $(seq 1 100); do
  port=$(grep -oP 'listening on http://127\.0\.0\.1:\K[0-9]+' "$work/serve.log" || true)
  [[ -n "$port" ]] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/serve.log" >&2; fail "server did not start"; }
  sleep 0.1
done
[[ -n "$port" ]] || fail "server did not say where it listens"
url="http://127.0.0.1:$port/rds/Velmor.member/Query"
signin=$(curl -sS -H "X-QAV-Client: station" --data "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','gate01'" "$url")
key=$(grep -oP '"([A-Za-z0-9_-]{20,})"\]\]' <<<"$signin" | tr -d '"]')
[[ -n "$key" ]] || fail "no session key in $signin"
answer=$(curl -sS -H "X-QAV-Client: station" -H "Authorization: Bearer $key" -H "Idempotency-Key: $(cat /proc/sys/kernel/random/uuid)" \
  --data "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','GRVM0001','','10000001','gate01'" "$url")
[[ "$answer" == *'"0","입장 확인"'* ]] || fail "verification answered $answer"
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[[ $status -eq 0 ]] || { cat "$work/serve.log" >&2; fail "server exited $status on SIGTERM"; }
grep -q SIGTERM "$work/serve.log" || { cat "$work/serve.log" >&2; fail "no log line for SIGTERM"; }
echo "packages OK: $(basename "$station") $(basename "$server")"
