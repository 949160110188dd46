#!/usr/bin/env bash
# Three qav-server processes on one PostgreSQL database behind HAProxy, configured by
# docs/examples/haproxy.cfg with its addresses changed to loopback ports: a station's sign-in and
# scans go through it to every server, each recorded with the station's own address; one server is killed in the middle, the next scans go to
# the others, the scan it had answered, sent again with its replay key, gets its first answer,
# and no ticket is admitted twice.
# Usage: scripts/test-haproxy.sh [build folder, default build]. Uses QAV_TEST_PG_URL when set,
# else starts a PostgreSQL cluster of its own.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
# shellcheck source=scripts/lib/qavserver.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib/qavserver.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bin="$build/server/qav-server"
[[ -x "$bin" ]] || { echo "test-haproxy: $bin not built" >&2; exit 1; }
command -v haproxy >/dev/null || { echo "test-haproxy: haproxy is not installed (scripts/setup.sh --test)" >&2; exit 1; }
command -v psql >/dev/null || PATH="$PATH:$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"

work=$(mktemp -d)
pids=()
db=""
own_pg=""
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  [[ -n "$db" ]] && psql -q "$QAV_TEST_PG_URL" -c "DROP DATABASE IF EXISTS $db WITH (FORCE)" >/dev/null 2>&1
  [[ -n "$own_pg" ]] && qav_stop_test_postgres
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "test-haproxy: FAIL: $*" >&2
  for log in "$work"/*.log; do echo "--- $log" >&2; tail -n 5 "$log" >&2; done
  exit 1
}

if [[ -z "${QAV_TEST_PG_URL:-}" ]]; then
  # shellcheck source=scripts/start-test-postgres.sh
  source "$root/scripts/start-test-postgres.sh"
  own_pg=1
fi
db="qav_haproxy_$$"
psql -q "$QAV_TEST_PG_URL" -c "CREATE DATABASE $db" >/dev/null
url="${QAV_TEST_PG_URL%/*}/$db"
"$bin" init-db --db "$url" >/dev/null
"$bin" seed-demo --db "$url" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=qav-server -days 2 \
  -addext "subjectAltName=DNS:qav-server,IP:127.0.0.1" \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null

# The servers, each on a free port it picks, told the proxy's address.
ports=()
for i in 1 2 3; do
  started=0
  qav_serve "$work/qav$i.log" "$bin" serve --db "$url" -p 0 --tls-cert "$work/cert.pem" \
    --tls-key "$work/key.pem" --proxy-from 127.0.0.1 && started=1
  pids+=("$qav_pid")
  ((started)) || fail "qav$i did not start"
  ports+=("$qav_port")
done

front=""
for _ in $(seq 20); do
  candidate=$((20000 + RANDOM % 20000))
  if ! (exec 3<>"/dev/tcp/127.0.0.1/$candidate") 2>/dev/null; then front=$candidate; break; fi
done
sed -e "s/^    bind :8470$/    bind 127.0.0.1:$front/" \
  -e "s/192\.168\.10\.11:8470/127.0.0.1:${ports[0]}/" \
  -e "s/192\.168\.10\.12:8470/127.0.0.1:${ports[1]}/" \
  -e "s/192\.168\.10\.13:8470/127.0.0.1:${ports[2]}/" \
  "$root/docs/examples/haproxy.cfg" >"$work/haproxy.cfg"
for p in "${ports[@]}"; do grep -q "127.0.0.1:$p" "$work/haproxy.cfg" || fail "the example's addresses changed"; done
haproxy -c -q -f "$work/haproxy.cfg" || fail "haproxy does not accept the example"
haproxy -db -f "$work/haproxy.cfg" >"$work/haproxy.log" 2>&1 &
pids+=($!)

query() { # command [replay key]: the answer's body, from a station at 127.0.0.2 through the proxy
  curl -sk --max-time 10 --interface 127.0.0.2 "https://127.0.0.1:$front/rds/Velmor.member/Query" -H 'X-QAV-Client: station' \
    ${key:+-H "Authorization: Bearer $key"} ${2:+-H "Idempotency-Key: $2"} --data-binary "$1" || true
}
scan() { query "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','GRVM0001','','$1', 'gate01'" "${2:-}"; }
errcode() { sed -n 's/.*"rows":\[\["\([^"]*\)".*/\1/p'; }
served() { grep -c "BookingInfo/I" "$work/qav$1.log" || true; }

key=""
victim=""
for _ in $(seq 50); do
  answer=$(query "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate01','gate01'")
  [[ "$(errcode <<<"$answer")" == 0 ]] && break
  sleep 0.1
done
key=$(sed -n 's/.*,"\([^"]*\)"\]\]}$/\1/p' <<<"$answer")
[[ -n "$key" ]] || fail "no sign-in through the proxy: $answer"

# Each scan is a new connection, as a station's after its server went away; the session made on
# one server is valid on all.
ticket=10000001
last=""
counts() { echo "$(served 1) $(served 2) $(served 3)"; }
for _ in $(seq 12); do
  last="key-$ticket"
  read -ra was <<<"$(counts)"
  [[ "$(scan $ticket "$last" | errcode)" == 0 ]] || fail "scan $ticket not admitted"
  read -ra now <<<"$(counts)"
  for i in 1 2 3; do if [[ ${now[$((i - 1))]} -gt ${was[$((i - 1))]} ]]; then victim=$i; fi; done
  ticket=$((ticket + 1))
done
for i in 1 2 3; do [[ $(served $i) -gt 0 ]] || fail "qav$i served no scan"; done
echo "test-haproxy: 12 scans through the proxy, served by the three: $(served 1) $(served 2) $(served 3)"

# The server that answered the last scan dies mid-shift.
{ kill -9 "${pids[$((victim - 1))]}" && wait "${pids[$((victim - 1))]}"; } 2>/dev/null || true
before=$(( $(served 1) + $(served 2) + $(served 3) - $(served $victim) ))
answer=$(scan $((ticket - 1)) "$last")
[[ "$(errcode <<<"$answer")" == 0 ]] || fail "the scan sent again to another server was not given its first answer: $answer"
for _ in $(seq 6); do
  [[ "$(scan $ticket "key-$ticket" | errcode)" == 0 ]] || fail "scan $ticket after qav$victim died not admitted"
  ticket=$((ticket + 1))
done
after=$(( $(served 1) + $(served 2) + $(served 3) - $(served $victim) ))
[[ $((after - before)) -eq 7 ]] || fail "the scans after qav$victim died were not all served by the others"
echo "test-haproxy: qav$victim killed; the next 7 scans served by the other two"

twice=$(psql -qtA "$url" -c "SELECT count(*) FROM (SELECT ticket_raw FROM scan_log WHERE kind = 'scan'
  AND result_code = '0' GROUP BY ticket_raw HAVING count(*) > 1) t")
admitted=$(psql -qtA "$url" -c "SELECT count(DISTINCT ticket_raw) FROM scan_log WHERE kind = 'scan'
  AND result_code = '0' AND ticket_raw BETWEEN '10000001' AND '$((ticket - 1))'")
[[ "$twice" == 0 ]] || fail "$twice tickets admitted twice"
[[ "$admitted" == $((ticket - 10000001)) ]] || fail "$admitted tickets admitted of $((ticket - 10000001))"
from=$(psql -qtA "$url" -c "SELECT string_agg(DISTINCT client_address, ' ') FROM scan_log
  WHERE ticket_raw BETWEEN '10000001' AND '$((ticket - 1))'")
[[ "$from" == 127.0.0.2 ]] || fail "the audit has the scans from '$from', not from the station's 127.0.0.2"
echo "test-haproxy: $admitted tickets admitted once each, none twice, all from the station's 127.0.0.2"
