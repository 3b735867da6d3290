#!/usr/bin/env bash
# Configures and builds one lane into build/<lane>.
#   scripts/build.sh linux|asan|tsan|windows
set -euo pipefail
cd "$(dirname "$0")/.."
lane=${1:-linux}
options=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "$lane" in
    linux) options+=(-DOSTRA_BROWSER_TESTS=ON) ;;
    asan) options+=(-DOSTRA_SANITIZER=address -DCMAKE_BUILD_TYPE=Debug) ;;
    tsan) options+=(-DOSTRA_SANITIZER=thread -DCMAKE_BUILD_TYPE=Debug) ;;
    windows)
        scripts/build-libconfig-mingw.sh build/windows/deps/libconfig
        scripts/build-plugin-deps-mingw.sh build/windows/deps
        # Cached outside build/, where a clean build folder does not lose it.
        libpq=$(scripts/build-libpq-mingw.sh)
        options+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-posix.cmake"
                  -DOSTRA_WINDOWS_DEPS="$PWD/build/windows/deps/libconfig"
                  -DOSTRA_WINDOWS_SOURCES="$PWD/build/windows/deps"
                  -DOSTRA_WINDOWS_LIBPQ="$libpq") ;;
    *) echo "unknown lane: $lane" >&2; exit 2 ;;
esac
mkdir -p "build/$lane"
cmake -S . -B "build/$lane" "${options[@]}" > "build/$lane/configure.log" 2>&1 ||
    { cat "build/$lane/configure.log"; exit 1; }
cmake --build "build/$lane"
