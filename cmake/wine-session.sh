#!/bin/sh
# Starts or ends the Wine session of WINEPREFIX.
#   wine-session.sh start   a persistent wineserver and a booted prefix
#   wine-session.sh stop    ends the wineserver and every Wine process
set -eu
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$WINEPREFIX"
case "${1:-}" in
    start)
        (
            flock 9
            # wineserver -p answers 2 when the session already runs. A new
            # session is booted at once, detached, so that Wine's services
            # are not started later by a program whose pipes they would hold.
            # None of them may inherit the lock, or it would stay held.
            if setsid wineserver -p </dev/null >/dev/null 2>&1 9>&-; then
                setsid wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
            fi
        ) 9>"$WINEPREFIX.lock"
        ;;
    stop)
        wineserver -k 2>/dev/null || true
        ;;
    *)
        echo "usage: $0 start|stop" >&2
        exit 2
        ;;
esac
