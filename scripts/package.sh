#!/usr/bin/env bash
# Builds what an operator installs, into build/package/:
#   scripts/package.sh        both
#   scripts/package.sh deb    ostraservice_<version>_amd64.deb, for Debian 12
#   scripts/package.sh msi    OstraService-<version>-x64.msi, for Windows
# The version is the one in VERSION. OSTRA_PACKAGE_VERSION gives another
# (the tests make a newer package of the same build that way).
# OSTRA_LINUX_BUILD names a linux build folder to take the files from
# (the lanes pass theirs); without it a release build without the tests is
# made in build/package/linux. The MSI takes the windows lane's package
# folder, building it when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
case "$what" in
    deb) packaging/deb/make-deb.sh ;;
    msi) packaging/msi/make-msi.sh ;;
    all) packaging/deb/make-deb.sh && packaging/msi/make-msi.sh ;;
    *) echo "usage: scripts/package.sh [deb|msi]" >&2; exit 2 ;;
esac
ls -l build/package/*.deb build/package/*.msi 2>/dev/null || true
