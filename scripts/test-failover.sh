#!/usr/bin/env bash
# A failover pair of PostgreSQL run by pg_auto_failover (a monitor and two nodes on loopback ports,
# made as docs/failover.md makes them on three machines), two qav-server processes on it through the
# database URL's host list, and gates scanning through both all along: the primary's postmaster is
# killed with kill -9 (its keeper starts it again), then a switchover is asked of the engine.
# Asserts that no ticket is admitted twice, that every acknowledged admission is still there, and
# that a scan sent again with its replay key never hears "already inside" for itself; prints each
# event's longest wait of a gate and, after the switchover, the time from the new primary taking
# writes to the first served gate.
# Usage: scripts/test-failover.sh [build folder, default build]. Runs as root (the nodes as the
# postgres user) or as a user who may run PostgreSQL.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bin="$build/server/qav-server"
[[ -x "$bin" ]] || { echo "test-failover: $bin not built" >&2; exit 1; }
command -v pg_autoctl >/dev/null || { echo "test-failover: pg_autoctl is not installed (scripts/setup.sh --test)" >&2; exit 1; }
pgbin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
PATH="$PATH:$pgbin"

work=$(mktemp -d /tmp/qav-failover.XXXXXX)
chmod 755 "$work"
as_owner() {
  if [[ $(id -u) == 0 ]]; then
    runuser -u postgres -- env XDG_CONFIG_HOME="$work/pg/config" XDG_DATA_HOME="$work/pg/data" "$@"
  else
    env XDG_CONFIG_HOME="$work/pg/config" XDG_DATA_HOME="$work/pg/data" "$@"
  fi
}
mkdir -p "$work/pg"
[[ $(id -u) == 0 ]] && chown postgres "$work/pg"
pids=()
gates=()
cleanup() {
  for pid in "${gates[@]}" "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for node in n1 n2 monitor; do
    [[ -d "$work/pg/$node" ]] && as_owner pg_autoctl stop --pgdata "$work/pg/$node" --immediate >/dev/null 2>&1 || true
  done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "test-failover: FAIL: $*" >&2
  for log in "$work"/*.log "$work"/pg/*.log; do [[ -f "$log" ]] && { echo "--- $log" >&2; tail -n 8 "$log" >&2; }; done
  exit 1
}
free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && ! [[ " ${used:-} " == *" $p "* ]]; then
      used="${used:-} $p"
      echo "$p"
      return
    fi
  done
  return 1
}
now_ms() { date +%s%3N; }

# The engine: a monitor and two nodes, each kept by its own pg_autoctl.
mport=$(free_port)
p1=$(free_port)
p2=$(free_port)
common=(--hostname 127.0.0.1 --auth trust --no-ssl --pgctl "$pgbin/pg_ctl")
as_owner pg_autoctl create monitor --pgdata "$work/pg/monitor" --pgport "$mport" "${common[@]}" \
  >"$work/pg/create-monitor.log" 2>&1 || fail "the monitor was not made"
start_keeper() { # node
  as_owner setsid pg_autoctl run --pgdata "$work/pg/$1" >"$work/pg/$1.log" 2>&1 &
  pids+=($!)
}
start_keeper monitor
monitor=""
for _ in $(seq 50); do
  monitor=$(as_owner pg_autoctl show uri --pgdata "$work/pg/monitor" --formation monitor 2>/dev/null) && break
  sleep 0.2
done
[[ -n "$monitor" ]] || fail "the monitor did not start"
for n in 1 2; do
  port_var="p$n"
  as_owner pg_autoctl create postgres --pgdata "$work/pg/n$n" --pgport "${!port_var}" --name "n$n" \
    --dbname qav --monitor "$monitor" "${common[@]}" >"$work/pg/create-n$n.log" 2>&1 ||
    fail "node n$n was not made"
  start_keeper "n$n"
done
state() { as_owner pg_autoctl show state --pgdata "$work/pg/monitor" 2>/dev/null || true; }
settled() {
  local s
  s=$(state)
  grep -Eq '\| +primary +\| +primary *$' <<<"$s" && grep -Eq '\| +secondary +\| +secondary *$' <<<"$s"
}
for _ in $(seq 120); do settled && break; sleep 0.5; done
settled || fail "the pair did not settle: $(state)"
primary_port() { state | sed -nE 's/.*127\.0\.0\.1:([0-9]+) .*\| +primary +\| +primary *$/\1/p'; }
first=$(primary_port)
[[ "$(psql -qtA -h 127.0.0.1 -p "$first" -U postgres -d qav -c 'SHOW synchronous_standby_names')" != "" ]] ||
  fail "the primary does not wait for its standby's commit"
echo "test-failover: pg_auto_failover pair ready, primary on $first, synchronous standby"

url="postgresql://postgres@127.0.0.1:$p1,127.0.0.1:$p2/qav?connect_timeout=2"
"$bin" init-db --db "$url" >/dev/null
"$bin" seed-demo --db "$url" >/dev/null
{
  echo "bizcode,ticket_no,cust_name"
  for t in $(seq 20000001 20004000); do echo "GRVM0001,$t,관객$t"; done
} >"$work/bookings.csv"
"$bin" import-bookings "$work/bookings.csv" --db "$url" >/dev/null

ports=()
for i in 1 2; do
  "$bin" serve --db "$url" -p 0 --quiet 2>"$work/qav$i.log" &
  pids+=($!)
  port=""
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on http:\/\/[^ ]*:\([0-9]*\) database.*/\1/p' "$work/qav$i.log")
    [[ -n "$port" ]] && break
    sleep 0.1
  done
  [[ -n "$port" ]] || fail "qav$i did not start"
  ports+=("$port")
done

# A gate: signs in on its server, then scans its own tickets one after another; a scan not
# answered is sent again with its replay key until it is. Each line of its record: the ticket,
# the answer's ErrCode, and when it was answered (ms).
gate() { # number server-port first-ticket
  local n=$1 port=$2 ticket=$3 key="" answer code
  query() { curl -s --max-time 3 "http://127.0.0.1:$port/rds/Velmor.member/Query" -H 'X-QAV-Client: station' \
    ${key:+-H "Authorization: Bearer $key"} ${2:+-H "Idempotency-Key: $2"} --data-binary "$1" || true; }
  errcode() { sed -n 's/.*"rows":\[\["\([^"]*\)".*/\1/p'; }
  for _ in $(seq 100); do
    answer=$(query "Exec Proc_GRVM_Admin_GetAdminQAV_LoginInfo 'gate0$n','gate0$n'")
    [[ "$(errcode <<<"$answer")" == 0 ]] && break
    sleep 0.2
  done
  key=$(sed -n 's/.*,"\([^"]*\)"\]\]}$/\1/p' <<<"$answer")
  [[ -n "$key" ]] || { echo "no-sign-in" >"$work/gate$n.out"; return; }
  while [[ ! -e "$work/stop" ]]; do
    code=""
    while [[ -z "$code" && ! -e "$work/stop" ]]; do
      code=$(query "Exec Proc_GRVM_Admin_GetAdminQAV_BookingInfo 'I','GRVM0001','','$ticket', 'gate0$n'" \
        "gate0$n-$ticket" | errcode)
      [[ -n "$code" ]] || sleep 0.05
    done
    [[ -n "$code" ]] && echo "$ticket $code $(now_ms)" >>"$work/gate$n.out"
    ticket=$((ticket + 1))
    sleep 0.02
  done
}
gate 1 "${ports[0]}" 20000001 &
gates+=($!)
gate 2 "${ports[1]}" 20002001 &
gates+=($!)

# The longest a gate waited for an answer from event to event, in ms.
longest_wait() { # from-ms
  cat "$work"/gate*.out 2>/dev/null | awk -v from="$1" '$3 >= from {print $3}' | sort -n |
    awk 'NR > 1 && $1 - last > gap {gap = $1 - last} {last = $1} END {print gap + 0}'
}
served_since() { # ms
  cat "$work"/gate*.out 2>/dev/null | awk -v from="$1" '$3 >= from' | wc -l
}
sleep 3
[[ $(served_since 0) -gt 10 ]] || fail "the gates are not being served"

# 1. The primary's postmaster dies; its keeper starts it again.
t0=$(now_ms)
node=n1
[[ "$first" == "$p2" ]] && node=n2
kill -9 "$(head -n 1 "$work/pg/$node/postmaster.pid")"
for _ in $(seq 300); do
  [[ $(served_since $((t0 + 500))) -gt 5 ]] && break
  sleep 0.1
done
[[ $(served_since $((t0 + 500))) -gt 5 ]] || fail "the gates were not served again after the postmaster died"
echo "test-failover: postmaster killed: the gates' longest wait $(longest_wait "$t0") ms"

# 2. A switchover asked of the engine: the standby becomes the primary. (The monitor may have
# failed over already when the postmaster died: the primary is read again.)
for _ in $(seq 120); do settled && break; sleep 0.5; done
settled || fail "the pair did not settle again after the postmaster died: $(state)"
first=$(primary_port)
t1=$(now_ms)
as_owner pg_autoctl perform switchover --pgdata "$work/pg/monitor" >"$work/pg/switchover.log" 2>&1 ||
  fail "the switchover failed"
second=""
for _ in $(seq 200); do
  second=$(primary_port)
  [[ -n "$second" && "$second" != "$first" ]] &&
    [[ "$(psql -qtA -h 127.0.0.1 -p "$second" -U postgres -d qav -c 'SELECT pg_is_in_recovery()' 2>/dev/null)" == f ]] && break
  second=""
  sleep 0.05
done
[[ -n "$second" ]] || fail "no new primary after the switchover: $(state)"
writable=$(now_ms)
for _ in $(seq 300); do
  [[ $(served_since "$writable") -gt 0 ]] && break
  sleep 0.05
done
[[ $(served_since "$writable") -gt 0 ]] || fail "no gate served after the new primary took writes"
firstserved=$(cat "$work"/gate*.out | awk -v from="$writable" '$3 >= from {print $3}' | sort -n | head -n 1)
echo "test-failover: switchover to $second: the gates' longest wait $(longest_wait "$t1") ms;" \
  "first gate served $((firstserved - writable)) ms after the new primary took writes"
sleep 2
touch "$work/stop"
wait "${gates[@]}" 2>/dev/null || true
gates=()

grep -q no-sign-in "$work"/gate*.out && fail "a gate could not sign in"
acknowledged=$(awk '$2 == "0"' "$work"/gate*.out | wc -l)
[[ $(awk '$2 != "0"' "$work"/gate*.out | wc -l) == 0 ]] ||
  fail "scans answered other than admitted (own scan heard as already inside?): $(awk '$2 != "0"' "$work"/gate*.out | head -n 3)"
twice=$(psql -qtA "$url&target_session_attrs=read-write" -c "SELECT count(*) FROM (SELECT ticket_raw
  FROM scan_log WHERE kind = 'scan' AND result_code = '0' GROUP BY ticket_raw HAVING count(*) > 1) t")
[[ "$twice" == 0 ]] || fail "$twice tickets admitted twice"
awk '$2 == "0" {print $1}' "$work"/gate*.out | sort >"$work/acknowledged"
psql -qtA "$url&target_session_attrs=read-write" -c "SELECT ticket_raw FROM scan_log WHERE kind = 'scan'
  AND result_code = '0' AND ticket_raw >= '20000001'" | sort >"$work/recorded"
missing=$(comm -23 "$work/acknowledged" "$work/recorded" | wc -l)
[[ "$missing" == 0 ]] || fail "$missing acknowledged admissions are not in the database"
echo "test-failover: $acknowledged admissions acknowledged to the gates, all kept, none twice"
