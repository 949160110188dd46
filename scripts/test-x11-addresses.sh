#!/usr/bin/env bash
# The station at a gate whose server name has two addresses: two qav-server processes on one
# SQLite database, on 127.0.0.2 and 127.0.0.3, both named gate-server.test by a hosts file. The
# real qav runs on Xvfb under openbox, signs in through its console and scans with xdotool; then
# the server it uses is taken away, once killed with kill -9 and once made to vanish (nftables
# drops its packets), and the next scan must be admitted within 3 s of its Enter, without a second
# Enter, shown on screen as an admission, and admitted once in the database. Prints the time from
# the Enter to the other server's answer (its request log) and to the admission seen on screen.
# Everything runs in private mount and network namespaces: the hosts file is bind-mounted over
# /etc/hosts and the nftables rules live there, so nothing on the machine is changed. Needs root.
# The station reaches only the address it was built with: a build of the station alone for
# http://gate-server.test:8470 is kept in <build-dir>/test-x11-addresses/station.
# Usage: scripts/test-x11-addresses.sh [build-dir]   (default: build). Screenshots of failures go to
# <build-dir>/test-x11-addresses/.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib/x11.sh
source "$root/scripts/lib/x11.sh"
build=$(cd "${1:-$root/build}" && pwd)
server="$build/server/qav-server"
out="$build/test-x11-addresses"
name=gate-server.test
port=8470
addresses=(127.0.0.2 127.0.0.3)

if [[ "${QAV_IN_NAMESPACES:-}" != 1 ]]; then
  echo "== The station finding the live server among its name's addresses, on a real X server"
  "$root/scripts/setup.sh" --test
  [[ -x "$server" ]] || { echo "test-x11-addresses: $server is not built" >&2; exit 1; }
  [[ $(id -u) == 0 ]] || { echo "test-x11-addresses: needs root for its namespaces" >&2; exit 1; }
  station_build="$out/station"
  mkdir -p "$station_build"
  cmake -S "$root" -B "$station_build" -G Ninja -DQAV_BUILD_SERVER=OFF \
    "-DCMAKE_BUILD_TYPE=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")" \
    "-DCMAKE_CXX_FLAGS=$(sed -n 's/^CMAKE_CXX_FLAGS:[A-Z]*=//p' "$build/CMakeCache.txt")" \
    "-DQAV_SANITIZE=$(sed -n 's/^QAV_SANITIZE:[A-Z]*=//p' "$build/CMakeCache.txt")" \
    "-DQAV_SERVER_URL=http://$name:$port" "-DQAV_IMAGE_SERVER_URL=http://$name:$port" >/dev/null
  ninja -C "$station_build" qav >"$out/station-build.log" ||
    { tail -n 30 "$out/station-build.log" >&2; exit 1; }
  exec unshare --mount --net env QAV_IN_NAMESPACES=1 "$root/scripts/test-x11-addresses.sh" "$build"
fi

# From here on in the namespaces: loopback with both addresses, and the name for them.
qav="$out/station/app/qav"
ip link set lo up
for a in "${addresses[@]}"; do ip addr add "$a/32" dev lo; done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '127.0.0.1 localhost\n%s %s\n%s %s\n' "${addresses[0]}" "$name" "${addresses[1]}" "$name" >"$tmp/hosts"
mount --bind "$tmp/hosts" /etc/hosts
resolved=$(getent ahostsv4 "$name" | awk '$2 == "STREAM" { print $1 }' | sort | tr '\n' ' ')
if [[ "$resolved" != "${addresses[*]} " ]]; then
  echo "test-x11-addresses: $name resolves to '$resolved', not to both addresses of the hosts file (hosts: in /etc/nsswitch.conf must read files)" >&2
  exit 1
fi

rm -rf "$out"/*.png
mkdir -p "$tmp/station" "$tmp/runtime"
chmod 700 "$tmp/runtime"
cp "$root"/assets/runtime/* "$tmp/station/"
printf '[Quorvanta]\nPlaceCode=1234\n' >"$tmp/station/qav.ini"

now_ms() { date +%s%3N; }

# One run: the server in use taken away by `how` (kill or vanish).
scenario() {
  local run=$1 how=$2 t=$3
  # Not local: the exit trap that stops them runs after the function has returned.
  xvfb_pid="" wm_pid="" qav_pid="" server_pids=() step=""
  db="$tmp/$run.db"
  export DISPLAY=""
  stop_all() {
    local p
    for p in $qav_pid $wm_pid $xvfb_pid "${server_pids[@]}"; do
      kill "$p" 2>/dev/null || true
      wait "$p" 2>/dev/null || true
    done
  }
  trap stop_all EXIT
  fail() {
    echo "FAIL [$run] $step: $*" >&2
    if [[ -n "$DISPLAY" ]]; then
      import -window root "$out/$run.png" 2>/dev/null && echo "  screenshot: $out/$run.png" >&2
    fi
    local log
    for log in "$tmp/$run".*log; do
      [[ -f "$log" ]] && tail -n 5 "$log" | sed "s|^|  $(basename "$log"): |" >&2
    done
    exit 1
  }
  # The verifications each server has answered, from its request log.
  served() { grep -c 'BookingInfo' "$tmp/$run.server$1.log" || true; }

  port_answers() { (exec 3<>"/dev/tcp/$1/$port") 2>/dev/null; }
  step="servers"
  "$server" init-db --db "$db" >/dev/null
  "$server" seed-demo --db "$db" >/dev/null
  local i
  for i in 0 1; do
    "$server" serve --db "$db" --bind "${addresses[$i]}" --port "$port" --images "$root/assets/demo" \
      2>>"$tmp/$run.server$i.log" &
    server_pids+=($!)
    wait_until 10 "qav-server should listen on ${addresses[$i]}:$port" port_answers "${addresses[$i]}"
  done

  step="X server"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/$run.display" >/dev/null 2>"$tmp/$run.xvfb" &
  xvfb_pid=$!
  wait_until 20 "Xvfb should start" grep -q . "$tmp/$run.display"
  DISPLAY=:$(cat "$tmp/$run.display")
  step="openbox"
  XDG_CONFIG_HOME="$tmp" openbox >/dev/null 2>&1 &
  wm_pid=$!
  wait_until 20 "openbox should manage the screen" wm_ready

  step="sign-in"
  (cd "$tmp/station" && exec env QT_QPA_PLATFORM=xcb LANG=C.UTF-8 XDG_RUNTIME_DIR="$tmp/runtime" \
    "$qav" >>"$tmp/$run.qav.log" 2>&1) &
  qav_pid=$!
  wait_until 20 "the sign-in console should appear" is_visible "Quorvanta QAV"
  local console before station
  console=$(visible "Quorvanta QAV")
  click "$console" "${console_id[@]}"
  wait_until 10 "the console should have the keyboard" focus_is "$console"
  xdotool type --delay 15 gate01
  click "$console" "${console_pass[@]}" && xdotool type --delay 15 gate01
  before=$(sign_ins)
  click "$console" "${console_login[@]}"
  wait_until 10 "a server should accept gate01's sign-in" more_sign_ins_than "$before"
  click "$console" "${console_open[@]}"
  step="opening the station"
  wait_until 20 "the station should open" is_visible Form2
  station=$(visible Form2)
  wait_until 10 "the station should have the keyboard" focus_is "$station"

  step="admitted ticket"
  scan "$t"
  expect_scans "$t" "I:0"
  wait_until 10 "the ticket box should be empty after an answer" box_is_empty
  grab "$status_box" admitted
  local victim=0 other=1
  [[ $(served 1) -gt 0 ]] && victim=1 other=0
  [[ $(served $other) == 0 ]] || fail "both servers answered one scan"

  # The screen shows a refusal before the scan that is timed, so that its admission shows as a change.
  step="refused ticket"
  scan "$t"
  expect_scans "$t" "I:0 I:-[12]"
  wait_until 10 "the refusal should replace the admission on screen" not status_shows admitted

  step="the server in use ($how, ${addresses[$victim]})"
  if [[ "$how" == kill ]]; then
    kill -9 "${server_pids[$victim]}"
    wait "${server_pids[$victim]}" 2>/dev/null || true
  else
    nft -f - <<EOF
table inet vanish {
  chain input { type filter hook input priority 0; ip saddr ${addresses[$victim]} drop; ip daddr ${addresses[$victim]} drop; }
  chain output { type filter hook output priority 0; ip saddr ${addresses[$victim]} drop; ip daddr ${addresses[$victim]} drop; }
}
EOF
  fi

  # Timed from the Enter to the answer in the other server's request log, whose clock is this
  # machine's; the screen is polled for the admission too, but a screenshot's own cost on a loaded
  # machine would make its time a measure of the test rather than of the station.
  local ticket=$((t + 1)) enter shown="" answered_at answered
  xdotool type --delay 15 "$ticket"
  enter=$(now_ms)
  xdotool key Return
  while (($(now_ms) - enter < 10000)); do
    if status_shows admitted; then
      shown=$(($(now_ms) - enter))
      break
    fi
  done
  [[ -n "$shown" ]] || fail "the admission of ticket $ticket was not shown (the database has '$(scans_of "$ticket")')"
  expect_scans "$ticket" "I:0"
  answered_at=$(grep -m 1 'BookingInfo/I 0 ' "$tmp/$run.server$other.log" | awk '{ print $1 }')
  [[ -n "$answered_at" ]] || fail "the scan was not answered by ${addresses[$other]}"
  answered=$(($(date -d "$answered_at" +%s%3N) - enter))
  echo "[$run] the server in use $run: the next scan admitted ${answered} ms after its Enter (seen on screen after ${shown} ms)"
  [[ $answered -le 3000 ]] || fail "the admission came ${answered} ms after the Enter, more than 3 s"
  wait_until 10 "the ticket box should be empty after the admission" box_is_empty

  step="the scan after"
  enter=$(now_ms)
  scan $((t + 2))
  expect_scans $((t + 2)) "I:0"
  wait_until 10 "the admission of ticket $((t + 2)) should show" status_shows admitted
  echo "[$run] the scan after on screen within $(($(now_ms) - enter)) ms"

  step="the database at the end"
  # Nothing admitted twice: one admission each, and the refusal of ticket t.
  expect_scans "$t" "I:0 I:-[12]"
  expect_scans $((t + 1)) "I:0"
  expect_scans $((t + 2)) "I:0"
  echo "PASS [$run]"
}

status=0
(scenario killed kill 10000031) || status=1
(scenario vanished vanish 10000041) || status=1
exit $status
