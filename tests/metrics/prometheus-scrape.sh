#!/usr/bin/env bash
# A real Prometheus server scrapes the real host's /metrics: the stored-record
# count it reports equals what was sent, and the shipped rules, loaded as
# they are but with their waits cut to seconds, fire the alert for a
# protocol whose library is missing. Both listen on loopback inside a
# network namespace of this test's own.
#   prometheus-scrape.sh BIN PROMETHEUS RULES   (BIN: the build's bin folder)
set -euo pipefail
bin=$1
prometheus=$2
rules=$3
if [ -z "${OSTRA_IN_NAMESPACE:-}" ]; then
    exec unshare --net env OSTRA_IN_NAMESPACE=1 bash "$0" "$@"
fi
ip link set lo up

work=$(mktemp -d /tmp/ostra-prometheus.XXXXXX)
host_pid= prom_pid=
finish() {
    [ -n "$host_pid" ] && kill "$host_pid" 2> /dev/null && wait "$host_pid" 2> /dev/null
    [ -n "$prom_pid" ] && kill "$prom_pid" 2> /dev/null && wait "$prom_pid" 2> /dev/null
    rm -rf "$work"
}
trap finish EXIT

# The shipped configuration, in a folder of its own.
for file in "$bin"/OstraService "$bin"/*.so*; do
    [ -L "$file" ] || cp "$file" "$work/"
done
# The shipped configuration and a second protocol whose library is missing.
sed 's|^    protocols = (|    protocols = (\n        { name = "LOST"; type = "PBX"; dll = "missing.so"; databases = (); },|' \
    "$bin/OstraService.cfg" > "$work/OstraService.cfg"
grep -q '"LOST"' "$work/OstraService.cfg" || { echo "the failing protocol was not added"; exit 1; }
sed 's/^\( *for:\).*/\1 2s/' "$rules" > "$work/ostraservice.rules.yml"
"$work/OstraService" service OstraService > "$work/host.out" 2>&1 &
host_pid=$!

cat > "$work/prometheus.yml" << 'YAML'
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files: [ostraservice.rules.yml]
scrape_configs:
  - job_name: ostraservice
    static_configs:
      - targets: ["127.0.0.1:8765"]
YAML
"$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/data" \
    --web.listen-address=127.0.0.1:9090 > "$work/prometheus.out" 2>&1 &
prom_pid=$!

wait_for() {  # seconds, then a command that succeeds when the wait is over
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        if [ $SECONDS -ge $deadline ]; then return 1; fi
        sleep 0.2
    done
}
port_open() { (echo > "/dev/tcp/127.0.0.1/$1") 2> /dev/null; }
wait_for 20 port_open 7765 || { echo "the host did not listen"; cat "$work/host.out"; exit 1; }

sent=37
for ((i = 1; i <= sent; i++)); do
    reply=$(echo "CALLER=$i;CALLED=0981234567" | nc -N 127.0.0.1 7765)
    [[ $reply == 0\;ROW_ID=* ]] || { echo "record $i answered: $reply"; exit 1; }
done

stored() {
    curl -s --get 'http://127.0.0.1:9090/api/v1/query' \
        --data-urlencode 'query=ostraservice_record_answers_total{protocol="PBX",code="0"}' |
        grep -o '"value":\[[^]]*\]' | grep -o '"[0-9]*"\]$' | tr -d '"]'
}
all_stored() { test "$(stored)" = "$sent"; }
# Prometheus looks at its targets a few seconds after it starts.
if ! wait_for 60 all_stored; then
    echo "Prometheus says $(stored) records were stored; $sent were sent"
    tail -5 "$work/prometheus.out"
    exit 1
fi
echo "Prometheus scraped $sent stored records"

firing() {
    curl -s --get 'http://127.0.0.1:9090/api/v1/query' \
        --data-urlencode 'query=ALERTS{alertname="OstraServiceProtocolFailing",alertstate="firing"}' |
        grep -o '"protocol":"[^"]*"' | sort -u | tr '\n' ' '
}
lost_alone() { test "$(firing)" = '"protocol":"LOST" '; }
if ! wait_for 60 lost_alone; then
    echo "firing OstraServiceProtocolFailing for: '$(firing)'; expected LOST alone"
    exit 1
fi
echo "Prometheus fired OstraServiceProtocolFailing for LOST"
