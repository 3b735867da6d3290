#!/usr/bin/env bash
# The MSI as an operator uses it, in a brand-new Wine prefix: built twice
# from the lane's package folder (this version and a newer one), checked for
# what it holds, installed (the service runs as registered by the exe and
# stores a record), installed again, upgraded over an edited configuration,
# and, with the service stopped by hand, uninstalled; then once more
# installed and uninstalled after the service was deleted by hand.
#   run-msi-test.sh PACKAGE_FOLDER
set -euo pipefail
package_dir=$(realpath "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "$0")/fresh-wine-prefix.sh"
started=$(date +%s)
fail() { echo "FAIL: $*"; exit 1; }

version=$(tr -d '[:space:]' < "$root/VERSION")
newer=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 + 1 }')
for v in "$version" "$newer"; do
    OSTRA_PACKAGE_VERSION=$v OSTRA_WINDOWS_PACKAGE_DIR=$package_dir OSTRA_PACKAGE_OUTPUT_DIR=$scratch \
        "$root/packaging/msi/make-msi.sh" > /dev/null
done
msi="$scratch/OstraService-$version-x64.msi"
newer_msi="$scratch/OstraService-$newer-x64.msi"
echo "msi: $(du -k "$msi" | cut -f1) KiB"

# What the MSI holds: the programs and the configuration, nothing a test made.
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r'; }
files=$(table "$msi" File | cut -f3)
for expected in OstraService.exe OstraService.cfg tcpline.dll sqlite.dll pgsql.dll libpq.dll libpq-COPYRIGHT.txt webcontrol.dll VERSION; do
    grep -qx "$expected" <<< "$files" || fail "the MSI has no $expected"
done
unwanted=$(grep -iE 'test|probe|\.db|\.log|wal|shm' <<< "$files" || true)
[ -z "$unwanted" ] || fail "the MSI holds $unwanted"
msiinfo suminfo "$msi" | grep -q '^Template: x64;' || fail "not a 64-bit package"
product_code() { table "$1" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }'; }
[ "$(product_code "$msi")" != "$(product_code "$newer_msi")" ] || fail "both builds have one product code"
# Wine applies no access list; what can be checked is that the MSI asks for it.
table "$msi" MsiLockPermissionsEx | grep -q 'DATADIR.*(A;OICI;0x1301bf;;;LS)' ||
    fail "no modify access for LocalService on the data folder"

boot_wine_prefix
program="$WINEPREFIX/drive_c/Program Files/OstraService"
data="$WINEPREFIX/drive_c/ProgramData/OstraService"
# 3010 is success with a restart asked for (a file was in use); any other
# failure prints the code and the installer's own error lines.
msiexec() {
    local status=0
    wine msiexec "$@" /qn /l*v 'C:\msiexec.log' < /dev/null > /dev/null 2>&1 || status=$?
    [ $status -eq 0 ] || [ $status -eq 3010 ] && return 0
    echo "msiexec $* exited $status; from its log:"
    tr -d '\0\r' < "$WINEPREFIX/drive_c/msiexec.log" |
        grep -E 'Return value 3|Error [0-9]|error|failed' | tail -20 || true
    return 1
}
state() { wine sc query OstraService < /dev/null 2> /dev/null | tr -d '\r' | awk '/STATE/ { print $4 }'; }
send_record() {
    local answer=
    for _ in $(seq 1 100); do
        answer=$( (exec 3<>/dev/tcp/127.0.0.1/7765 && echo "CALLER=201;SECONDS=42" >&3 &&
                   timeout 5 head -1 <&3 | tr -d '\r') 2>/dev/null) && [ -n "$answer" ] && break
        sleep 0.2
    done
    echo "$answer"
}
products() {
    wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s < /dev/null 2> /dev/null |
        tr -d '\r' | awk '/DisplayName .*OstraService$/ { found = 1; next }
                          found && /DisplayVersion/ { print $3; found = 0 }'
}
service_key='HKLM\SYSTEM\CurrentControlSet\Services\OstraService'
source_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\OstraService'

msiexec /i "$(winepath -w "$msi")" || fail "msiexec /i failed"
[ "$(state)" = RUNNING ] || fail "after install the service is '$(state)'"
registry=$(wine reg query "$service_key" < /dev/null | tr -d '\r')
grep -q 'ObjectName.*NT AUTHORITY\\LocalService' <<< "$registry" || fail "not registered as LocalService: $registry"
grep -q 'Start.*0x2$' <<< "$registry" || fail "not started automatically: $registry"
grep -q 'ImagePath.*C:\\Program Files\\OstraService\\OstraService.exe' <<< "$registry" ||
    fail "not the installed executable: $registry"
wine reg query "$source_key" < /dev/null > /dev/null 2>&1 || fail "no event source"
[ "$(send_record)" = "0;ROW_ID=1" ] || fail "the first record was not stored"
[ -s "$data/records.db" ] && [ -s "$data/OstraService.log" ] || fail "no records.db and log in ProgramData"
[ ! -e "$program/records.db" ] && [ ! -e "$program/OstraService.log" ] || fail "data written beside the program"

# The same MSI again: a repair at most, and the product stays whole.
msiexec /i "$(winepath -w "$msi")" || fail "the second msiexec /i of one MSI failed"
[ "$(state)" = RUNNING ] || fail "after the second install the service is '$(state)'"
[ "$(products)" = "$version" ] || fail "installed products after the second install: $(products)"

printf '# edited by the operator\r\n' >> "$program/OstraService.cfg"
msiexec /i "$(winepath -w "$newer_msi")" || fail "the upgrade failed"
[ "$(products)" = "$newer" ] || fail "installed products after the upgrade: $(products)"
[ "$(tr -d '[:space:]' < "$program/VERSION")" = "$newer" ] || fail "the upgrade left the old files"
grep -q '^# edited by the operator' "$program/OstraService.cfg" || fail "the upgrade lost the edit"
[ "$(state)" = RUNNING ] || fail "after the upgrade the service is '$(state)'"
[ "$(send_record)" = "0;ROW_ID=2" ] || fail "after the upgrade the earlier row is gone or no record was stored"

wine sc stop OstraService < /dev/null > /dev/null 2>&1
for _ in $(seq 1 50); do [ "$(state)" = STOPPED ] && break; sleep 0.2; done
[ "$(state)" = STOPPED ] || fail "the service did not stop by hand"
msiexec /x "$(winepath -w "$newer_msi")" || fail "msiexec /x failed"
[ -z "$(state)" ] || fail "after uninstall the service is '$(state)'"
! wine reg query "$source_key" < /dev/null > /dev/null 2>&1 || fail "the event source is left"
[ -z "$(products)" ] || fail "still installed: $(products)"
left=$(ls "$program")
[ "$left" = OstraService.cfg ] || fail "left in the program folder: $left"
grep -q '^# edited by the operator' "$program/OstraService.cfg" || fail "the edited configuration is gone"
[ -s "$data/records.db" ] || fail "the records are gone"

# A service deleted by hand does not block the uninstall, nor keep its event source.
msiexec /i "$(winepath -w "$newer_msi")" || fail "msiexec /i after the uninstall failed"
[ "$(state)" = RUNNING ] || fail "after the reinstall the service is '$(state)'"
wine sc stop OstraService < /dev/null > /dev/null 2>&1
for _ in $(seq 1 50); do [ "$(state)" = STOPPED ] && break; sleep 0.2; done
wine sc delete OstraService < /dev/null > /dev/null 2>&1 || fail "sc delete failed"
msiexec /x "$(winepath -w "$newer_msi")" || fail "msiexec /x of a service deleted by hand failed"
[ -z "$(products)" ] || fail "still installed: $(products)"
! wine reg query "$source_key" < /dev/null > /dev/null 2>&1 || fail "the event source of a deleted service is left"
echo "msi ok: installed, served, installed again, upgraded with the edit kept, uninstalled twice ($(( $(date +%s) - started )) s)"
