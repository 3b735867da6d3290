#!/usr/bin/env bash
# A throwaway PostgreSQL 15 server for the tests, in a folder of its own.
#   pg-server.sh start DIR PORT      a fresh server (database "ostra", user
#                                    "postgres", trust) on 127.0.0.1:PORT and
#                                    a unix socket in DIR
#   pg-server.sh stop DIR [MODE]     pg_ctl stop -m MODE (default immediate)
#   pg-server.sh restart DIR MODE    pg_ctl restart -m MODE
#   pg-server.sh freeze|thaw DIR     SIGSTOP / SIGCONT to every server process
#   pg-server.sh standby DIR PORT PRIMARY_PORT
#                                    a streaming hot standby of the server on
#                                    127.0.0.1:PRIMARY_PORT (pg_basebackup -R)
#   pg-server.sh promote DIR         the standby made a primary
# initdb refuses to run as root: the server runs as the postgres user. The
# data folder is copied from a template made once per machine (initdb +
# createdb take 1.5-2 s; the copy well under one).
set -euo pipefail
command=$1
dir=$2
bin=/usr/lib/postgresql/15/bin
as_postgres() { runuser -u postgres -- "$@"; }

make_template() {
    local template=$1 work
    work=$(mktemp -d /tmp/ostra-pg-template.XXXXXX)
    chown postgres: "$work"
    as_postgres "$bin/initdb" -D "$work/data" -A trust -U postgres -E UTF8 --locale=C -N > "$work/initdb.log"
    cat >> "$work/data/postgresql.conf" << CONF
listen_addresses = ''
unix_socket_directories = '$work'
fsync = on
CONF
    as_postgres "$bin/pg_ctl" -D "$work/data" -l "$work/server.log" -w start > /dev/null
    as_postgres "$bin/createdb" -h "$work" -U postgres ostra
    # Roles made members of scram_users log in with a password (SCRAM), as
    # a site's role would; everyone else is trusted.
    as_postgres "$bin/psql" -q -h "$work" -U postgres -d ostra -c "CREATE ROLE scram_users NOLOGIN"
    as_postgres "$bin/pg_ctl" -D "$work/data" -m fast -w stop > /dev/null
    { echo "host all +scram_users 127.0.0.1/32 scram-sha-256"; cat "$work/data/pg_hba.conf"; } \
        > "$work/hba" && mv "$work/hba" "$work/data/pg_hba.conf"
    chown postgres: "$work/data/pg_hba.conf"
    mv "$work/data" "$template"
    rm -rf "$work"
}

postmaster_pids() {
    local pid
    pid=$(head -n1 "$dir/data/postmaster.pid" 2> /dev/null) || return 0
    echo "$pid"
    pgrep -P "$pid" || true
}

case "$command" in
    start)
        port=$3
        template=/var/tmp/ostra-pg15-template-2
        # One test makes the template; the others wait for it.
        exec 9> "$template.lock"
        flock 9
        [ -d "$template" ] || make_template "$template"
        flock -u 9
        # What an interrupted run left there goes first.
        if [ -f "$dir/data/postmaster.pid" ]; then
            as_postgres "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
        fi
        rm -rf "$dir/data"
        mkdir -p "$dir"
        chown postgres: "$dir"
        cp -a "$template" "$dir/data"
        cat >> "$dir/data/postgresql.conf" << CONF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir'
CONF
        as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start > /dev/null ;;
    standby)
        port=$3
        primary_port=$4
        if [ -f "$dir/data/postmaster.pid" ]; then
            as_postgres "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop > /dev/null 2>&1 || true
        fi
        rm -rf "$dir/data"
        mkdir -p "$dir"
        chown postgres: "$dir"
        as_postgres "$bin/pg_basebackup" -h 127.0.0.1 -p "$primary_port" -U postgres \
            -D "$dir/data" -R -X stream -c fast
        # The copied configuration names the primary's port and folder.
        cat >> "$dir/data/postgresql.conf" << CONF
port = $port
unix_socket_directories = '$dir'
CONF
        as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start > /dev/null ;;
    promote)
        as_postgres "$bin/pg_ctl" -D "$dir/data" -w -t 60 promote > /dev/null ;;
    stop)
        as_postgres "$bin/pg_ctl" -D "$dir/data" -m "${3:-immediate}" -w -t 60 stop > /dev/null ;;
    restart)
        as_postgres "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m "$3" -w -t 60 restart > /dev/null ;;
    freeze)
        postmaster_pids | xargs -r kill -STOP ;;
    thaw)
        postmaster_pids | xargs -r kill -CONT ;;
    *)
        echo "unknown command: $command" >&2
        exit 2 ;;
esac
