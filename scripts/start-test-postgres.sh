#!/usr/bin/env bash
# Starts a throwaway PostgreSQL cluster for the server tests and exports QAV_TEST_PG_URL.
# Source it:   . scripts/start-test-postgres.sh   ...tests...   qav_stop_test_postgres
# Safe to source twice (the running cluster is reused). The cluster lives in a temp folder, listens
# on 127.0.0.1 and a private socket folder only, and is stopped by qav_stop_test_postgres (also
# run on shell exit when no other EXIT trap is set). Prints nothing unless it fails.

qav__pg_bindir() {
    local dir
    for dir in /usr/lib/postgresql/15/bin $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -rV); do
        if [ -x "$dir/pg_ctl" ] && [ -x "$dir/initdb" ]; then
            echo "$dir"
            return 0
        fi
    done
    return 1
}

# Runs a command as the cluster's owner: postgres refuses to run as root.
qav__pg_as_owner() {
    if [ "$(id -u)" = 0 ]; then
        if command -v runuser >/dev/null 2>&1; then
            runuser -u postgres -- "$@"
        else
            su postgres -s /bin/sh -c "$(printf '%q ' "$@")"
        fi
    else
        "$@"
    fi
}

qav__port_free() {
    ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

qav_stop_test_postgres() {
    if [ -n "${QAV_TEST_PG_DIR:-}" ] && [ -d "$QAV_TEST_PG_DIR" ]; then
        local bindir
        bindir=$(qav__pg_bindir) || true
        if [ -n "$bindir" ] && [ -f "$QAV_TEST_PG_DIR/data/postmaster.pid" ]; then
            qav__pg_as_owner "$bindir/pg_ctl" -D "$QAV_TEST_PG_DIR/data" -m fast -w stop >/dev/null 2>&1 || true
        fi
        rm -rf "$QAV_TEST_PG_DIR"
    fi
    unset QAV_TEST_PG_URL QAV_TEST_PG_DIR
}

qav__start_test_postgres() {
    local bindir dir port log
    # Already running from an earlier sourcing: keep it.
    if [ -n "${QAV_TEST_PG_URL:-}" ] && [ -n "${QAV_TEST_PG_DIR:-}" ] \
        && [ -f "$QAV_TEST_PG_DIR/data/postmaster.pid" ]; then
        return 0
    fi
    bindir=$(qav__pg_bindir) || { echo "start-test-postgres: PostgreSQL server binaries not found (apt-get install postgresql)" >&2; return 1; }
    if [ "$(id -u)" = 0 ] && ! id postgres >/dev/null 2>&1; then
        echo "start-test-postgres: running as root but there is no postgres user" >&2
        return 1
    fi
    dir=$(mktemp -d /tmp/qav-test-pg.XXXXXX) || return 1
    mkdir -p "$dir/data" "$dir/socket"
    chmod 755 "$dir"
    if [ "$(id -u)" = 0 ]; then chown -R postgres: "$dir"; fi
    log="$dir/server.log"
    if ! qav__pg_as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
        && ! qav__pg_as_owner "$bindir/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --no-locale >"$dir/initdb.log" 2>&1; then
        echo "start-test-postgres: initdb failed:" >&2
        cat "$dir/initdb.log" >&2
        rm -rf "$dir"
        return 1
    fi
    local tries=0
    port=$((20000 + RANDOM % 20000))
    while :; do
        if qav__port_free "$port" \
            && qav__pg_as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$log" -w -t 60 \
                -o "-c listen_addresses=127.0.0.1 -p $port -k $dir/socket -c fsync=on -c synchronous_commit=on -c max_connections=200" \
                start >/dev/null 2>&1; then
            break
        fi
        tries=$((tries + 1))
        if [ "$tries" -ge 10 ]; then
            echo "start-test-postgres: could not start PostgreSQL:" >&2
            tail -n 20 "$log" >&2 2>/dev/null
            rm -rf "$dir"
            return 1
        fi
        port=$((20000 + RANDOM % 20000))
    done
    if ! qav__pg_as_owner "$bindir/createdb" -h "$dir/socket" -p "$port" -U postgres qav_test >/dev/null 2>&1; then
        echo "start-test-postgres: createdb failed" >&2
        qav__pg_as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null 2>&1
        rm -rf "$dir"
        return 1
    fi
    export QAV_TEST_PG_DIR="$dir"
    export QAV_TEST_PG_URL="postgresql://postgres@127.0.0.1:$port/qav_test"
    export -f qav_stop_test_postgres qav__pg_bindir qav__pg_as_owner
    if [ -z "$(trap -p EXIT)" ]; then
        trap qav_stop_test_postgres EXIT
    fi
    return 0
}

qav__start_test_postgres
