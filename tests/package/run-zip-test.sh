#!/usr/bin/env bash
# The Windows package's zip as a user gets it: unpacked into a scratch
# folder and a brand-new Wine prefix, with nothing on its path but its own
# folder; the service is installed, started, stores a record sent to its
# TCP port, is stopped and removed. Also checks what the zip holds.
#   run-zip-test.sh PACKAGE.zip
set -euo pipefail
zip=$(realpath "$1")
source "$(dirname "$0")/fresh-wine-prefix.sh"

cd "$scratch"
cmake -E tar xf "$zip"
app="$scratch/OstraService"
echo "zip: $(du -k "$zip" | cut -f1) KiB; unpacked: $(du -sk "$app" | cut -f1) KiB"
for binary in "$app"/*.exe "$app"/*.dll; do
    if x86_64-w64-mingw32-objdump -h "$binary" | grep -q '\.debug_'; then
        echo "not stripped: $(basename "$binary")"; exit 1
    fi
done
[ -s "$app/ostraservice.rules.yml" ] || { echo "the zip has no Prometheus rules"; exit 1; }
grep -q $'\r$' "$app/OstraService.cfg" || { echo "the configuration has no CRLF line ends"; exit 1; }

boot_wine_prefix

cd "$app"
verb() { wine ./OstraService.exe "$@" </dev/null >/dev/null 2>&1; }
verb install || { echo "install failed"; exit 1; }
verb start || { echo "start failed"; verb remove; exit 1; }
answer=
for _ in $(seq 1 100); do
    answer=$( (exec 3<>/dev/tcp/127.0.0.1/7765 && echo "CALLER=201;SECONDS=42" >&3 &&
               timeout 5 head -1 <&3 | tr -d '\r') 2>/dev/null) && [ -n "$answer" ] && break
    sleep 0.2
done
verb stop || { echo "stop failed"; verb remove; exit 1; }
verb remove || { echo "remove failed"; exit 1; }
[ "$answer" = "0;ROW_ID=1" ] || { echo "the record was answered '$answer'"; exit 1; }
[ -s records.db ] || { echo "no records.db beside the executable"; exit 1; }
echo "zip ok: installed, served a record, stopped, removed"
