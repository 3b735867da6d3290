#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UBSan) and runs
# each from its seed corpus, all at once.
#   scripts/fuzz.sh [seconds]     default 60 (CI); 600 for a real session
# Findings (crash-*, leak-*, timeout-*) land in build/fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh linux fuzz
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DOSTRA_SANITIZER=fuzz -DOSTRA_BUILD_FUZZ=ON > /dev/null
# Every bundled plug-in too: their locks are checked by the build's thread-safety analysis.
cmake --build build/fuzz --target FuzzConfig FuzzControl FuzzRecord FuzzHttpHead FuzzHttpFraming testplugins \
    tcpline sqlite pgsql webcontrol
mkdir -p build/fuzz/findings build/fuzz/work
status=0
pids=()
for target in FuzzConfig FuzzControl FuzzRecord FuzzHttpHead FuzzHttpFraming; do
    corpus="fuzz/corpus/$(echo "${target#Fuzz}" | tr 'A-Z' 'a-z')"
    work="build/fuzz/work/$target"
    mkdir -p "$work"
    # The configuration target writes log files into its current folder.
    (cd "$work" && ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer \
        ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS="suppressions=$PWD/../../../../fuzz/lsan.supp" "../../bin/$target" -max_total_time="$seconds" \
        -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$PWD/../../findings/$target-" . "$PWD/../../../../$corpus" \
        > "../$target.log" 2>&1) &
    pids+=($!)
done
for i in "${!pids[@]}"; do wait "${pids[$i]}" || status=1; done
for target in FuzzConfig FuzzControl FuzzRecord FuzzHttpHead FuzzHttpFraming; do
    echo "== $target: $(grep -E '^(stat::number_of_executed_units|#[0-9]+.*(DONE|cov))' \
        build/fuzz/work/$target.log | tail -2 | tr '\n' ' ')"
    grep -E "ERROR|SUMMARY" "build/fuzz/work/$target.log" | head -5 || true
done
exit $status
