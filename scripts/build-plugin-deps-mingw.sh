#!/usr/bin/env bash
# The bundled plug-ins' libraries for the windows lane, from Debian's source
# packages, once (cached in DIR, default build/windows/deps):
#   DIR/httplib/httplib.h   cpp-httplib's single header (Debian's binary
#                           package ships it split, with a Linux library)
#   DIR/sqlite/sqlite3.c    SQLite's amalgamation, made from the source
#                           tree with its own tools; compiled into the plug-in
set -euo pipefail
cd "$(dirname "$0")/.."
deps=$(realpath -m "${1:-build/windows/deps}")
. scripts/deb-src.sh

if [ ! -f "$deps/httplib/.built" ]; then
    enable_deb_src
    source_dir=$(fetch_source cpp-httplib "$deps/httplib.src")
    mkdir -p "$deps/httplib"
    cp "$source_dir/httplib.h" "$source_dir/LICENSE" "$deps/httplib/"
    rm -rf "$deps/httplib.src"
    touch "$deps/httplib/.built"
fi

if [ ! -f "$deps/sqlite/.built" ]; then
    enable_deb_src
    work="$deps/sqlite.src"
    source_dir=$(fetch_source sqlite3 "$work")
    mkdir -p "$work/build"
    (cd "$work/build" && "$source_dir/configure" --disable-tcl > configure.log 2>&1 &&
        make sqlite3.c > make.log 2>&1) ||
        { tail -30 "$work/build/configure.log" "$work/build/make.log" 2>/dev/null; exit 1; }
    mkdir -p "$deps/sqlite"
    cp "$work/build/sqlite3.c" "$work/build/sqlite3.h" "$deps/sqlite/"
    rm -rf "$work"
    touch "$deps/sqlite/.built"
fi
