#!/usr/bin/env bash
# Makes build/package/ostraservice_<version>_amd64.deb for Debian 12 from a
# linux build: the executable, our two libraries, the bundled plug-ins and
# a VERSION file under /opt/ostraservice; the configuration in
# /etc/ostraservice (put there by postinst from the default in
# /usr/share/ostraservice, linked beside the executable, where the host
# reads it); the unit; the README and the plug-in guide. Nothing
# else of the build folder: no test programs, no database a test made.
# Called by scripts/package.sh (which says which build it takes).
set -euo pipefail
cd "$(dirname "$0")/../.."
source_dir=$PWD
version=${OSTRA_PACKAGE_VERSION:-$(head -1 VERSION)}
build=${OSTRA_LINUX_BUILD:-build/package/linux}
out=$source_dir/build/package
scripts/install-deps.sh linux deb

# The bundled plug-ins; pgsql where the tree has it (its libpq comes from
# Debian, as libpq5 among the dependencies).
plugins=(tcpline sqlite webcontrol)
if grep -q '^ostra_add_plugin(pgsql ' bundled/CMakeLists.txt; then
    plugins+=(pgsql)
fi

if [ -z "${OSTRA_LINUX_BUILD:-}" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSTRA_BUILD_TESTS=OFF \
        > /dev/null
    cmake --build "$build" --target OstraService "${plugins[@]}"
fi
bin=$build/bin
[ -x "$bin/OstraService" ] || { echo "no executable in $bin" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
root=$stage/root
app=$root/opt/ostraservice
doc=$root/usr/share/doc/ostraservice
mkdir -p "$app" "$root/etc/ostraservice" "$root/lib/systemd/system" "$doc" \
    "$root/usr/share/lintian/overrides" "$root/DEBIAN"

install -m 0755 "$bin/OstraService" "$app/"
install -m 0644 "$bin/libostracommon.so.1" "$bin/liblog.so.1" "$app/"
for plugin in "${plugins[@]}"; do
    install -m 0644 "$bin/$plugin.so" "$app/"
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$app/OstraService" \
    "$app"/*.so*
echo "$version" > "$app/VERSION"
chmod 0644 "$app/VERSION"
# The host reads its configuration beside itself; dpkg keeps an operator's
# edits to the real file in /etc. The status and reload channels lie in the service's
# runtime folder: the links let `OstraService status` and `reload` find them.
ln -s /etc/ostraservice/OstraService.cfg "$app/OstraService.cfg"
ln -s /run/ostraservice/OstraService.status "$app/OstraService.status"
ln -s /run/ostraservice/OstraService.reload "$app/OstraService.reload"

# The sample configuration, with the log and the database where the
# service's user may write them and an operator looks for them. It is no
# conffile: postinst copies it into /etc and takes an operator's edits
# into account without a question (an unattended upgrade never stops at a
# prompt). OSTRA_PACKAGE_CONFIG_NOTE, when set, is added to it as a
# comment: the test's way of shipping a changed default.
config=$root/usr/share/ostraservice/OstraService.cfg
mkdir -p "$(dirname "$config")"
sed -e 's|^# stored in records.db beside the executable;|# stored in /var/lib/ostraservice/records.db;|' \
    -e 's|path = ""; level|path = "/var/log/ostraservice"; level|' \
    -e 's|path = "records.db"|path = "/var/lib/ostraservice/records.db"|' \
    "$bin/OstraService.cfg" > "$config"
for placed in '/var/lib/ostraservice/records.db;' 'path = "/var/log/ostraservice"' \
    'path = "/var/lib/ostraservice/records.db"'; do
    grep -qF "$placed" "$config" || { echo "the sample configuration changed: $placed" >&2; exit 1; }
done
[ -z "${OSTRA_PACKAGE_CONFIG_NOTE:-}" ] || echo "# $OSTRA_PACKAGE_CONFIG_NOTE" >> "$config"
chmod 0644 "$config"

install -m 0644 packaging/deb/OstraService.service packaging/deb/OstraService.socket \
    "$root/lib/systemd/system/"
install -m 0644 packaging/deb/lintian-overrides "$root/usr/share/lintian/overrides/ostraservice"
install -m 0644 packaging/deb/copyright "$doc/copyright"
install -D -m 0644 packaging/prometheus/ostraservice.rules.yml \
    "$root/usr/share/ostraservice/prometheus/ostraservice.rules.yml"
# The server's side of many sites in one PostgreSQL table.
install -D -m 0644 -t "$root/usr/share/ostraservice/postgresql" \
    packaging/postgresql/ostraservice-server.sql packaging/postgresql/ostraservice-site.sql
# The second sample (a site storing into a central PostgreSQL server), with
# its log where the service may write it.
if [ -f "$bin/OstraService.pgsql.cfg" ]; then
    mkdir -p "$doc/examples"
    sed -e 's|path = ""; level|path = "/var/log/ostraservice"; level|' \
        -e 's|spool = "pgsql-spool.db"|spool = "/var/lib/ostraservice/pgsql-spool.db"|' \
        "$bin/OstraService.pgsql.cfg" > "$doc/examples/OstraService.pgsql.cfg"
    grep -qF '/var/lib/ostraservice/pgsql-spool.db' "$doc/examples/OstraService.pgsql.cfg" ||
        { echo "the pgsql sample changed: no spool key" >&2; exit 1; }
    chmod 0644 "$doc/examples/OstraService.pgsql.cfg"
fi
gzip -9n < README.md > "$doc/README.md.gz"
gzip -9n < docs/plugins.md > "$doc/plugins.md.gz"
# The date of the commit the package is built from: the same tree gives the same package.
when=$(git log -1 --format=%cD 2>/dev/null || date -R)
printf 'ostraservice (%s) stable; urgency=medium\n\n  * Built from the OstraService tree.\n\n -- %s  %s\n' \
    "$version" "OstraService developers <ostraservice@packages.invalid>" "$when" |
    gzip -9n > "$doc/changelog.gz"
find "$doc" -type f -exec chmod 0644 {} +
find "$doc" -type d -exec chmod 0755 {} +

# What the binaries need, as Debian names it (libc6, libconfig++9v5, ...).
# Our own two libraries come with the package and are no dependency.
mkdir -p "$stage/shlibs/debian"
printf 'Source: ostraservice\n\nPackage: ostraservice\nArchitecture: amd64\n' \
    > "$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O --ignore-missing-info -l"$app" \
    "$app/OstraService" "$app"/*.so* 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "dpkg-shlibdeps found no dependencies" >&2; exit 1; }

databases="the SQLite database"
[[ " ${plugins[*]} " != *" pgsql "* ]] || databases="the SQLite and PostgreSQL databases"
cat > "$root/DEBIAN/control" <<CONTROL
Package: ostraservice
Version: $version
Architecture: amd64
Maintainer: OstraService developers <ostraservice@packages.invalid>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends, passwd
Section: net
Priority: optional
Description: plug-in host relaying records between protocols and databases
 OstraService loads protocol, database and control plug-ins and relays
 key/value records from each protocol to its databases. This package runs
 it as a systemd service under its own user, with the bundled TCP line
 protocol, $databases and the web console.
CONTROL
install -m 0755 packaging/deb/postinst packaging/deb/prerm packaging/deb/postrm "$root/DEBIAN/"

mkdir -p "$out"
deb=$out/ostraservice_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" > /dev/null
echo "Debian package: $deb ($(du -k "$deb" | cut -f1) KiB)"
