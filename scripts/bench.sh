#!/usr/bin/env bash
# Builds and runs the benchmarks (linux lane, Release), prints the results
# and writes docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTRA_BUILD_BENCH=ON > /dev/null
cmake --build build/bench --target ostra_bench ostra_slowsync testplugins OstraService bundledplugins
# A PostgreSQL server of the run's own for the pgsql figures.
pg_dir=$(mktemp -d /tmp/ostra-bench-pg.XXXXXX)
chmod 755 "$pg_dir"  # the server runs as the postgres user
pg_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
trap 'tests/pgsql/pg-server.sh stop "$pg_dir/server" fast || true; rm -rf "$pg_dir"' EXIT
tests/pgsql/pg-server.sh start "$pg_dir/server" "$pg_port"
export OSTRA_BENCH_PGSQL="host=127.0.0.1 port=$pg_port dbname=ostra user=postgres"
# Time stolen by the hypervisor meanwhile (the 8th number of /proc/stat's cpu line, in ticks).
stolen() { awk '/^cpu / {print $9}' /proc/stat; }
stolen_before=$(stolen)
build/bench/bin/ostra_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out=build/bench/results.json --benchmark_out_format=json
stolen_seconds=$(( ($(stolen) - stolen_before) / $(getconf CLK_TCK) ))
# The intake's figures again on a disk whose every sync takes 1 ms longer:
# the benchmark, the host and the PostgreSQL server all preload the shim
# (copied where the postgres user can read it).
export OSTRA_SLOW_SYNC_US=1000
slow_sync="$pg_dir/libostra_slowsync.so"
install -m 755 build/bench/bin/libostra_slowsync.so "$slow_sync"
LD_PRELOAD="$slow_sync" tests/pgsql/pg-server.sh restart "$pg_dir/server" fast
LD_PRELOAD="$slow_sync" build/bench/bin/ostra_bench \
    --benchmark_filter='BM_Floor_SqliteCommitPerRow|BM_EndToEnd_OneAtATime/0|BM_EndToEnd_Pipelined/0|BM_EndToEnd_SixteenSenders|BM_Floor_BareServer|BM_Floor_PgsqlInsertPerCommit|BM_Pgsql_SixteenSendersThroughTcpline' \
    --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out=build/bench/results-slow-disk.json --benchmark_out_format=json
OSTRA_BENCH_STOLEN_SECONDS=$stolen_seconds OSTRA_BENCH_SLOW_DISK=build/bench/results-slow-disk.json \
    python3 scripts/bench-report.py build/bench/results.json "scripts/bench.sh" > docs/benchmarks.md
echo "written: docs/benchmarks.md"
