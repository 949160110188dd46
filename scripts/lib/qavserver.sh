#!/usr/bin/env bash
# Sourced by the scripts that run qav-server processes of their own.

# Starts a qav-server (the program and its arguments after the log file, e.g. "$bin" serve --db
# URL -p 0) with its log in $1 and waits until it listens: sets qav_pid (also when it did not
# start, so the caller can stop it) and qav_port. Returns 1 when it did not start within 10 s.
qav_serve() { # log program args...
  local log=$1
  shift
  : >"$log"
  "$@" 2>"$log" &
  qav_pid=$!
  qav_port=""
  for _ in $(seq 100); do
    qav_port=$(sed -n 's/.*listening on https\?:\/\/[^ ]*:\([0-9]*\) database.*/\1/p' "$log")
    [[ -n "$qav_port" ]] && return 0
    kill -0 "$qav_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
