#!/usr/bin/env bash
# Builds the windows lane and puts together the folder a user copies to a
# Windows machine, build/windows/package/OstraService, and the same as
# build/windows/package/OstraService.zip.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh linux windows
scripts/build.sh windows
cmake --build build/windows --target package_folder
echo "Windows package: $PWD/build/windows/package/OstraService"
ls -l build/windows/package/OstraService build/windows/package/OstraService.zip
