#!/usr/bin/env bash
# Runs the Debian packages the way a venue does: in a booted Debian 12 container (systemd as PID 1,
# systemd-nspawn, its own network namespace), installs qav-server and qav with apt, and goes through
# a season: admin commands, operator and admin sign-ins over the package's default HTTPS with its
# venue CA trusted the system way, a verification, a restart, an upgrade over itself, plain HTTP,
# backup, restore after a kill -9, stop and purge. Every failure prints the service's journal.
# Needs root, debootstrap and systemd-container. Usage: scripts/test-systemd.sh [build folder]
# The Debian root is cached as /var/cache/qav-test/bookworm.tar (delete it to make it anew), the
# packages apt fetches in /var/cache/qav-test/archives; QAV_TEST_CACHE names another folder.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cache=${QAV_TEST_CACHE:-/var/cache/qav-test}
base=$cache/bookworm.tar
work=$(mktemp -d /var/tmp/qav-systemd.XXXXXX)
tree=$work/root
console=$work/console.log
nspawn_pid=""
leader=""

teardown() {
  local status=$?
  # A command that failed outside fail() ended the script: the journal tells why.
  [[ $status -ne 0 && ! -e "$work/journal-shown" ]] && journal
  if [[ -n "$nspawn_pid" ]] && kill -0 "$nspawn_pid" 2>/dev/null; then
    kill -TERM "$nspawn_pid" 2>/dev/null || true # the container powers off
    for _ in $(seq 1 100); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.2
    done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap teardown EXIT
[[ $(id -u) -eq 0 ]] || { echo "test-systemd: needs root (debootstrap, systemd-nspawn)" >&2; exit 1; }

# Runs a command inside the booted container (no machined here, so through its PID 1's namespaces).
inside() {
  timeout 300 nsenter -t "$leader" -m -u -i -n -p -r -w \
    env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME=/root DEBIAN_FRONTEND=noninteractive "$@"
}
journal() {
  [[ -n "$leader" ]] || return 0
  touch "$work/journal-shown"
  echo "---- journal of qav-server" >&2
  inside journalctl --no-pager -n 60 -u qav-server -u qav-server-backup >&2 || true
}
fail() {
  echo "test-systemd: $*" >&2
  journal
  exit 1
}
step() { echo "== $*"; }
# Waits up to 20 s for a command inside to succeed.
wait_for() { # what command...
  local what=$1
  shift
  for _ in $(seq 1 100); do
    inside "$@" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  fail "timed out waiting for $what"
}

# The Debian archive this machine already uses, from the one-line form (sources.list, *.list) or
# the deb822 form (*.sources); a machine may have either alone.
mirror() {
  local files=() f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [[ -f "$f" ]] && files+=("$f")
  done
  ((${#files[@]})) || return 0
  {
    awk '$1 == "deb" { for (i = 2; i < NF; i++) if ($i ~ /:\/\// && $(i + 1) == "bookworm") print $i }' "${files[@]}"
    awk 'BEGIN { RS = "" } /(^|\n)Suites:[^\n]*bookworm( |\n|$)/ && !/(^|\n)Enabled: *no/ {
      if (match($0, /URIs:[ \t]*[^ \t\n]+/)) { u = substr($0, RSTART, RLENGTH); sub(/URIs:[ \t]*/, "", u); print u } }' "${files[@]}"
  } | { grep -v -- '-security' || true; } | head -n 1
}

if [[ ! -s "$base" ]]; then
  url=$(mirror)
  [[ -n "$url" ]] || fail "no Debian bookworm archive in /etc/apt/sources.list*"
  step "Debian 12 root from $url (cached in $base)"
  mkdir -p "$cache"
  timeout 1200 debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,apt,ca-certificates,curl,openssl \
    bookworm "$work/base" "$url" >"$work/debootstrap.log" 2>&1 || { tail -n 30 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
  tar -C "$work/base" -cf "$base.part" . && mv "$base.part" "$base"
  rm -rf "$work/base"
fi

step "Packages"
if ! ls "$build"/packages/qav-server_*.deb >/dev/null 2>&1; then
  (cd "$build" && cpack -B packages >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; fail "cpack failed"; }
fi
server_deb=$(ls "$build"/packages/qav-server_*.deb)
station_deb=$(ls "$build"/packages/qav_*.deb)
version=$(dpkg-deb -f "$server_deb" Version)
# The same package with a higher version, for the upgrade.
dpkg-deb -R "$server_deb" "$work/upgrade"
sed -i "s/^Version: .*/Version: $version+1/" "$work/upgrade/DEBIAN/control"
dpkg-deb -b "$work/upgrade" "$work/qav-server_upgrade.deb" >/dev/null

mkdir -p "$tree" "$cache/archives/partial"
tar -C "$tree" -xf "$base"
mkdir -p "$tree/root/debs"
cp "$server_deb" "$station_deb" "$tree/root/debs/"
cp "$work/qav-server_upgrade.deb" "$tree/root/debs/"
echo qav-venue >"$tree/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 qav-venue\n' >"$tree/etc/hosts"
nspawn=(systemd-nspawn -q -D "$tree" --register=no --keep-unit "--bind=$cache/archives:/var/cache/apt/archives")
# What the packages need comes from the archive now; the booted container has no network but its
# own loopback.
timeout 600 "${nspawn[@]}" --pipe sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends --download-only "$@"' \
  sh "/root/debs/$(basename "$server_deb")" "/root/debs/$(basename "$station_deb")" \
  >"$work/download.log" 2>&1 || { tail -n 30 "$work/download.log" >&2; fail "apt could not fetch what the packages need"; }

step "Boot"
"${nspawn[@]}" -b --private-network --console=passive -M qav-test >"$console" 2>&1 &
nspawn_pid=$!
# The container's PID 1 is the child of systemd-nspawn that runs systemd (the first child may be
# a helper that is about to end).
for _ in $(seq 1 150); do
  leader=""
  for child in $(cat /proc/"$nspawn_pid"/task/*/children 2>/dev/null); do
    [[ "$(cat /proc/"$child"/comm 2>/dev/null)" == systemd ]] && leader=$child
  done
  [[ -n "$leader" ]] && break
  kill -0 "$nspawn_pid" 2>/dev/null || { cat "$console" >&2; fail "systemd-nspawn ended"; }
  sleep 0.2
done
[[ -n "$leader" ]] || fail "the container did not start"
state=""
for _ in $(seq 1 150); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  [[ "$state" == running || "$state" == degraded ]] && break
  sleep 0.2
done
[[ "$state" == running || "$state" == degraded ]] || { cat "$console" >&2; fail "the container did not boot ($state)"; }

step "Install with apt"
inside apt-get install -y -qq --no-install-recommends "/root/debs/$(basename "$server_deb")" "/root/debs/$(basename "$station_deb")" \
  >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "apt install failed"; }
[[ "$(inside systemctl is-enabled qav-server)" == enabled ]] || fail "qav-server.service is not enabled on install"
[[ "$(inside systemctl is-enabled qav-server-backup.timer)" == disabled ]] || fail "the backup timer is not shipped disabled"
wait_for "qav-server to listen" curl -s -o /dev/null -k https://127.0.0.1:8470/
stat_of() { inside stat -c '%a %U' "$1"; }
[[ "$(stat_of /etc/qav/private/server.key)" == "600 root" ]] || fail "server key: $(stat_of /etc/qav/private/server.key)"
[[ "$(stat_of /etc/qav/tls/venue-ca.crt)" == "644 root" ]] || fail "venue CA: $(stat_of /etc/qav/tls/venue-ca.crt)"
[[ "$(stat_of /var/backups/qav)" == "700 root" ]] || fail "backup folder: $(stat_of /var/backups/qav)"

step "Season set up with the admin commands"
conf=(--config /etc/qav/qav-server.conf)
admin() { inside qav-server "$@" "${conf[@]}" >>"$work/admin.log" 2>&1 || { cat "$work/admin.log" >&2; fail "qav-server $*"; }; }
admin_in() { # stdin-text command...
  local text=$1
  shift
  printf '%s\n' "$text" | inside qav-server "$@" "${conf[@]}" >>"$work/admin.log" 2>&1 || { cat "$work/admin.log" >&2; fail "qav-server $*"; }
}
admin add-venue 4100 "Hall Four"
admin add-performance SHOW0001 4100 "Evening show" 203001011900 "Main hall"
admin_in gatepass1 add-operator gate07 --venue 4100
admin_in bosspass1 add-admin boss07 --place-code 4100
cat >"$tree/root/bookings.csv" <<'EOF'
bizcode,ticket_no,cust_name,seat_grade,seat_info,cancelled
SHOW0001,30000001,Kim,R,A-1,0
SHOW0001,30000002,Lee,R,A-2,0
SHOW0001,30000003,Park,S,B-1,0
EOF
admin import-bookings /root/bookings.csv

step "Gate PC trusts the venue CA; sign-ins and a verification over HTTPS"
inside cp /etc/qav/tls/venue-ca.crt /usr/local/share/ca-certificates/qav-venue-ca.crt
inside update-ca-certificates >/dev/null 2>&1 || fail "update-ca-certificates"
inside sh -c 'echo "127.0.0.1 qav-server" >>/etc/hosts'
base_url=https://qav-server:8470
sign_in() {
  local answer key
  answer=$(inside curl -sS -m 20 -H "X-QAV-Client: station" --data "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate07','gatepass1'" \
    "$base_url/rds/Velmor.member/Query" 2>&1) || fail "operator sign-in at $base_url: $answer"
  key=$(grep -oP '"([A-Za-z0-9_-]{20,})"\]\]' <<<"$answer" | tr -d '"]' || true)
  [[ -n "$key" ]] || fail "no session key in $answer"
  echo "$key"
}
verify() { # ticket -> the answer
  inside curl -sS -m 20 -H "X-QAV-Client: station" -H "Authorization: Bearer $key" -H "Idempotency-Key: $(cat /proc/sys/kernel/random/uuid)" \
    --data "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','SHOW0001','','$1','gate07'" \
    "$base_url/rds/Velmor.member/Query" 2>&1 || true
}
admitted() { # ticket: yes when the database holds it as inside
  local shown
  shown=$(inside qav-server show-booking SHOW0001 "$1" "${conf[@]}" 2>&1) || fail "show-booking $1: $shown"
  grep -qE '^inside +yes' <<<"$shown"
}
inside openssl x509 -in /etc/qav/tls/server.crt -noout -ext subjectAltName | grep -q 'DNS:qav-venue' ||
  fail "the server certificate does not name the host"
inside curl -sS -m 20 -o /dev/null https://qav-venue:8470/ || fail "HTTPS by the host name"
key=$(sign_in)
inside systemctl is-active -q qav-server || fail "qav-server died at the first sign-in"
answer=$(verify 30000001)
[[ "$answer" == *'"0","입장 확인"'* ]] || fail "verification answered $answer"
cookies=/root/admin.cookies
answer=$(inside curl -sS -m 20 -c $cookies -H 'Content-Type: application/json' \
  --data '{"id":"boss07","password":"bosspass1"}' "$base_url/api/admin/sign-in" 2>&1) || fail "admin sign-in: $answer"
csrf=$(grep -oP '"csrfToken" *: *"\K[^"]+' <<<"$answer" || true)
[[ -n "$csrf" ]] || fail "admin sign-in answered $answer"
answer=$(inside curl -sS -m 20 -b $cookies -H "X-CSRF-Token: $csrf" "$base_url/api/performances" 2>&1) || fail "$answer"
[[ "$answer" == *SHOW0001* ]] || fail "the admin's performances: $answer"
# A pattern match on the request path, with MemoryDenyWriteExecute refusing the regex JIT memory.
answer=$(inside curl -sS -m 20 "$base_url/TicketImage/GRVM/logo_4100.jpg" 2>&1 || true)
[[ "$answer" == *"로고가 없습니다"* ]] || fail "logo path answered $answer"
health=$(inside curl -s -o /dev/null -w '%{http_code}' -m 20 "$base_url/healthz" || true)
[[ "$health" == 200 || "$health" == 404 ]] || fail "GET /healthz answered $health"

step "Restart keeps the admission; a sign-in still works where the priority calls are refused"
# Without the unit's allowance for the password checks' priority calls: they fail with EPERM.
inside mkdir -p /etc/systemd/system/qav-server.service.d
printf '[Service]\nSystemCallFilter=\nSystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\n' \
  >"$tree/etc/systemd/system/qav-server.service.d/refuse-priority.conf"
inside systemctl daemon-reload
inside systemctl restart qav-server
wait_for "qav-server to listen again" curl -s -o /dev/null "$base_url/"
key=$(sign_in)
answer=$(verify 30000001)
[[ "$answer" != *'"0","입장 확인"'* && "$answer" == *rows* ]] || fail "after the restart a second entry answered $answer"
admitted 30000001 || fail "ticket 30000001 is no longer inside after the restart"
# The journal files the checker's line a moment after the sign-in that started the checker.
wait_for "a log line for the refused priority call" \
  sh -c 'journalctl -u qav-server --no-pager | grep -q "password checks keep their normal priority"'
rm "$tree/etc/systemd/system/qav-server.service.d/refuse-priority.conf" # the upgrade reloads

step "Upgrade over itself: service restarted, changed conffile kept"
inside sed -i 's/^port=8470$/port=8471/' /etc/qav/qav-server.conf
pid_before=$(inside systemctl show -p MainPID --value qav-server)
inside apt-get install -y -qq /root/debs/qav-server_upgrade.deb >"$work/upgrade.log" 2>&1 ||
  { cat "$work/upgrade.log" >&2; fail "upgrade failed"; }
inside grep -qx port=8471 /etc/qav/qav-server.conf || fail "the upgrade replaced the changed qav-server.conf"
base_url=https://qav-server:8471
wait_for "qav-server on the changed port" curl -s -o /dev/null "$base_url/"
[[ "$(inside systemctl show -p MainPID --value qav-server)" != "$pid_before" ]] || fail "the upgrade did not restart qav-server"
[[ "$(inside dpkg-query -W -f='${Version}' qav-server)" == "$version+1" ]] || fail "not upgraded"

step "Plain HTTP when the conf says so"
inside sed -i 's/^tls-/#tls-/' /etc/qav/qav-server.conf
inside systemctl restart qav-server
base_url=http://127.0.0.1:8471
wait_for "qav-server over HTTP" curl -s -o /dev/null "$base_url/"
key=$(sign_in)
answer=$(verify 30000002)
[[ "$answer" == *'"0","입장 확인"'* ]] || fail "verification over HTTP answered $answer"

step "Backup, by command and by the timer's service"
copy=$(inside qav-server backup "${conf[@]}" 2>&1) || fail "backup: $copy"
copy=$(tail -n 1 <<<"$copy" | grep -oE '/var/backups/qav/qav-[0-9-]+\.db' || true)
[[ -n "$copy" ]] && inside test -s "$copy" || fail "backup printed no file in /var/backups/qav"
inside systemctl start qav-server-backup.service || fail "qav-server-backup.service failed"
inside systemctl enable -q --now qav-server-backup.timer || fail "the backup timer does not start"
[[ "$(inside systemctl show -p Result --value qav-server-backup.service)" == success ]] || fail "backup service result"

step "Restore brings back exactly the backup's admissions"
answer=$(verify 30000003)
[[ "$answer" == *'"0","입장 확인"'* ]] || fail "verification answered $answer"
restore=$(inside qav-server restore --from "$copy" "${conf[@]}" 2>&1) && fail "restore while the server serves: $restore"
# Killed, as by a crash, so the newer admission may be left in the -wal file; stopped before
# systemd restarts it.
inside systemctl kill -s KILL qav-server
inside systemctl stop qav-server
restore=$(inside qav-server restore --from "$copy" "${conf[@]}" 2>&1) || fail "restore: $restore"
inside systemctl start qav-server
wait_for "qav-server after the restore" curl -s -o /dev/null "$base_url/"
admitted 30000001 && admitted 30000002 || fail "the restored database lost admissions of the backup"
admitted 30000003 && fail "the restored database holds an admission made after the backup"
key=$(sign_in)
answer=$(verify 30000003)
[[ "$answer" == *'"0","입장 확인"'* ]] || fail "the restored database cannot admit: $answer"

step "Stop"
inside systemctl stop qav-server
[[ "$(inside systemctl show -p Result --value qav-server)" == success ]] ||
  fail "stop: Result=$(inside systemctl show -p Result --value qav-server)"

step "Purge"
inside systemctl start qav-server
inside apt-get purge -y -qq qav-server >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "purge failed"; }
inside sh -c 'grep -qx qav-server /proc/[0-9]*/comm' 2>/dev/null && fail "qav-server still runs after purge"
inside test -e /etc/qav/private/server.key && fail "purge left the generated key"
inside test -e /etc/qav/tls/venue-ca.crt && fail "purge left the generated CA"
inside test -e /etc/systemd/system/multi-user.target.wants/qav-server.service && fail "purge left the enable link"
inside test -e /etc/systemd/system/timers.target.wants/qav-server-backup.timer && fail "purge left the timer's link"
inside test -e /var/lib/private/qav/qav.db || fail "purge removed the database"
grep -q "keeps /var/lib/private/qav" "$work/purge.log" || { cat "$work/purge.log" >&2; fail "purge does not say what it keeps"; }

echo "systemd OK: $(basename "$server_deb") $(basename "$station_deb") in a booted Debian 12"
