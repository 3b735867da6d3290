#!/usr/bin/env bash
# Copies the Windows package folder and a program into a scratch folder and
# runs the program there in a brand-new Wine prefix, with nothing on its
# path but its own folder: what a user gets who copies the folder to a
# Windows machine.
#   run-package-test.sh PACKAGE_DIR PROGRAM.exe [ARGS...]   (expects "package ok")
set -euo pipefail
package=$1
program=$2
shift 2

source "$(dirname "$0")/fresh-wine-prefix.sh"

cp -r "$package" "$scratch/app"
cp "$program" "$scratch/app/"
boot_wine_prefix

cd "$scratch/app"
output=$(wine "./$(basename "$program")" "$@" </dev/null 2>&1 | tr -d '\r')
echo "$output"
grep -q "^package ok" <<<"$output"
[ -s probe.log ] || { echo "the program wrote no log beside itself"; exit 1; }
