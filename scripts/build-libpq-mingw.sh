#!/usr/bin/env bash
# Builds libpq for Windows with the mingw-w64 posix toolchain from Debian's
# postgresql-15 source package, once, and prints the prefix it lies in:
#   PREFIX/include    libpq-fe.h, libpq-events.h and the headers they include
#   PREFIX/lib        libpq.dll.a, the DLL's import library
#   PREFIX/bin        libpq.dll, which needs only Windows' own DLLs
#   PREFIX/COPYRIGHT  PostgreSQL's licence, which goes with every copy
# The default PREFIX is /var/cache/ostra/libpq-mingw-<source version>,
# outside the build folders: the build takes minutes and a clean build
# folder should not repeat it. A second run only prints the prefix.
#   scripts/build-libpq-mingw.sh [PREFIX]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deb-src.sh

package=postgresql-15
if [ -n "${1:-}" ]; then
    prefix=$(realpath -m "$1")
    parent=$(dirname "$prefix")
else
    prefix=
    parent=/var/cache/ostra
fi
cached() {
    if [ -n "$prefix" ]; then
        [ -f "$prefix/.built" ] && echo "$prefix"
    else
        # Any version the index still names will do: no download to find out
        # which one the mirror serves once one is built.
        local version
        for version in "${versions[@]}"; do
            [ -f "$parent/libpq-mingw-$version/.built" ] && { echo "$parent/libpq-mingw-$version"; return 0; }
        done
        return 1
    fi
}

# The versions of the source package the index names, newest first.
mapfile -t versions < <(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -ruV)
cached && exit 0
if [ ${#versions[@]} -eq 0 ]; then
    enable_deb_src
    mapfile -t versions < <(apt-cache showsrc "$package" 2>/dev/null | sed -n 's/^Version: //p' | sort -ruV)
    [ ${#versions[@]} -gt 0 ] || { echo "apt knows no source package $package" >&2; exit 1; }
fi

# One build at a time; a run that waited here finds the other's result.
mkdir -p "$parent"
exec 9> "$parent/.libpq-mingw.lock"
flock 9
cached && exit 0
# A build killed outright leaves its temporary folder: nobody else uses it now.
rm -rf "$parent"/.libpq-mingw-build.*
work=$(mktemp -d "$parent/.libpq-mingw-build.XXXXXX")
chmod 755 "$work" # apt downloads as its own user
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# The newest version whose files the mirror still has: the index can name
# one that a newer upload has already replaced there.
source_dir= version=
for candidate in "${versions[@]}"; do
    if source_dir=$(fetch_source "$package" "$work/src" "$candidate" 2> "$work/fetch.log"); then
        version=$candidate
        break
    fi
    echo "$package $candidate: source not on the mirror, trying an older one" >&2
done
[ -n "$version" ] && [ -n "$source_dir" ] ||
    { cat "$work/fetch.log" >&2; echo "no source of $package could be fetched" >&2; exit 1; }
[ -n "$prefix" ] || prefix=$parent/libpq-mingw-$version
echo "Building libpq $version for Windows into $prefix" >&2

# libpq alone, without the optional libraries: none of them is in Debian for
# mingw, and the plug-in needs none (no TLS, no Kerberos, no LDAP lookup).
(cd "$source_dir" &&
    ./configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
        --without-readline --without-zlib --without-icu --without-openssl \
        --without-ldap --without-gssapi > "$work/configure.log" 2>&1) ||
    { tail -30 "$work/configure.log" >&2; exit 1; }
make -C "$source_dir/src/interfaces/libpq" -j"$(nproc)" > "$work/make.log" 2>&1 ||
    { tail -30 "$work/make.log" >&2; exit 1; }

stage=$work/prefix
mkdir -p "$stage/include" "$stage/lib" "$stage/bin"
libpq=$source_dir/src/interfaces/libpq
cp "$libpq/libpq-fe.h" "$libpq/libpq-events.h" "$source_dir/src/include/postgres_ext.h" \
    "$source_dir/src/include/pg_config_ext.h" "$stage/include/"
cp "$libpq/libpq.dll" "$stage/bin/"
# On Windows the build's libpq.a is the DLL's import library.
cp "$libpq/libpq.a" "$stage/lib/libpq.dll.a"
cp "$source_dir/COPYRIGHT" "$stage/"

# Shipped beside the host as it is: a DLL of the mingw runtime among its
# imports would have to be shipped as well.
imports=$(x86_64-w64-mingw32-objdump -p "$stage/bin/libpq.dll" | sed -n 's/^\s*DLL Name: //p')
foreign=$(grep -viE '^(advapi32|crypt32|kernel32|msvcrt|secur32|shell32|user32|wldap32|ws2_32|api-ms-win-.*)\.dll$' \
    <<< "$imports" || true)
[ -z "$foreign" ] || { echo "libpq.dll needs more than Windows' own DLLs: $foreign" >&2; exit 1; }

echo "$version" > "$stage/VERSION"
touch "$stage/.built"
rm -rf "$prefix"
mv -T "$stage" "$prefix"
echo "libpq $version for Windows built in $prefix (imports: $(xargs <<< "$imports"))" >&2
echo "$prefix"
