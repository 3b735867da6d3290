#!/usr/bin/env bash
# Installs what the build needs on Debian 12, and only what is missing.
#   scripts/install-deps.sh linux     the native lane (default)
#   scripts/install-deps.sh windows   the mingw-w64 + Wine lane as well, and
#                                     wixl and msitools for the MSI
#   scripts/install-deps.sh browser   Chromium, Node.js and playwright-core
#                                     for the web console's browser test
#   scripts/install-deps.sh systemd   debootstrap, for the systemd lane
#   scripts/install-deps.sh metrics   Prometheus and promtool, for the
#                                     metrics tests
#   scripts/install-deps.sh deb       dpkg-dev and lintian, for the Debian
#                                     package
#   scripts/install-deps.sh postgres  PostgreSQL 15's programs (no running
#                                     server), for the pgsql plug-in's tests
set -euo pipefail
cd "$(dirname "$0")/.."

lanes=("${@:-linux}")
packages=(cmake ninja-build g++ pkg-config googletest libconfig++-dev systemd bsdutils
          libcpp-httplib-dev libsqlite3-dev libpq-dev netcat-openbsd curl clang-format-14)
for lane in "${lanes[@]}"; do
    case "$lane" in
        linux) ;;
        windows) packages+=(g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev tcl make wixl msitools) ;;
        bench) packages+=(libbenchmark-dev libspdlog-dev python3) ;;
        # llvm-14 brings llvm-symbolizer: without it LeakSanitizer knows no
        # function names and its suppressions cannot match.
        fuzz) packages+=(clang libclang-rt-14-dev llvm-14) ;;
        # debootstrap makes the Debian root the container boots systemd in.
        systemd) packages+=(debootstrap util-linux iproute2 python3) ;;
        # Making the Debian package and checking it.
        deb) packages+=(dpkg-dev lintian gzip) ;;
        metrics) packages+=(iproute2 curl netcat-openbsd) ;;
        # The tests start servers of their own in temporary folders (as the
        # postgres user, which the package creates).
        postgres) packages+=(postgresql-15 iproute2 util-linux) ;;
        browser)
            packages+=(chromium)
            # Debian's Node.js, unless the machine has one already.
            command -v node > /dev/null || packages+=(nodejs)
            command -v npm > /dev/null || packages+=(npm) ;;
        *) echo "unknown lane: $lane" >&2; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Installing the server would also create and start a "main" cluster on
    # port 5432; the tests need only the programs. An existing file is the
    # machine's own choice and stays as it is.
    if [[ " ${missing[*]} " == *" postgresql-15 "* ]] && [ ! -e /etc/postgresql-common/createcluster.conf ]; then
        mkdir -p /etc/postgresql-common
        echo "create_main_cluster = false" > /etc/postgresql-common/createcluster.conf
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# playwright-core from npm, at the version the lock file names; it drives
# Debian's Chromium and downloads no browser of its own.
for lane in "${lanes[@]}"; do
    if [ "$lane" = browser ] && [ ! tests/browser/node_modules/.package-lock.json -nt tests/browser/package-lock.json ]; then
        (cd tests/browser && npm ci --no-audit --no-fund --loglevel=error)
    fi
done

# Prometheus and promtool for the metrics tests: Debian's package unpacked
# into a cache, not installed, since installing it starts a Prometheus
# server on the machine. Its two programs need nothing but the C library.
prometheus_cache=/var/cache/ostra/prometheus
for lane in "${lanes[@]}"; do
    if [ "$lane" = metrics ] && [ ! -x "$prometheus_cache/usr/bin/prometheus" ]; then
        download=$(mktemp -d)
        chmod 755 "$download"  # apt downloads as its own user
        (cd "$download" && apt-get download -qq prometheus 2> /dev/null) ||
            { apt-get update -qq && (cd "$download" && apt-get download -qq prometheus); }
        mkdir -p "$prometheus_cache"
        dpkg-deb -x "$download"/prometheus_*.deb "$prometheus_cache"
        rm -rf "$download"
    fi
done
