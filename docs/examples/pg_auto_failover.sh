#!/usr/bin/env bash
# Makes one machine of the database pair qav-server fails over between (Debian's
# postgresql-15-auto-failover): the monitor, or one of the two nodes. Run as postgres on each
# machine, the monitor first:
#   pg_auto_failover.sh monitor PGDATA HOSTNAME PORT [pg_autoctl options]
#   pg_auto_failover.sh node PGDATA HOSTNAME PORT NAME MONITOR_URI [pg_autoctl options]
# e.g. on db1:
#   pg_auto_failover.sh node /var/lib/postgresql/qav db1.venue.lan 5432 db1 \
#     'postgres://autoctl_node@monitor.venue.lan:5432/pg_auto_failover?sslmode=require'
# The options default to --auth scram-sha-256 --ssl-self-signed; with the venue's own CA give
# --auth scram-sha-256 --server-cert … --server-key … --ssl-ca-file … instead. The node's database
# is qav. Then keep it running: `pg_autoctl show systemd --pgdata PGDATA` makes its unit.
# With a standby, the primary waits for the standby's commit (synchronous_standby_names is set by
# the monitor; qav-server commits with synchronous_commit = on), so a failover loses no admission.
# The failover run of scripts/test.sh makes its pair on loopback ports with this script.
set -euo pipefail

usage() {
  echo "usage: $0 monitor PGDATA HOSTNAME PORT [options] | node PGDATA HOSTNAME PORT NAME MONITOR_URI [options]" >&2
  exit 2
}
[[ $# -ge 4 ]] || usage
role=$1 pgdata=$2 hostname=$3 port=$4
shift 4
case "$role" in
  monitor)
    where=(create monitor)
    ;;
  node)
    [[ $# -ge 2 ]] || usage
    where=(create postgres --name "$1" --dbname qav --monitor "$2")
    shift 2
    ;;
  *) usage ;;
esac
[[ $# -gt 0 ]] || set -- --auth scram-sha-256 --ssl-self-signed
exec pg_autoctl "${where[@]}" --pgdata "$pgdata" --pgport "$port" --hostname "$hostname" "$@"
