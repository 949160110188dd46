#!/usr/bin/env bash
# Builds the qav and qav-server Debian packages from the release build (build/) and checks them:
# control fields and contents, lintian (errors fail, warnings pass), the service unit, the menu
# entry, and the packaged programs run from an extracted tree: --version, serve on a free port,
# one sign-in and one verification, and SIGTERM ending the server with exit code 0 and a log line.
set -euo pipefail
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
check_field "$server" Depends libsodium23 libqt6sql6-sqlite libqt6sql6-psql libqt6network6
dpkg-deb -I "$server" conffiles | grep -qx /etc/qav/qav-server.conf || fail "qav-server.conf is not a conffile"
check_contents() { # deb path...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
  for path in "$@"; do
    grep -qx "./$path" <<<"$listing" || fail "$(basename "$deb") lacks $path"
  done
}
check_contents "$station" usr/bin/qav usr/bin/qav-station usr/share/qav/qav.ini usr/share/qav/runtime/ok.wav \
  usr/share/qav/runtime/btn3on.jpg usr/share/applications/qav.desktop usr/share/icons/hicolor/64x64/apps/qav.png
check_contents "$server" usr/bin/qav-server etc/qav/qav-server.conf lib/systemd/system/qav-server.service

echo "== lintian"
lintian --tag-display-limit 0 "$station" "$server" >"$work/lintian.log" 2>&1 || true
grep -v 'root privileges' "$work/lintian.log" || true
if grep -q '^E:' "$work/lintian.log"; then fail "lintian reports errors"; fi

echo "== Extracted tree"
tree="$work/tree"
dpkg-deb -x "$station" "$tree"
dpkg-deb -x "$server" "$tree"
desktop-file-validate "$tree/usr/share/applications/qav.desktop"
# The unit names the installed path; verify it against the extracted program.
sed "s#/usr/bin/qav-server#$tree/usr/bin/qav-server#g" "$tree/lib/systemd/system/qav-server.service" \
  >"$work/qav-server.service"
systemd-analyze verify "$work/qav-server.service"
systemd-analyze security --offline=yes "$work/qav-server.service" 2>/dev/null | tail -n 1

version=$(grep -oP 'project\(QAV VERSION \K[0-9.]+' "$root/CMakeLists.txt")
[[ "$("$tree/usr/bin/qav" --version)" == "qav $version" ]] || fail "qav --version"
[[ "$("$tree/usr/bin/qav-server" --version)" == "qav-server $version" ]] || fail "qav-server --version"

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
