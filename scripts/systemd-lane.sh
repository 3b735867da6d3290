#!/usr/bin/env bash
# The systemd lane: boots a real systemd as PID 1 in a container made from
# Debian 12, installs the linux build there and drives it with the real
# systemctl: install, start, a record stored, stop/start verbs, a kill and
# the restart, set-up failures, a SIGTERM during start-up, the sandbox's
# exposure figure, remove; then the Debian package installed with apt,
# upgraded under load, removed and purged (tests/package/deb-checks.sh).
# Needs root and a built linux lane.
#   scripts/systemd-lane.sh
# The Debian root is made once (about 5 minutes) and kept outside the
# checkout, in $OSTRA_SYSTEMD_ROOT (default /var/cache/ostra/systemd-root).
set -uo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
root=${OSTRA_SYSTEMD_ROOT:-/var/cache/ostra/systemd-root}
# Installed where a specifier and a blank would break an unescaped unit.
folder='/opt/ostra%h dir'
unit=OstraService

fail() { echo "systemd lane: $*" >&2; exit 1; }

# --- the Debian root ---------------------------------------------------------
mirror() {
    local uri
    uri=$(grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | head -1 | awk '{print $2}')
    [ -n "$uri" ] || uri=$(grep -hs '^deb ' /etc/apt/sources.list | head -1 | awk '{print $2}')
    echo "${uri:-http://deb.debian.org/debian}"
}
if [ ! -f "$root/.ostra-ready" ]; then
    echo "Making the Debian 12 root for systemd in $root (once)"
    rm -rf "$root" && mkdir -p "$root"
    debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,iproute2,libconfig++9v5,libsqlite3-0,libpq5 \
        bookworm "$root" "$(mirror)" > /tmp/ostra-debootstrap.log 2>&1 ||
        { tail -20 /tmp/ostra-debootstrap.log; fail "debootstrap failed"; }
    touch "$root/.ostra-ready"
fi
# The package's libraries must be there before the boot: apt has no network
# in the container. A root made before a library was needed gets it here.
needed=(libconfig++9v5 libsqlite3-0 libpq5)
for package in "${needed[@]}"; do
    if [[ "$(chroot "$root" dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != *"install ok installed"* ]]; then
        (chroot "$root" apt-get update -qq &&
            chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
                --no-install-recommends "${needed[@]}") > /tmp/ostra-root-apt.log 2>&1 ||
            { tail -20 /tmp/ostra-root-apt.log; fail "installing ${needed[*]} in the root failed"; }
        break
    fi
done
# No console to log in on (a serial getty would wait for a device that
# never comes, and the boot would never finish), nothing to wait for online.
chroot "$root" systemctl mask getty.target console-getty.service serial-getty@ttyS0.service \
    systemd-networkd-wait-online.service > /dev/null 2>&1

# --- the build, copied in ----------------------------------------------------
bin=build/linux/bin
[ -x "$bin/OstraService" ] || fail "build the linux lane first (scripts/build.sh linux)"
rm -rf "$root/opt"/ostra*
mkdir -p "$root$folder"
cp "$bin/OstraService" "$bin"/lib*.so.[0-9]* "$bin"/libtestsupport.so "$bin"/{tcpline,sqlite,webcontrol}.so "$bin/OstraService.cfg" \
    "$bin"/{testprotocol,testcontrol}.so "$root$folder/"
rm -f "$root/etc/systemd/system/$unit.service"

# --- the Debian package, and a newer build of it for the upgrade -------------
deb_old_version=$(head -1 VERSION)
deb_new_version=$deb_old_version+upgrade1
deb_old=ostraservice_${deb_old_version}_amd64.deb
deb_new=ostraservice_${deb_new_version}_amd64.deb
rm -rf "$root/var/cache/ostra-debs" && mkdir -p "$root/var/cache/ostra-debs"
for version in "$deb_old_version" "$deb_new_version"; do
    # The newer build ships a changed default configuration.
    note=
    [ "$version" = "$deb_old_version" ] || note="default changed in $version"
    OSTRA_PACKAGE_CONFIG_NOTE=$note OSTRA_LINUX_BUILD=build/linux OSTRA_PACKAGE_VERSION=$version \
        scripts/package.sh deb > /dev/null ||
        fail "the Debian package could not be made"
    cp "build/package/ostraservice_${version}_amd64.deb" "$root/var/cache/ostra-debs/"
done

# --- boot ---------------------------------------------------------------------
boot_log=$(mktemp)
# The root is a private mount of its own: nothing mounted under it in the
# container reaches this machine's mounts. unshare then leaves propagation
# alone (its default, making / private, fails where / is no mount point,
# as in a chroot).
mountpoint -q "$root" || mount --bind "$root" "$root"
mount --make-rprivate "$root"
unshare --pid --fork --mount --propagation unchanged --net bash -c "
    mount -t proc proc '$root/proc'; mount -t sysfs sys '$root/sys'
    mount --rbind /sys/fs/cgroup '$root/sys/fs/cgroup'; mount --rbind /dev '$root/dev'
    mount -t tmpfs tmpfs '$root/run'; ip link set lo up
    exec chroot '$root' /lib/systemd/systemd --system --log-target=console" > "$boot_log" 2>&1 &
container=$!

shutdown() {
    if [ -n "${pid:-}" ]; then
        nsenter -t "$pid" -m -p -n -r -w systemctl poweroff > /dev/null 2>&1
        for _ in $(seq 1 40); do kill -0 "$container" 2>/dev/null || break; sleep 0.5; done
    fi
    kill -9 "$container" 2>/dev/null
    wait "$container" 2>/dev/null
    umount -R "$root" 2>/dev/null || umount -l "$root" 2>/dev/null
    rm -f "$boot_log"
}
trap shutdown EXIT

pid=
for _ in $(seq 1 100); do
    pid=$(pgrep -P "$container" | head -1)
    [ -n "$pid" ] && break
    sleep 0.1
done
[ -n "$pid" ] || fail "systemd did not start: $(cat "$boot_log")"
inside() { nsenter -t "$pid" -m -p -n -r -w "$@"; }
state=
for _ in $(seq 1 120); do
    state=$(inside systemctl is-system-running 2>/dev/null)
    case "$state" in running | degraded) break ;; esac
    sleep 0.5
done
case "$state" in running | degraded) ;; *) fail "systemd did not come up ($state)" ;; esac
echo "systemd $(inside systemctl --version | head -1 | awk '{print $2}') runs as PID 1 ($state)"

# --- the checks ---------------------------------------------------------------
failures=0
check() {  # check "what" command...: passes when the command succeeds
    local what=$1
    shift
    if "$@"; then
        echo "  ok    $what"
    else
        echo "  FAIL  $what"
        failures=$((failures + 1))
    fi
}
host() { inside "$folder/OstraService" "$@" > /dev/null 2>&1; }
active() { [ "$(inside systemctl is-active "$unit")" = "$1" ]; }
# One record over TCP, at once: READY=1 comes only once the port listens.
record_answer() {
    inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/7765 && echo "CALLER=201;SECONDS=42" >&3 &&
                    timeout 5 head -1 <&3' 2>/dev/null
}
# journald takes in a stream's lines on its own time: give it 10 s.
journal_err_has() {
    for _ in $(seq 1 50); do
        # Read whole before grep looks: grep -q leaving at the first match
        # would kill journalctl with SIGPIPE, and pipefail takes that as a miss.
        local errors
        errors=$(inside journalctl -u "$unit" -p err --no-pager -q)
        grep -q "$1" <<< "$errors" && return 0
        sleep 0.2
    done
    # What the journal has of the unit, to tell a missing line from one
    # kept under another priority or without the unit's name.
    inside journalctl -u "$unit" -n 12 --no-pager -o short-precise -q | sed 's/^/        /'
    inside journalctl -n 40 --no-pager -o verbose -q | grep -E "PRIORITY=|_SYSTEMD_UNIT=|MESSAGE=" \
        | grep -B2 "$1" | sed 's/^/        any: /'
    return 1
}
restarts() { inside systemctl show -p NRestarts --value "$unit"; }
write_config() { printf '%s\n' "$1" > "$root$folder/OstraService.cfg"; }

check "install: the unit is written and enabled" host install
check "  the unit is in /etc/systemd/system" test -f "$root/etc/systemd/system/$unit.service"
check "  systemd-analyze verify accepts it" inside systemd-analyze verify "$unit.service"
check "  enabled" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-enabled $unit)\" = enabled ]"
check "install again is refused" bash -c "! nsenter -t $pid -m -p -n -r -w '$folder/OstraService' install > /dev/null 2>&1"

began=$(date +%s%N)
check "systemctl start returns success" inside systemctl start "$unit"
echo "  start to ready: $((($(date +%s%N) - began) / 1000000)) ms"
check "  active" active active
answer=$(record_answer)
check "  a record sent at once is stored ($answer)" test "$answer" = "0;ROW_ID=1"
status_text() { inside systemctl show -p StatusText --value "$unit"; }
expected_status="1/1 protocols running; 1 stored, 0 refused in the last minute"
check "  systemctl status says: $expected_status" bash -c "for i in \$(seq 40); do
    [ \"\$(nsenter -t $pid -m -p -n -r -w systemctl show -p StatusText --value $unit)\" = '$expected_status' ] && exit 0
    sleep 0.25; done; exit 1"
echo "  systemctl status: $(status_text)"
check "  the working folder and the writable folder are the install folder" \
    bash -c "nsenter -t $pid -m -p -n -r -w systemctl show -p WorkingDirectory -p ReadWritePaths $unit |
             grep -c '$folder' | grep -q 2"
# Each connection a protocol serves is a descriptor: the unit raises the limit.
# (What the kernel grants is capped by the container's own hard limit here.)
check "  the unit lets it open 65536 descriptors (LimitNOFILE)" bash -c \
    "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl show -p LimitNOFILE --value $unit)\" = 65536 ]"
exposure=$(inside systemd-analyze security "$unit" --no-pager 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "  systemd-analyze security: exposure ${exposure:-?}"
check "  exposure at most 5.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 5.0) }'

check "the stop verb stops it" host stop
check "  inactive" active inactive
check "the start verb starts it" host start
check "  active" active active

before=$(inside systemctl show -p MainPID --value "$unit")
inside systemctl kill -s KILL "$unit"
for _ in $(seq 1 40); do
    after=$(inside systemctl show -p MainPID --value "$unit")
    [ "$after" != 0 ] && [ "$after" != "$before" ] && active active && break
    sleep 0.5
done
check "killed, it is restarted (Restart=on-failure)" active active
check "  and serves again" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w bash -c 'exec 3<>/dev/tcp/127.0.0.1/7765 && echo CALLER=202 >&3 && timeout 5 head -1 <&3')\" = '0;ROW_ID=2' ]"

inside systemctl stop "$unit"
good_config=$(cat "$root$folder/OstraService.cfg")
write_config 'OstraService: { logs = ( { type = "FILE"; path = ""; } ); protocols = ( ); };'
inside systemctl reset-failed "$unit" 2> /dev/null
check "incomplete configuration: systemctl start fails" bash -c "! nsenter -t $pid -m -p -n -r -w systemctl start $unit 2>/dev/null"
check "  the unit is failed" active failed
check "  the host's line is in journalctl -p err" journal_err_has "definicije parametera"
sleep 7
check "  and it is not restarted ($(restarts) restarts)" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-active $unit)\" = failed ]"

write_config 'OstraService: { logs = ( '
inside systemctl reset-failed "$unit"
check "malformed configuration: systemctl start fails" bash -c "! nsenter -t $pid -m -p -n -r -w systemctl start $unit 2>/dev/null"
check "  the unit is failed" active failed
check "  the host's line is in journalctl -p err" journal_err_has "nije ispravna"
sleep 7
check "  and it is not restarted" active failed

# A set-up that takes 4 s; the stop comes in the middle of it.
write_config "OstraService: { logs = ( { type = \"FILE\"; path = \"\"; } );
    control = { dll = \"testcontrol.so\"; };
    protocols = ( { name = \"SLOW\"; type = \"PBX\"; dll = \"testprotocol.so\"; startDelayMs = 4000;
                    databases = ( ); } ); };"
inside systemctl reset-failed "$unit"
inside systemctl start --no-block "$unit"
sleep 1
started=$(date +%s)
check "SIGTERM during start-up: systemctl stop returns" inside timeout 30 systemctl stop "$unit"
took=$(($(date +%s) - started))
check "  within the set-up's time, not TimeoutStopSec ($took s)" test "$took" -le 10
check "  inactive, not failed" active inactive

# A log folder and a database outside the install folder, as a packaged
# install has them: install grants the log folder, a drop-in the database's.
host remove
logs=/var/log/$unit
data=/var/lib/$unit
rm -rf "$root$logs" "$root$data" && mkdir -p "$root$logs" "$root$data"
printf '%s\n' "$good_config" | sed -e "s|type = \"FILE\"; path = \"\"|type = \"FILE\"; path = \"$logs\"|" \
    -e "s|path = \"records.db\"|path = \"$data/records.db\"|" > "$root$folder/OstraService.cfg"
check "install with the log in $logs" host install
check "  the unit lets it write there" grep -q "ReadWritePaths=\"-$logs\"" "$root/etc/systemd/system/$unit.service"
inside systemctl start "$unit"
check "  sqlite says why it cannot open $data/records.db" journal_err_has "sqlite: cannot open $data/records.db: .*(Read-only file system)"
mkdir -p "$root/etc/systemd/system/$unit.service.d"
printf '[Service]\nReadWritePaths=%s\n' "$data" > "$root/etc/systemd/system/$unit.service.d/data.conf"
inside systemctl daemon-reload
inside systemctl restart "$unit"
answer=$(record_answer)
check "  with a drop-in for $data a record is stored there ($answer)" test "$answer" = "0;ROW_ID=1"
check "  the database is in $data" test -s "$root$data/records.db"
check "  the log is in $logs" grep -q "Service started" "$root$logs/$unit.log"
mv "$root$logs/$unit.log" "$root$logs/$unit.log.1"
inside systemctl kill -s HUP "$unit"
reopened() {
    for _ in $(seq 1 50); do grep -qs "Log file reopened" "$root$logs/$unit.log" && return 0; sleep 0.2; done
    return 1
}
check "SIGHUP (logrotate): a new log file is begun" reopened
check "  and the service still runs" active active
inside systemctl stop "$unit"
rm -rf "$root/etc/systemd/system/$unit.service.d"
inside systemctl daemon-reload

printf '%s\n' "$good_config" > "$root$folder/OstraService.cfg"
check "remove: the unit is gone" host remove
check "  no unit file" test ! -e "$root/etc/systemd/system/$unit.service"
check "  systemd no longer knows it" bash -c "! nsenter -t $pid -m -p -n -r -w systemctl cat $unit > /dev/null 2>&1"

source tests/package/deb-checks.sh

[ "$failures" -eq 0 ] || fail "$failures checks failed"
echo "systemd lane: all checks passed"
