#!/usr/bin/env bash
# Builds libconfig++ for Windows with the mingw-w64 posix toolchain from
# Debian's source package, once: the result is cached in PREFIX (default
# build/windows/deps/libconfig) and a second run does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
prefix=$(realpath -m "${1:-build/windows/deps/libconfig}")
if [ -f "$prefix/.built" ]; then
    exit 0
fi

. scripts/deb-src.sh
enable_deb_src
work="$prefix.src"
source_dir=$(fetch_source libconfig "$work")
[ -n "$source_dir" ] || { echo "libconfig source not found in $work" >&2; exit 1; }

cd "$source_dir"
./configure --host=x86_64-w64-mingw32 --prefix="$prefix" \
    CC=x86_64-w64-mingw32-gcc-posix CXX=x86_64-w64-mingw32-g++-posix \
    --disable-examples --disable-tests > "$work/configure.log" 2>&1 ||
    { tail -30 "$work/configure.log"; exit 1; }
make -C lib -j"$(nproc)" MAKEINFO=true > "$work/make.log" 2>&1 || { tail -30 "$work/make.log"; exit 1; }
make -C lib install MAKEINFO=true > "$work/install.log" 2>&1 || { tail -30 "$work/install.log"; exit 1; }
rm -rf "$work"
touch "$prefix/.built"
echo "libconfig for Windows built in $prefix"
