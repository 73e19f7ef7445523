#!/usr/bin/env bash
# Runs a private MariaDB server (Debian's mariadb-server) for the tests and benchmarks: its own
# data directory, socket and port, no system service. Idempotent.
#
#   scripts/local-mariadb.sh start    creates the data directory if needed, starts mariadbd, waits
#                                     until it answers and creates the database and its user
#   scripts/local-mariadb.sh stop     shuts the server down (through its pid file) and waits
#   scripts/local-mariadb.sh kill     kills the server at once (SIGKILL), as a crash would
#   scripts/local-mariadb.sh status   exit 0 only when the server answers
#   scripts/local-mariadb.sh env      prints the HXB_TEST_MARIADB_* variables for this instance
#
# Environment (defaults in brackets):
#   HXB_MARIADB_DIR       where data, socket, pid and log live [build/mariadb]
#   HXB_MARIADB_PORT      TCP port on 127.0.0.1 [3307]
#   HXB_MARIADB_NAME      database [hxbdb]
#   HXB_MARIADB_USER      user with all rights on that database and on every "hxbt_*" one [hxb]
#   HXB_MARIADB_PASSWORD  its password [hxb-test]
#   HXB_MARIADB_WAIT_S    seconds to wait for the server to answer [60]
set -euo pipefail

DIR=$(realpath -m "${HXB_MARIADB_DIR:-build/mariadb}")
PORT=${HXB_MARIADB_PORT:-3307}
NAME=${HXB_MARIADB_NAME:-hxbdb}
DB_USER=${HXB_MARIADB_USER:-hxb}
PASSWORD=${HXB_MARIADB_PASSWORD:-hxb-test}
WAIT_S=${HXB_MARIADB_WAIT_S:-60}
SOCK=$DIR/mariadb.sock
PID_FILE=$DIR/mariadb.pid
LOG=$DIR/mariadb.err

answers() {
    mariadb-admin --no-defaults -S "$SOCK" -uroot ping >/dev/null 2>&1
}

server_pid() {
    [ -s "$PID_FILE" ] && kill -0 "$(cat "$PID_FILE")" 2>/dev/null && cat "$PID_FILE"
}

start() {
    if ! command -v mariadbd >/dev/null; then
        echo "local-mariadb: mariadbd not found; install mariadb-server (scripts/install-deps.sh)" >&2
        exit 1
    fi
    mkdir -p "$DIR"
    if [ ! -d "$DIR/data/mysql" ]; then
        mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$DIR/data" \
            --auth-root-authentication-method=normal --skip-test-db >"$DIR/install.log" 2>&1 || {
            cat "$DIR/install.log" >&2
            exit 1
        }
    fi
    if ! server_pid >/dev/null; then
        # The sockets of a crashed server are stale; mariadbd refuses to start beside a live one.
        rm -f "$SOCK" "$PID_FILE"
        mariadbd --no-defaults --user="$(id -un)" --datadir="$DIR/data" --socket="$SOCK" \
            --port="$PORT" --bind-address=127.0.0.1 --skip-name-resolve --pid-file="$PID_FILE" \
            --log-error="$LOG" --innodb-buffer-pool-size=64M --innodb-log-file-size=16M \
            --max-connections=500 --character-set-server=utf8mb4 </dev/null >/dev/null 2>&1 &
        disown
    fi
    local waited=0
    until answers; do
        if [ "$waited" -ge $((WAIT_S * 10)) ]; then
            echo "local-mariadb: no answer on $SOCK after ${WAIT_S} s; see $LOG" >&2
            tail -20 "$LOG" >&2 || true
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    mariadb --no-defaults -S "$SOCK" -uroot <<SQL
CREATE DATABASE IF NOT EXISTS \`$NAME\` CHARACTER SET utf8mb4 COLLATE utf8mb4_bin;
CREATE USER IF NOT EXISTS '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$PASSWORD';
CREATE USER IF NOT EXISTS '$DB_USER'@'localhost' IDENTIFIED BY '$PASSWORD';
GRANT ALL PRIVILEGES ON \`$NAME\`.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
GRANT ALL PRIVILEGES ON \`hxbt\\_%\`.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
GRANT CONNECTION ADMIN ON *.* TO '$DB_USER'@'127.0.0.1', '$DB_USER'@'localhost';
SQL
    echo "local-mariadb: up on 127.0.0.1:$PORT (socket $SOCK), database $NAME, user $DB_USER"
}

stop() {
    local pid
    if pid=$(server_pid); then
        kill -TERM "$pid"
        for _ in $(seq 1 600); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    rm -f "$SOCK" "$PID_FILE"
    echo "local-mariadb: stopped"
}

case "${1:-}" in
start) start ;;
stop) stop ;;
kill)
    if pid=$(server_pid); then
        kill -KILL "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
    fi
    ;;
status)
    if answers; then
        echo "local-mariadb: running on 127.0.0.1:$PORT"
    else
        echo "local-mariadb: not running"
        exit 1
    fi
    ;;
env)
    echo "HXB_TEST_MARIADB_HOST=127.0.0.1"
    echo "HXB_TEST_MARIADB_PORT=$PORT"
    echo "HXB_TEST_MARIADB_USER=$DB_USER"
    echo "HXB_TEST_MARIADB_PASSWORD=$PASSWORD"
    echo "HXB_TEST_MARIADB_NAME=$NAME"
    ;;
*)
    echo "usage: $0 start|stop|kill|status|env" >&2
    exit 2
    ;;
esac
