# Sourced by the scripts that build Windows libraries from Debian's source
# packages: makes sure apt-get source works (a deb-src entry for the suites
# the machine already uses).
enable_deb_src() {
    if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
        return 0
    fi
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/ostra-deb-src.sources
    else
        grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
            > /etc/apt/sources.list.d/ostra-deb-src.list
    fi
    apt-get update -qq
}

# Unpacks Debian's source package $1 into the folder $2 and prints the
# unpacked tree's path. $3, when given, is the exact version to take: the
# index may name a newer one whose files the mirror no longer has.
fetch_source() {
    local package=$1 work=$2 version=${3:-}
    rm -rf "$work"
    mkdir -p "$work"
    (cd "$work" && apt-get source -qq "$package${version:+=$version}" > apt-source.log 2>&1) ||
        { cat "$work/apt-source.log" >&2; return 1; }
    find "$work" -mindepth 1 -maxdepth 1 -type d | head -n1
}
