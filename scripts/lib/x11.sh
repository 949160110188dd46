#!/usr/bin/env bash
# Sourced by the scripts that drive the station on a real X server. What they read is the screen
# and the database, never the program. The caller defines `fail` (ends its run with a screenshot)
# and, for the run under way, sets `run` (its name, for file names), `tmp`, `server` and `db`.
# shellcheck disable=SC2034,SC2154 # set here for the caller, or by it for these

# Pixel positions of the console and of the station's fixed layout.
console_id=(80 110) console_pass=(80 134) console_login=(215 134) console_open=(90 250)
ticket_box=330x40+350+160 status_box=900x100+60+250

# wait_until <seconds> <what> <command...>: polls the command until it succeeds.
wait_until() {
  local limit=$1 what=$2 i
  shift 2
  for ((i = 0; i < limit * 10; i++)); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$what (waited ${limit}s)"
}
visible() { xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1; }
is_visible() { [[ -n "$(visible "$1")" ]]; }
is_gone() { [[ -z "$(visible "$1")" ]]; }
not() { ! "$@"; }
wm_ready() { xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'; }
focus_is() { [[ "$(xdotool getwindowfocus 2>/dev/null)" == "$1" ]]; }
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }
scan() { xdotool type --delay 15 "$1" && xdotool key Return; }
# The scans of one ticket in the database, oldest first, as mode:code.
scans_of() { "$server" audit --csv --db "$db" GRVM0001 | awk -F, -v t="$1" '$3 == t { printf "%s:%s ", $4, $5 }'; }
scans_are() { [[ "$(scans_of "$1")" =~ ^$2\ $ ]]; }
expect_scans() {
  step="ticket $1"
  wait_until 10 "the database should hold the scans '$2' of ticket $1, has '$(scans_of "$1")'" scans_are "$1" "$2"
}
sign_ins() { "$server" sign-ins --db "$db" | grep -c ' gate01 .* ok$'; }
more_sign_ins_than() { [[ $(sign_ins) -gt $1 ]]; }
grab() { import -window root -crop "$1" +repage "$tmp/$run-$2.png"; }
same() { [[ "$(compare -metric AE "$tmp/$run-$1.png" "$tmp/$run-$2.png" null: 2>&1)" == 0 ]]; }
box_is_empty() { grab "$ticket_box" box && [[ "$(convert "$tmp/$run-box.png" -format %k info:)" == 1 ]]; }
status_shows() { grab "$status_box" status && same status "$1"; }
