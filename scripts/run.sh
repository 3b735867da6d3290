#!/usr/bin/env bash
# Builds the linux lane and runs the host on its bundled default
# configuration. Until the host executable exists, it builds everything and
# shows what was built.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux
scripts/build.sh linux
if [ -x build/linux/bin/OstraService ]; then
    cd build/linux/bin && exec ./OstraService console
fi
echo "Built the libraries and plug-ins in build/linux/bin:"
ls build/linux/bin
echo "Usage (once the host is built): OstraService INSTALL | UNINSTALL | REMOVE | START | STOP | CONSOLE"
