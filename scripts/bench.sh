#!/usr/bin/env bash
# Builds and runs the benchmarks (linux lane, Release), prints the results
# and writes docs/benchmarks.md.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTRA_BUILD_BENCH=ON > /dev/null
cmake --build build/bench --target ostra_bench testplugins OstraService bundledplugins
build/bench/bin/ostra_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
    --benchmark_enable_random_interleaving=true \
    --benchmark_out=build/bench/results.json --benchmark_out_format=json
python3 scripts/bench-report.py build/bench/results.json "scripts/bench.sh" > docs/benchmarks.md
echo "written: docs/benchmarks.md"
