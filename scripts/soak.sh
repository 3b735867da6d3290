#!/usr/bin/env bash
# The soak run (not part of CI): builds the asan lane and runs the soak
# program for the given seconds (default 600), LeakSanitizer checking for
# leaks when it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/install-deps.sh linux
scripts/build.sh asan > /dev/null
cmake --build build/asan --target soak
# A small quarantine, so that resident memory shows the program, not
# AddressSanitizer holding freed blocks back.
ASAN_OPTIONS=detect_leaks=1:quarantine_size_mb=8 LSAN_OPTIONS="suppressions=$PWD/fuzz/lsan.supp" build/asan/bin/soak "$seconds"
