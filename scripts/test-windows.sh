#!/usr/bin/env bash
# Runs the windows lane's tests (built by scripts/build.sh windows) under
# Wine, in the lane's private prefix, inside one Wine session that this
# script starts before CTest and ends after it.
set -uo pipefail
cd "$(dirname "$0")/../build/windows"
export WINEPREFIX="$PWD/wineprefix"
export WINEDEBUG=-all
../../cmake/wine-session.sh start
ctest --output-on-failure -j"$(nproc)" "$@"
status=$?
../../cmake/wine-session.sh stop
exit $status
