#!/usr/bin/env bash
# A pg_auto_failover formation on loopback ports, made as docs/failover.md makes it on three
# machines: a monitor and two nodes (n1, n2), each kept by its own pg_autoctl, run as the postgres
# user when we are root. Sourced by scripts/test-failover.sh; run as a command by bench_server:
#   scripts/lib/failover.sh up DIR     makes and starts it in DIR, prints url=, primary= and the
#                                      nodes' ports (n1=, n2=), and leaves it running
#   scripts/lib/failover.sh failover DIR   asks the monitor to fail the pair over and waits until
#                                      the new primary takes writes
#   scripts/lib/failover.sh down DIR   stops it
# The functions take the formation's folder in $pgaf_dir.

pgaf_example="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/docs/examples/pg_auto_failover.sh"
pgaf_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[[ -n "$pgaf_bin" && ":$PATH:" != *":$pgaf_bin:"* ]] && PATH="$PATH:$pgaf_bin"

pgaf_as_owner() {
  if [[ $(id -u) == 0 ]]; then
    runuser -u postgres -- env XDG_CONFIG_HOME="$pgaf_dir/config" XDG_DATA_HOME="$pgaf_dir/data" "$@"
  else
    env XDG_CONFIG_HOME="$pgaf_dir/config" XDG_DATA_HOME="$pgaf_dir/data" "$@"
  fi
}
pgaf_free_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 20000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null && ! [[ " ${pgaf_used:-} " == *" $p "* ]]; then
      pgaf_used="${pgaf_used:-} $p"
      echo "$p"
      return
    fi
  done
  return 1
}
# Starts a node's keeper in a session of its own; "node pid" goes to $pgaf_dir/pids.
pgaf_start_keeper() { # node
  pgaf_as_owner setsid pg_autoctl run --pgdata "$pgaf_dir/$1" >>"$pgaf_dir/$1.log" 2>&1 </dev/null &
  echo "$1 $!" >>"$pgaf_dir/pids"
}
# Every process of a node: those that name its folder (its keeper, which may have left its parent
# on starting a session of its own, and its postmaster) and all they started (the keeper's
# services, the backends).
pgaf_node_pids() { # node
  local all=() queue=() p kids
  read -ra queue <<<"$(pgrep -f "$pgaf_dir/$1( |/|\$)" | tr '\n' ' ') $(head -n 1 "$pgaf_dir/$1/postmaster.pid" 2>/dev/null)"
  while ((${#queue[@]})); do
    p=${queue[0]}
    queue=("${queue[@]:1}")
    [[ -z "$p" || " ${all[*]} " == *" $p "* ]] && continue
    all+=("$p")
    read -ra kids <<<"$(ps -o pid= --ppid "$p" 2>/dev/null | tr '\n' ' ')"
    queue+=("${kids[@]}")
  done
  echo "${all[*]}"
}
# The node's host as if its power were cut: every process of it stopped, its sockets left open,
# nothing answering. The postmaster first, so that it starts no backend meanwhile; the listing is
# stopped twice, for a process started between the first listing and its stop.
pgaf_freeze() { # node
  local pids
  kill -STOP "$(head -n 1 "$pgaf_dir/$1/postmaster.pid")"
  for _ in 1 2; do
    pids=$(pgaf_node_pids "$1")
    echo "$pids" >>"$pgaf_dir/$1.frozen"
    # shellcheck disable=SC2086
    kill -STOP $pids 2>/dev/null || true
  done
}
pgaf_thaw() { # node
  # Twice: runuser, when it sees its child stopped, stops itself, maybe after the first.
  # shellcheck disable=SC2046
  kill -CONT $(cat "$pgaf_dir/$1.frozen") 2>/dev/null || true
  sleep 0.2
  # shellcheck disable=SC2046
  kill -CONT $(cat "$pgaf_dir/$1.frozen") 2>/dev/null || true
  rm -f "$pgaf_dir/$1.frozen"
}
pgaf_state() { pgaf_as_owner pg_autoctl show state --pgdata "$pgaf_dir/monitor" 2>/dev/null || true; }
# A primary and a secondary, each as the monitor wants it.
pgaf_settled() {
  local s
  s=$(pgaf_state)
  grep -Eq '\| +primary +\| +primary *$' <<<"$s" && grep -Eq '\| +secondary +\| +secondary *$' <<<"$s"
}
# Waits a minute at the most.
pgaf_wait_settled() {
  for _ in $(seq 120); do pgaf_settled && return 0; sleep 0.5; done
  return 1
}
pgaf_primary_port() { pgaf_state | sed -nE 's/.*127\.0\.0\.1:([0-9]+) .*\| +primary +\| +primary *$/\1/p'; }
pgaf_node_of_port() { [[ "$1" == "$pgaf_p1" ]] && echo n1 || echo n2; }
# Whether the node on that port commits a write now, into a table of its own. A promoted standby
# may still refuse writes (pg_auto_failover's stop_replication keeps it read-only until the old
# primary is known to be down) or hold its commits for a standby: only a commit that comes back
# says so.
pgaf_takes_writes() { # port
  timeout 1 psql -qtA -h 127.0.0.1 -p "$1" -U postgres -d qav -c 'INSERT INTO pgaf_probe DEFAULT VALUES' \
    >/dev/null 2>&1
}
# Whether the node on that port takes writes (f), is a standby (t), or does not answer (empty).
pgaf_in_recovery() { # port
  psql -qtA -h 127.0.0.1 -p "$1" -U postgres -d qav -c 'SELECT pg_is_in_recovery()' 2>/dev/null || true
}

# Makes the monitor and the two nodes in $pgaf_dir and waits until the pair has settled with a
# synchronous standby; sets pgaf_p1, pgaf_p2 (the nodes' ports) and pgaf_url (both hosts).
# Returns 1 naming the step that failed on stderr.
pgaf_up() {
  mkdir -p "$pgaf_dir"
  chmod 755 "$pgaf_dir"
  [[ $(id -u) == 0 ]] && chown postgres "$pgaf_dir"
  local mport common monitor="" n port_var
  mport=$(pgaf_free_port)
  pgaf_p1=$(pgaf_free_port)
  pgaf_p2=$(pgaf_free_port)
  common=(--auth trust --no-ssl --pgctl "$pgaf_bin/pg_ctl")
  # The venue's own example makes the machines; a copy the postgres user can read wherever the
  # checkout is.
  cp "$pgaf_example" "$pgaf_dir/make.sh"
  chmod 755 "$pgaf_dir/make.sh"
  pgaf_as_owner "$pgaf_dir/make.sh" monitor "$pgaf_dir/monitor" 127.0.0.1 "$mport" "${common[@]}" \
    >"$pgaf_dir/create-monitor.log" 2>&1 || { echo "failover: the monitor was not made" >&2; return 1; }
  pgaf_start_keeper monitor
  for _ in $(seq 50); do
    monitor=$(pgaf_as_owner pg_autoctl show uri --pgdata "$pgaf_dir/monitor" --formation monitor 2>/dev/null) && break
    sleep 0.2
  done
  [[ -n "$monitor" ]] || { echo "failover: the monitor did not start" >&2; return 1; }
  for n in 1 2; do
    port_var="pgaf_p$n"
    pgaf_as_owner "$pgaf_dir/make.sh" node "$pgaf_dir/n$n" 127.0.0.1 "${!port_var}" "n$n" "$monitor" \
      "${common[@]}" >"$pgaf_dir/create-n$n.log" 2>&1 ||
      { echo "failover: node n$n was not made" >&2; return 1; }
    pgaf_start_keeper "n$n"
  done
  pgaf_wait_settled || { echo "failover: the pair did not settle: $(pgaf_state)" >&2; return 1; }
  [[ "$(psql -qtA -h 127.0.0.1 -p "$(pgaf_primary_port)" -U postgres -d qav -c 'SHOW synchronous_standby_names')" != "" ]] ||
    { echo "failover: the primary does not wait for its standby's commit" >&2; return 1; }
  psql -qtA -h 127.0.0.1 -p "$(pgaf_primary_port)" -U postgres -d qav -c 'CREATE TABLE pgaf_probe (at timestamptz DEFAULT now())' \
    >/dev/null || { echo "failover: the primary took no write" >&2; return 1; }
  pgaf_url="postgresql://postgres@127.0.0.1:$pgaf_p1,127.0.0.1:$pgaf_p2/qav?connect_timeout=2"
}

# Stops the keepers and their PostgreSQL, whatever state they are in.
pgaf_down() {
  local node pid
  for node in n1 n2; do [[ -f "$pgaf_dir/$node.frozen" ]] && pgaf_thaw "$node"; done
  for node in n1 n2 monitor; do
    [[ -d "$pgaf_dir/$node" ]] && pgaf_as_owner pg_autoctl stop --pgdata "$pgaf_dir/$node" --immediate >/dev/null 2>&1 || true
  done
  [[ -f "$pgaf_dir/pids" ]] && while read -r node pid; do
    kill "$pid" 2>/dev/null || true
    kill -CONT "$pid" 2>/dev/null || true # a stopped one ends only once let go
  done <"$pgaf_dir/pids"
  rm -f "$pgaf_dir/pids"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  set -euo pipefail
  command -v pg_autoctl >/dev/null || { echo "failover: pg_autoctl is not installed (scripts/setup.sh --test)" >&2; exit 1; }
  pgaf_dir=${2:?usage: $0 up|failover|down DIR}
  case "$1" in
    up)
      pgaf_up
      echo "$pgaf_url" >"$pgaf_dir/url"
      echo "url=$pgaf_url"
      echo "primary=$(pgaf_primary_port)"
      echo "n1=$pgaf_p1"
      echo "n2=$pgaf_p2"
      ;;
    failover)
      pgaf_as_owner pg_autoctl perform failover --pgdata "$pgaf_dir/monitor" >"$pgaf_dir/failover.log" 2>&1
      ;;
    down) pgaf_down ;;
    *) echo "usage: $0 up|failover|down DIR" >&2; exit 2 ;;
  esac
fi
