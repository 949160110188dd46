#!/usr/bin/env bash
# Installs what is missing, builds QAV, starts the demo server on a fresh demo database and opens
# the sign-in console. Closing the station (or the console) stops the server again.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/setup.sh
# The demo station talks to this machine, whatever address build/ was last given.
QAV_TARGETS="qav qav-server" scripts/build.sh release \
  -DQAV_SERVER_URL=http://127.0.0.1:8470 -DQAV_IMAGE_SERVER_URL=http://127.0.0.1:8470

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "QAV is built, but there is no display to show the station on (DISPLAY is not set)." >&2
  echo "Run this command again from a graphical session." >&2
  exit 1
fi

run="$root/run"
server_dir="$run/server"
station_dir="$run/station"
mkdir -p "$server_dir" "$station_dir"

# The demo performance is today's, so the demo data is laid out anew on every start.
db="$server_dir/demo.db"
rm -f "$db" "$db-wal" "$db-shm"
build/server/qav-server init-db --db "$db" >/dev/null
build/server/qav-server seed-demo --db "$db" >/dev/null

port=8470
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "Port $port is already in use: another qav-server may be running. Stop it and try again." >&2
  exit 1
fi
build/server/qav-server serve --db "$db" --port "$port" --images "$root/assets/demo" \
  2>"$server_dir/server.log" &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$server_dir/server.log" >&2; exit 1; }
  sleep 0.1
done

cp assets/runtime/* "$station_dir/"
printf '[Quorvanta]\nPlaceCode=1234\n' >"$station_dir/qav.ini"

cat <<'INFO'
QAV demo: server on http://127.0.0.1:8470 (log: run/server/server.log)
  Venue dashboard: http://127.0.0.1:8470/dashboard/  (admin account: admin / admin)
  Sign in with ID gate01 and password gate01, press "QAV OPEN", then type a ticket and Enter:
    10000001 ... 10000296   admitted (scan one twice: already inside)
    10000297                re-entry after an exit
    10000300                cancelled booking
    20000001                ticket of another performance
    99999999                unknown ticket
  "인증모드" switches between entry and exit; "집계" shows the counters.
  Ctrl + Alt + F7 or the X at the top right closes the station.
INFO

cd "$station_dir"
"$root/build/app/qav"
