#!/usr/bin/env bash
# Builds build/package/OstraService-<version>-x64.msi from the windows
# package folder (made by scripts/package-windows.sh when it is missing).
#   OSTRA_PACKAGE_VERSION      another version than the one in VERSION
#   OSTRA_WINDOWS_PACKAGE_DIR  another package folder (the tests pass the lane's)
#   OSTRA_PACKAGE_OUTPUT_DIR   another output folder
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
version=${OSTRA_PACKAGE_VERSION:-$(tr -d '[:space:]' < VERSION)}
package_dir=${OSTRA_WINDOWS_PACKAGE_DIR:-$root/build/windows/package/OstraService}
output_dir=${OSTRA_PACKAGE_OUTPUT_DIR:-$root/build/package}
# Windows Installer compares only major.minor.build, each a small number.
[[ "$version" =~ ^[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,5}$ ]] ||
    { echo "make-msi: version '$version' is not major.minor.build" >&2; exit 2; }

command -v wixl > /dev/null && command -v msibuild > /dev/null || scripts/install-deps.sh windows
[ -f "$package_dir/OstraService.exe" ] || scripts/package-windows.sh

mkdir -p "$output_dir"
output_dir=$(cd "$output_dir" && pwd)
msi="$output_dir/OstraService-$version-x64.msi"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/OstraService"
mkdir "$stage"
# Only what the package folder is made of: programs, libraries, the
# configuration and VERSION; nothing a test may have left there.
cp "$package_dir"/*.exe "$package_dir"/*.dll "$package_dir/OstraService.cfg" "$stage/"
# Licences of what is shipped with it (libpq's).
cp "$package_dir"/*.txt "$stage/" 2> /dev/null || true
# The pgsql plug-in does not load without the libpq.dll beside it.
[ ! -f "$stage/pgsql.dll" ] || [ -f "$stage/libpq.dll" ] ||
    { echo "make-msi: pgsql.dll without libpq.dll in $package_dir" >&2; exit 1; }
printf '%s\n' "$version" > "$stage/VERSION"

# The MSI's configuration: the service runs as LocalService and keeps its log
# and records.db in ProgramData, the one folder that account may write.
# Each edit must hit, or the shipped file would silently differ.
data='C:\\ProgramData\\OstraService'
edit() {
    local before after
    before=$(md5sum < "$stage/OstraService.cfg")
    sed -i "$1" "$stage/OstraService.cfg"
    after=$(md5sum < "$stage/OstraService.cfg")
    [ "$before" != "$after" ] || { echo "make-msi: the configuration has no match for $1" >&2; exit 1; }
}
edit 's|stored in records.db beside the executable|stored in '"$data"'\\records.db|'
edit 's|^\( *\)# account = "[^"]*";|\1account = "NT AUTHORITY\\\\LocalService";|'
edit 's|\(type = "FILE"; path = \)""|\1"'"${data//\\/\\\\}"'"|'
edit 's|path = "records.db"|path = "'"${data//\\/\\\\}"'\\\\records.db"|'

# One component per program file; wixl derives each one's GUID from its path,
# so upgrades see the same components.
files= refs=
for path in "$stage"/*.exe "$stage"/*.dll "$stage"/*.txt "$stage/VERSION"; do
    [ -e "$path" ] || continue
    name=$(basename "$path")
    id=$( [ "$name" = OstraService.exe ] && echo OstraServiceExe || echo "f_${name//[^A-Za-z0-9]/_}")
    control=
    [ "$id" = OstraServiceExe ] &&
        control='<ServiceControl Id="OstraService" Name="OstraService" Start="install" Stop="both" Wait="yes"/>'
    files+="          <Component Id=\"$id\" Guid=\"*\" Win64=\"yes\"><File Id=\"$id\" Name=\"$name\" Source=\"OstraService/$name\" KeyPath=\"yes\"/>$control</Component>"$'\n'
    refs+="      <ComponentRef Id=\"$id\"/>"$'\n'
done
template="$root/packaging/msi/OstraService.wxs"
awk -v files="$files" -v refs="$refs" \
    '/^@PROGRAM_FILES@$/ { printf "%s", files; next }
     /^@PROGRAM_COMPONENT_REFS@$/ { printf "%s", refs; next } { print }' \
    "$template" > "$work/OstraService.wxs"

# wixl takes sources relative to the folder it runs in.
(cd "$work" && wixl --arch x64 -D Version="$version" -D StageDir=OstraService \
    -o OstraService.msi OstraService.wxs)

# What wixl 0.101 cannot write, written into its tables:
# - the configuration's component NeverOverwrite (128) and Permanent (16),
#   beside 64-bit (256): an upgrade keeps the operator's file, the uninstaller
#   leaves it;
# - the old product removed right after InstallValidate, not after
#   InstallFinalize: the old service and files are gone before the new ones
#   come, so "install" finds no service and no file is judged by its dates;
# - a rebuild of the same version replaces the installed one
#   (VersionMaxInclusive), as each build has a product code of its own;
# - the rollback actions' type: wixl drops Execute="rollback" (3410: an
#   executable from an installed file, ignoring its exit code, deferred,
#   rollback, not impersonated);
# - the data folder's access list (MsiLockPermissionsEx, Windows Installer 5):
#   LocalSystem and Administrators full control, LocalService modify, no one
#   else, not inherited from ProgramData (whose Users may create files).
cat > "$work/MsiLockPermissionsEx.idt" <<IDT
MsiLockPermissionsEx	LockObject	Table	SDDL	Condition
s72	s72	s32	l0	S255
MsiLockPermissionsEx	MsiLockPermissionsEx
DataFolderAccess	DATADIR	CreateFolder	D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;LS)	
IDT
# Attributes is part of the Upgrade table's key, which UPDATE cannot change.
msiinfo export "$work/OstraService.msi" Upgrade |
    awk -F '\t' -v OFS='\t' '$7 ~ /^WIX_UPGRADE_DETECTED\r?$/ && $5 == "1" { $5 = "513" } { print }' \
    > "$work/Upgrade.idt"
grep -q $'\t513\t\tWIX_UPGRADE_DETECTED' "$work/Upgrade.idt" ||
    { echo "make-msi: no upgrade row in wixl's Upgrade table" >&2; exit 1; }
msibuild "$work/OstraService.msi" -i "$work/Upgrade.idt" \
    -q "UPDATE Component SET Attributes = 400 WHERE Component = 'Configuration'" \
    -q "UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'RemoveExistingProducts'" \
    -q "UPDATE CustomAction SET Type = 3410 WHERE Action = 'UndoUnregisterBeforeInstall' OR Action = 'UndoRegisterService' OR Action = 'UndoUnregisterService'" \
    -i "$work/MsiLockPermissionsEx.idt"
mv "$work/OstraService.msi" "$msi"
echo "MSI: $msi ($(du -k "$msi" | cut -f1) KiB)"
