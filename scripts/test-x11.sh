#!/usr/bin/env bash
# Runs the built station program as a gate PC does: on a real X server (Xvfb), once without a
# window manager and once under openbox, against a real qav-server on loopback. The operator's
# clicks and a scanner's keystrokes come from xdotool; what is checked is read from the screen
# (window stacking, input focus, pixels) and from the server's database, never from the program.
# Usage: scripts/test-x11.sh [build-dir]   (default: build). Screenshots of failures go to
# <build-dir>/test-x11/.
set -euo pipefail
# shellcheck source=scripts/errtrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/errtrap.sh"
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/lib/x11.sh
source "$root/scripts/lib/x11.sh"
build=$(cd "${1:-$root/build}" && pwd)
qav="$build/app/qav"
server="$build/server/qav-server"
out="$build/test-x11"

echo "== The station on a real X server"
"$root/scripts/setup.sh" --test
for f in "$qav" "$server"; do
  [[ -x "$f" ]] || { echo "test-x11: $f is not built" >&2; exit 1; }
done

# The station reaches only the server address it was built with.
url=$(sed -n 's/^QAV_SERVER_URL:[A-Z]*=//p' "$build/CMakeCache.txt")
if [[ ! "$url" =~ ^http://127\.0\.0\.1:([0-9]+)/?$ ]]; then
  echo "test-x11: the station was built for $url; it needs http://127.0.0.1:<port>" >&2
  exit 1
fi
port=${BASH_REMATCH[1]}
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "test-x11: port $port is taken; the station can only reach a server there. Stop what listens on it." >&2
  exit 1
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -rf "$out"
mkdir -p "$out" "$tmp/station" "$tmp/runtime"
chmod 700 "$tmp/runtime"
cp "$root"/assets/runtime/* "$tmp/station/"
printf '[Quorvanta]\nPlaceCode=1234\n' >"$tmp/station/qav.ini"

# Pixel positions beyond the library's: the station's other controls and the panel's close area.
station_mode=(104 180) station_score=(948 180) station_close=(983 38) station_status=(700 300)
station_logo=(80 60)
panel_exit=(444 28) panel_body=(240 300)
save_button=100x50+775+155

# One run of the program on a display of its own; `fail` ends the run with a screenshot.
scenario() {
  local run=$1 wm=$2
  # Not local: the exit trap that stops them runs after the function has returned.
  xvfb_pid="" wm_pid="" qav_pid="" server_pid="" step=""
  db="$tmp/$run.db"
  export DISPLAY=""
  stop_all() {
    local p
    for p in $qav_pid $wm_pid $xvfb_pid $server_pid; do
      kill "$p" 2>/dev/null || true
      wait "$p" 2>/dev/null || true
    done
  }
  trap stop_all EXIT
  fail() {
    echo "FAIL [$run] $step: $*" >&2
    if [[ -n "$DISPLAY" ]]; then
      import -window root "$out/$run.png" 2>/dev/null && echo "  screenshot: $out/$run.png" >&2
      local w names=""
      for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do
        names+=" $(stack_index "$w"):$(xdotool getwindowname "$w")"
      done
      echo "  windows on screen (stacking place:title, higher is above):$runs" >&2
    fi
    [[ -f "$tmp/$run.log" ]] && tail -n 5 "$tmp/$run.log" | sed 's/^/  qav: /' >&2
    exit 1
  }
  ended() { [[ ! -e /proc/$1 ]] || grep -q '^State:[[:space:]]*Z' "/proc/$1/status"; }
  save_shows() { grab "$save_button" save && same save "$1"; }
  # Index of a window in the stacking order, bottom first.
  stack_index() {
    local list
    if [[ "$wm" == none ]]; then
      list=$(xwininfo -root -children | awk '/^ +0x/ { print $1 }' | tac)
    else
      list=$(xprop -root _NET_CLIENT_LIST_STACKING | sed 's/.*#//; s/,/\n/g' | tr -d ' ')
    fi
    printf '%s\n' "$list" | awk -v w="$(printf '0x%x' "$1")" '$1 == w { print NR; exit }'
  }
  above() {
    local top bottom
    top=$(stack_index "$1") bottom=$(stack_index "$2")
    [[ -n "$top" && -n "$bottom" && "$top" -gt "$bottom" ]]
  }
  panel_on_top() {
    local panel
    panel=$(visible 입장현황)
    [[ -n "$panel" ]] || fail "the summary panel is not on screen"
    above "$panel" "$station" || fail "the summary panel is behind the station"
    if xprop -id "$panel" WM_TRANSIENT_FOR | grep -q 'window id'; then
      fail "the summary panel has an owner window (WM_TRANSIENT_FOR)"
    fi
    focus_is "$station" || fail "the summary panel took the keyboard from the station"
  }

  port_answers() { (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; }
  start_server() {
    "$server" serve --db "$db" --port "$port" --images "$root/assets/demo" 2>>"$tmp/$run.server" &
    server_pid=$!
    wait_until 10 "qav-server should listen on port $port: $(tail -n 3 "$tmp/$run.server")" port_answers
  }
  stop_server() {
    kill "$server_pid" && wait "$server_pid"
    server_pid=""
  }

  step="server"
  "$server" init-db --db "$db" >/dev/null
  "$server" seed-demo --db "$db" >/dev/null
  start_server

  step="X server"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/$run.display" >/dev/null 2>"$tmp/$run.xvfb" &
  xvfb_pid=$!
  wait_until 20 "Xvfb should start" grep -q . "$tmp/$run.display"
  DISPLAY=:$(cat "$tmp/$run.display")
  if [[ "$wm" == openbox ]]; then
    step="openbox"
    XDG_CONFIG_HOME="$tmp" openbox >/dev/null 2>&1 &
    wm_pid=$!
    wait_until 20 "openbox should manage the screen" wm_ready
  fi

  start_and_open() {
    step="sign-in"
    (cd "$tmp/station" && exec env QT_QPA_PLATFORM=xcb LANG=C.UTF-8 XDG_RUNTIME_DIR="$tmp/runtime" \
      "$qav" >>"$tmp/$run.log" 2>&1) &
    qav_pid=$!
    wait_until 20 "the sign-in console should appear" is_visible "Quorvanta QAV"
    local console before
    console=$(visible "Quorvanta QAV")
    click "$console" "${console_id[@]}"
    wait_until 10 "the console should have the keyboard" focus_is "$console"
    xdotool type --delay 15 gate01
    click "$console" "${console_pass[@]}" && xdotool type --delay 15 gate01
    before=$(sign_ins)
    click "$console" "${console_login[@]}"
    wait_until 10 "the server should accept gate01's sign-in" more_sign_ins_than "$before"
    click "$console" "${console_open[@]}"
    step="opening the station"
    wait_until 20 "the station should open (sign in with gate01/gate01, then QAV OPEN)" is_visible Form2
    station=$(visible Form2)
    local geometry
    geometry=$(xwininfo -id "$station" | awk '/Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
      /Width/ { w = $NF } /Height/ { h = $NF } END { print w "x" h "+" x "+" y }')
    [[ "$geometry" == 1024x768+0+0 ]] || fail "the station covers $geometry, not the screen"
    wait_until 10 "the console should hide" is_gone "Quorvanta QAV"
    wait_until 10 "the station should have the keyboard" focus_is "$station"
  }
  open_panel() {
    step="opening the summary panel"
    click "$station" "${station_score[@]}"
    wait_until 10 "the summary panel should appear" is_visible 입장현황
    panel_on_top
  }
  expect_exit() {
    wait_until 10 "the program should end with the station ($1), the summary panel with it" \
      ended "$qav_pid"
    local rc=0
    wait "$qav_pid" || rc=$?
    qav_pid=""
    [[ $rc == 0 ]] || fail "the program ended with status $rc"
  }

  local t=$3 # first of this run's ticket numbers
  start_and_open

  step="admitted ticket"
  grab "$save_button" entry-mode
  scan "$t"
  expect_scans "$t" "I:0"
  wait_until 10 "the ticket box should be empty after an answer" box_is_empty
  grab "$status_box" admitted

  step="refused ticket (the guest is inside already)"
  scan "$t"
  expect_scans "$t" "I:0 I:-[12]"
  wait_until 10 "the refusal should replace the admission on screen" not status_shows admitted
  wait_until 10 "the ticket box should be empty after an answer" box_is_empty

  step="mode switch"
  click "$station" "${station_mode[@]}"
  wait_until 10 "the check button should show the exit mode" not save_shows entry-mode
  scan "$t"
  expect_scans "$t" "I:0 I:-[12] O:2"
  click "$station" "${station_mode[@]}"
  wait_until 10 "the check button should show the entry mode again" save_shows entry-mode

  open_panel
  step="scan with the summary panel open"
  scan $((t + 1))
  expect_scans $((t + 1)) "I:0"
  step="scan after a click on the summary panel"
  click "$(visible 입장현황)" "${panel_body[@]}"
  panel_on_top
  scan $((t + 2))
  expect_scans $((t + 2)) "I:0"
  step="scan after a click on the station"
  click "$station" "${station_status[@]}"
  panel_on_top
  scan $((t + 3))
  expect_scans $((t + 3)) "I:0"

  step="closing the summary panel by its close box"
  # Without its picture the station reports a failure in a message box.
  mv "$tmp/station/btn5on.jpg" "$tmp/station/btn5on.jpg.away"
  click "$(visible 입장현황)" "${panel_exit[@]}"
  wait_until 10 "the summary panel should close" is_gone 입장현황
  wait_until 10 "the missing picture should be reported" is_visible QAV
  above "$(visible QAV)" "$station" || fail "the message box is behind the station"
  step="scan while a message box is up"
  scan $((t + 4))
  is_visible QAV || fail "the scanner's Enter answered the message box"
  xdotool key Return
  wait_until 10 "Enter should close the message box" is_gone QAV
  mv "$tmp/station/btn5on.jpg.away" "$tmp/station/btn5on.jpg"
  expect_scans $((t + 4)) "I:0"
  wait_until 10 "the station should have the keyboard again" focus_is "$station"
  wait_until 10 "the ticket box should be empty after the kept scan" box_is_empty
  wait_until 10 "the kept scan should show its admission" status_shows admitted

  step="scan after the summary panel closed and a tap on the logo"
  click "$station" "${station_logo[@]}"
  scan $((t + 5))
  expect_scans $((t + 5)) "I:0"

  step="a summary that fails"
  stop_server
  click "$station" "${station_score[@]}"
  wait_until 10 "the failed summary should be reported" is_visible QAV
  above "$(visible QAV)" "$(visible 입장현황)" || fail "the message box is behind the summary panel"
  start_server
  step="scan while the failed summary is reported"
  scan $((t + 6))
  is_visible QAV || fail "the scanner's Enter answered the message box"
  xdotool key Return
  wait_until 10 "Enter should close the message box" is_gone QAV
  expect_scans $((t + 6)) "I:0"

  open_panel
  step="closing the station by its X"
  click "$station" "${station_close[@]}"
  expect_exit "X"

  if [[ "$wm" == openbox ]]; then
    start_and_open
    open_panel
    step="closing the station by Alt+F4"
    xdotool key alt+F4
    expect_exit "Alt+F4"
  fi

  step="the database at the end"
  expect_scans "$t" "I:0 I:-[12] O:2"
  local i
  for i in 1 2 3 4 5 6; do
    expect_scans $((t + i)) "I:0"
  done
  echo "PASS [$run]"
}

status=0
(scenario bare none 10000011) || status=1
(scenario openbox openbox 10000021) || status=1
exit $status
