#!/usr/bin/env bash
# Builds the linux lane and runs the host in console mode on its bundled
# default configuration: records sent as lines to TCP port 7765 are stored
# in SQLite, and the web console at http://127.0.0.1:8765/ watches and
# steers the host.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
scripts/build.sh linux
cd build/linux/bin
cat <<'TEXT'
Web console:     http://127.0.0.1:8765/
Send a record:   echo 'CALLER=201;CALLED=0981234567;SECONDS=42' | nc -N 127.0.0.1 7765
Stored in:       build/linux/bin/records.db   (sqlite3 build/linux/bin/records.db 'SELECT * FROM records')
Log:             build/linux/bin/OstraService.log
Press S to stop.
TEXT
exec ./OstraService console
