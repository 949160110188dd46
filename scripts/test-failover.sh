#!/usr/bin/env bash
# A failover pair of PostgreSQL run by pg_auto_failover (a monitor and two nodes on loopback ports,
# made as docs/failover.md makes them on three machines), two qav-server processes on it through the
# database URL's host list, and gates scanning through both all along: the primary's postmaster is
# killed with kill -9 (its keeper starts it again), then a switchover is asked of the engine, then
# the primary's host vanishes as in a power cut (every process of the node stopped with SIGSTOP:
# its connections stay open and nothing answers) until the monitor's own time-outs fail it over;
# brought back, it must rejoin as the standby without a server ever writing to it.
# Asserts that no ticket is admitted twice, that every acknowledged admission is still there, and
# that a scan sent again with its replay key never hears "already inside" for itself; prints each
# event's longest wait of a gate and, after the switchover and the vanished host, the time from the
# new primary taking writes to the first served gate (at most 2 s after the vanished host).
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
# shellcheck source=scripts/lib/failover.sh
source "$root/scripts/lib/failover.sh"
# shellcheck source=scripts/lib/qavserver.sh
source "$root/scripts/lib/qavserver.sh"

work=$(mktemp -d /tmp/qav-failover.XXXXXX)
chmod 755 "$work"
pgaf_dir="$work/pg"
pids=()
gates=()
cleanup() {
  for pid in "${gates[@]}" "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  pgaf_down
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "test-failover: FAIL: $*" >&2
  for log in "$work"/*.log "$work"/pg/*.log; do [[ -f "$log" ]] && { echo "--- $log" >&2; tail -n 8 "$log" >&2; }; done
  exit 1
}
now_ms() { date +%s%3N; }

# The engine: a monitor and two nodes, each kept by its own pg_autoctl.
pgaf_up 2>"$work/failover.log" || fail "$(cat "$work/failover.log")"
p1=$pgaf_p1
p2=$pgaf_p2
first=$(pgaf_primary_port)
echo "test-failover: pg_auto_failover pair ready, primary on $first, synchronous standby"

# application_name tells the servers' sessions from the engine's own on a node.
url="$pgaf_url&application_name=qav-server"
"$bin" init-db --db "$url" >/dev/null
"$bin" seed-demo --db "$url" >/dev/null
{
  echo "bizcode,ticket_no,cust_name"
  for t in $(seq 20000001 20004000); do echo "GRVM0001,$t,관객$t"; done
} >"$work/bookings.csv"
"$bin" import-bookings "$work/bookings.csv" --db "$url" >/dev/null

ports=()
for i in 1 2; do
  started=0
  qav_serve "$work/qav$i.log" "$bin" serve --db "$url" -p 0 --quiet && started=1
  pids+=("$qav_pid")
  ((started)) || fail "qav$i did not start"
  ports+=("$qav_port")
done

# A gate: signs in on its server, then scans its own tickets one after another; a scan not
# answered is sent again with its replay key until it is. Each line of its record: the ticket,
# the answer's ErrCode, and when it was answered (ms).
gate() { # number server-port first-ticket
  local n=$1 port=$2 ticket=$3 key="" answer code
  # The station's 5 s wait; a request not answered within it (not even busy) is noted.
  query() { curl -s --max-time 5 "http://127.0.0.1:$port/rds/Velmor.member/Query" -H 'X-QAV-Client: station' \
    ${key:+-H "Authorization: Bearer $key"} ${2:+-H "Idempotency-Key: $2"} --data-binary "$1" ||
    now_ms >>"$work/gate$n.unanswered"; }
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
for _ in $(seq 150); do
  [[ $(served_since 0) -gt 10 ]] && break
  sleep 0.1
done
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
for _ in $(seq 120); do pgaf_settled && break; sleep 0.5; done
pgaf_settled || fail "the pair did not settle again after the postmaster died: $(pgaf_state)"
first=$(pgaf_primary_port)
t1=$(now_ms)
# The monitor now and then refuses one while it settles its own locks (a deadlock it reports): asked
# again after a moment.
asked=0
for _ in 1 2 3; do
  pgaf_as_owner pg_autoctl perform switchover --pgdata "$work/pg/monitor" >>"$work/pg/switchover.log" 2>&1 &&
    { asked=1; break; }
  sleep 2
  pgaf_wait_settled || true
done
((asked)) || fail "the switchover failed"
second=""
for _ in $(seq 200); do
  second=$(pgaf_primary_port)
  [[ -n "$second" && "$second" != "$first" ]] &&
    [[ "$(psql -qtA -h 127.0.0.1 -p "$second" -U postgres -d qav -c 'SELECT pg_is_in_recovery()' 2>/dev/null)" == f ]] && break
  second=""
  sleep 0.05
done
[[ -n "$second" ]] || fail "no new primary after the switchover: $(pgaf_state)"
writable=$(now_ms)
for _ in $(seq 300); do
  [[ $(served_since "$writable") -gt 0 ]] && break
  sleep 0.05
done
[[ $(served_since "$writable") -gt 0 ]] || fail "no gate served after the new primary took writes"
firstserved=$(cat "$work"/gate*.out | awk -v from="$writable" '$3 >= from {print $3}' | sort -n | head -n 1)
echo "test-failover: switchover to $second: the gates' longest wait $(longest_wait "$t1") ms;" \
  "first gate served $((firstserved - writable)) ms after the new primary took writes"

# 3. The primary's host vanishes: every process of the node stops at once, its connections stay
# open and nothing answers, not even the monitor's health checks. The monitor fails over on its
# own time-outs (docs/failover.md); meanwhile the gates hear busy, never wait out their 5 s, and
# are served again within 2 s of the new primary taking writes, while the old one is still away.
pgaf_wait_settled || fail "the pair did not settle after the switchover: $(pgaf_state)"
first=$(pgaf_primary_port)
node=$(pgaf_node_of_port "$first")
other=$p1
[[ "$first" == "$p1" ]] && other=$p2
t2=$(now_ms)
pgaf_freeze "$node"
writable=""
for _ in $(seq 1200); do
  asked=$(now_ms)
  pgaf_takes_writes "$other" && { writable=$asked; break; }
  sleep 0.05
done
[[ -n "$writable" ]] || fail "the monitor did not fail over from the vanished host: $(pgaf_state)"
for _ in $(seq 100); do
  [[ $(served_since "$writable") -gt 0 ]] && break
  sleep 0.05
done
firstserved=$(cat "$work"/gate*.out | awk -v from="$writable" '$3 >= from {print $3}' | sort -n | head -n 1)
[[ -n "$firstserved" && $((firstserved - writable)) -le 2000 ]] ||
  fail "no gate served within 2 s of the new primary taking writes, $((writable - t2)) ms after the host" \
    "vanished (first served at ${firstserved:-none}, writable at $writable; frozen: $(cat "$pgaf_dir/$node.frozen"))"
echo "test-failover: host of $first vanished: failed over to $other after $((writable - t2)) ms;" \
  "the gates' longest wait $(longest_wait "$t2") ms; first gate served $((firstserved - writable)) ms" \
  "after the new primary took writes"

# The host comes back: its keeper finds the pair failed over and makes it the standby. Until
# then it still believes itself the primary: no server may use it.
thawed=$(now_ms)
pgaf_thaw "$node"
written=""
rows=$(psql -qtA -h 127.0.0.1 -p "$first" -U postgres -d qav -c 'SELECT max(id) FROM scan_log' 2>/dev/null || true)
for _ in $(seq 2400); do
  seen=$(psql -qtA -F ' ' -h 127.0.0.1 -p "$first" -U postgres -d qav -c "SELECT pg_is_in_recovery(),
    (SELECT max(id) FROM scan_log), (SELECT count(*) FROM pg_stat_activity WHERE
    application_name = 'qav-server' AND state <> 'idle')" 2>/dev/null || true)
  [[ "$seen" == t* ]] && pgaf_settled && break
  [[ "$seen" == f* ]] && { [[ -n "$rows" && "$(cut -d' ' -f2 <<<"$seen")" != "$rows" ]] ||
    [[ "$(cut -d' ' -f3 <<<"$seen")" != 0 ]]; } && written="$seen"
  sleep 0.05
done
[[ -z "$written" ]] || fail "a server used the old primary after it came back (in recovery, last row, busy sessions: $written)"
if ! pgaf_settled || [[ "$(pgaf_in_recovery "$first")" != t ]]; then
  fail "the vanished host did not rejoin as the standby: $(pgaf_state)"
fi
sessions=$(psql -qtA -h 127.0.0.1 -p "$first" -U postgres -d qav -c "SELECT count(*) FROM pg_stat_activity
  WHERE application_name = 'qav-server'")
[[ "$sessions" == 0 ]] || fail "$sessions server sessions on the standby"
echo "test-failover: the vanished host rejoined as the standby $(($(now_ms) - thawed)) ms after it came back," \
  "never written to"
sleep 2
touch "$work/stop"
wait "${gates[@]}" 2>/dev/null || true
gates=()

grep -q no-sign-in "$work"/gate*.out && fail "a gate could not sign in"
unanswered=$( (cat "$work"/gate*.unanswered 2>/dev/null || true) | wc -l)
[[ "$unanswered" == 0 ]] || fail "$unanswered requests of the gates not answered within the station's 5 s wait"
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
