#!/usr/bin/env bash
# Builds and runs every test: the linux lane, the same suite under
# AddressSanitizer and ThreadSanitizer, the windows lane under Wine, a
# minute of each fuzz target under AddressSanitizer and UBSan, and the
# linux build under a real systemd in a container.
#   scripts/test.sh                 all lanes
#   scripts/test.sh linux asan      only the lanes named
# Build folders: build/<lane>. Exits non-zero when any lane fails.
set -uo pipefail
cd "$(dirname "$0")/.."

lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=(linux asan tsan windows fuzz systemd)

install=(linux)
for lane in "${lanes[@]}"; do
    [ "$lane" = linux ] && install+=(browser metrics)
    [ "$lane" = windows ] && install+=(windows)
    # The pgsql tests' servers; the windows lane's talk to a Linux one.
    case "$lane" in linux | asan | tsan | windows) install+=(postgres) ;; esac
    [ "$lane" = fuzz ] && install+=(fuzz)
    [ "$lane" = systemd ] && install+=(systemd deb)
done
scripts/install-deps.sh "${install[@]}" || exit 1

# The format first: a misformatted change fails in seconds, not after the lanes.
scripts/format.sh --check || exit 1

jobs=$(nproc)
failed=()
for lane in "${lanes[@]}"; do
    echo "=== lane: $lane"
    start=$(date +%s)
    case "$lane" in
        linux) scripts/build.sh linux && (cd build/linux && ctest --output-on-failure -j"$jobs") ;;
        asan) scripts/build.sh asan &&
              (cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
                   UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j"$jobs") ;;
        tsan) scripts/build.sh tsan &&
              (cd build/tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
                   ctest --output-on-failure -j"$jobs") ;;
        windows) scripts/build.sh windows && scripts/test-windows.sh ;;
        fuzz) scripts/fuzz.sh 60 ;;
        systemd) scripts/build.sh linux && scripts/systemd-lane.sh ;;
        *) echo "unknown lane: $lane"; false ;;
    esac
    status=$?
    echo "=== lane $lane: $([ $status -eq 0 ] && echo passed || echo FAILED) in $(( $(date +%s) - start )) s"
    [ $status -eq 0 ] || failed+=("$lane")
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED lanes: ${failed[*]}"
    exit 1
fi
echo "all lanes passed: ${lanes[*]}"
