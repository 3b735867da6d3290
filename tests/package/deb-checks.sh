# The Debian package in the systemd lane's container, sourced by
# scripts/systemd-lane.sh once its own checks are done (it defines root,
# pid, unit, inside, check, active, record_answer, journal_err_has).
# Expects the packages in $root/var/cache/ostra-debs: $deb_old and $deb_new,
# a newer build of the same files.

pkg_dir=/var/cache/ostra-debs
apt_in() { inside env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 "$@" > /tmp/ostra-apt.log 2>&1; }
main_pid() { inside systemctl show -p MainPID --value "$unit"; }
package_state() { inside dpkg-query -W -f='${Status} ${Version}' ostraservice 2>/dev/null; }
cfg=/etc/ostraservice/OstraService.cfg

echo "Debian package: $deb_old, $(du -k "$root$pkg_dir/$deb_old" | cut -f1) KiB"
check "lintian finds no error and no warning in it" lintian --fail-on error,warning "$root$pkg_dir/$deb_old"
shipped=$(dpkg-deb -c "$root$pkg_dir/$deb_old" | awk '{print $6}' | sed -n 's|^\./opt/ostraservice/||p' | sort | xargs)
plugins="sqlite.so tcpline.so webcontrol.so"
grep -q '^ostra_add_plugin(pgsql ' "$source_dir/bundled/CMakeLists.txt" && plugins="pgsql.so $plugins"
check "  /opt/ostraservice holds the host, its libraries, the plug-ins, VERSION, three links: nothing of the tests" \
    test "$shipped" = "OstraService OstraService.cfg OstraService.reload OstraService.status VERSION liblog.so.1 libostracommon.so.1 $plugins"
check "  it ships the Prometheus rules" bash -c \
    "dpkg-deb -c '$root$pkg_dir/$deb_old' | grep -q ' ./usr/share/ostraservice/prometheus/ostraservice.rules.yml$'"
began=$(date +%s)
check "apt install ./$deb_old" apt_in install "$pkg_dir/$deb_old"
check "  the package is installed" bash -c "[[ \"\$(nsenter -t $pid -m -p -n -r -w dpkg-query -W -f='\${Status}' ostraservice)\" == 'install ok installed' ]]"
check "  the service is enabled" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-enabled $unit)\" = enabled ]"
check "  and active" active active
owner=$(inside stat -c %U "/proc/$(main_pid)" 2>/dev/null)
check "  it runs as ostraservice, not root ($owner)" test "$owner" = ostraservice
check "  the user has no login shell" bash -c "nsenter -t $pid -m -p -n -r -w getent passwd ostraservice | grep -q ':/usr/sbin/nologin$'"
# (What the kernel grants is capped by the container's own hard limit here.)
check "  the unit lets it open 65536 descriptors (LimitNOFILE)" bash -c \
    "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl show -p LimitNOFILE --value $unit)\" = 65536 ]"
answer=$(record_answer)
check "  a record sent to 7765 is stored ($answer)" test "$answer" = "0;ROW_ID=1"
check "  in /var/lib/ostraservice/records.db" test -s "$root/var/lib/ostraservice/records.db"
check "  the log is /var/log/ostraservice/OstraService.log" grep -q "Service started" "$root/var/log/ostraservice/OstraService.log"
check "  VERSION beside the executable says ${deb_old_version}" grep -qx "$deb_old_version" "$root/opt/ostraservice/VERSION"
check "  OstraService status finds it through the link beside the executable (exit 0)" \
    bash -c "nsenter -t $pid -m -p -n -r -w /opt/ostraservice/OstraService status > /dev/null"
exposure=$(inside systemd-analyze security "$unit" --no-pager 2>/dev/null |
    sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
check "  systemd-analyze security: exposure ${exposure:-?}, at most 2.0" awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }'
echo "  install took $(($(date +%s) - began)) s"

# check reads the package's unit as the service runs under it.
shipped_cfg=$(cat "$root$cfg")
mkdir -p "$root/srv/ostra"
sed 's|path = "/var/lib/ostraservice/records.db"|path = "/srv/ostra/records.db"|' <<< "$shipped_cfg" > "$root$cfg"
verdict=$(inside /opt/ostraservice/OstraService check 2>&1 || true)
check "  check: a sqlite file under /srv is read-only under the package's unit" \
    grep -q "the folder /srv/ostra is read-only to the service under its unit /lib/systemd/system/OstraService.service" <<< "$verdict"
printf '%s\n' "$shipped_cfg" > "$root$cfg"
rm -rf "$root/srv/ostra"

check "installing it again (--reinstall) leaves it installed and running" apt_in install --reinstall "$pkg_dir/$deb_old"
check "  active" active active

# A sender that opens a new connection every 5 ms and sends one record on
# it, while `$@` runs: with the socket unit holding the listening sockets,
# no connection is refused and every record answered 0 is in the table.
steadily() {
    local label=$1
    shift
    local client_out client summary began
    client_out=$(mktemp)
    nsenter -t "$pid" -n python3 "$source_dir/tests/package/steady-client.py" 127.0.0.1 7765 \
        new-connection > "$client_out" &
    client=$!
    sleep 1
    began=$(date +%s%N)
    check "$label while a client opens a connection every 5 ms" "$@"
    echo "  took $((($(date +%s%N) - began) / 1000000)) ms"
    sleep 1
    kill -TERM "$client"
    wait "$client"
    summary=$(python3 - "$client_out" "$root/var/lib/ostraservice/records.db" <<'PY'
import json, sqlite3, sys
result = json.load(open(sys.argv[1]))
db = sqlite3.connect(f"file:{sys.argv[2]}?mode=ro", uri=True)
missing = [c for c, row in result["stored"]
           if not any(f'"{c}"' in e for (e,) in db.execute("SELECT entries FROM records WHERE id = ?", (row,)))]
first = db.execute("SELECT count(*) FROM records WHERE id = 1").fetchone()[0]
print(len(result["stored"]), len(missing), result["unanswered"], result["refused"],
      result["connections_refused"], result["longest_gap_s"], first)
PY
)
    rm -f "$client_out"
    read -r sent missing unanswered refused connections_refused gap first <<< "$summary"
    echo "  client: $sent records answered 0, $refused refused, $unanswered unanswered, $connections_refused connections refused, longest wait for a reply $gap s"
    check "  no connection was refused ($connections_refused)" test "${connections_refused:-1}" = 0
    check "  every record answered 0 is in the table ($missing missing of $sent)" test "${missing:-1}" = 0 -a "${sent:-0}" -gt 100
    check "  every record was answered ($unanswered left)" test "${unanswered:-1}" = 0
    check "  no reply took longer than 2 s ($gap s)" awk -v g="${gap:-99}" 'BEGIN { exit !(g <= 2.0) }'
    check "  the row stored first is kept" test "${first:-0}" = 1
}

check "  the socket unit holds the listening sockets" bash -c \
    "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-active OstraService.socket)\" = active ]"
old_pid=$(main_pid)
steadily "systemctl restart OstraService" inside systemctl restart "$unit"
check "  the service runs anew" bash -c "[ \"$(main_pid)\" != '$old_pid' ] && [ \"$(main_pid)\" != 0 ]"

# A reload in place: the process and its listening sockets stay; a level
# changed to DEBUG applies at once. A file with a syntax error is refused,
# says where in the journal and in status, and the service runs on.
good=$(cat "$root$cfg")
sed 's|level = "INFO"|level = "DEBUG"|' <<< "$good" > "$root$cfg"
old_pid=$(main_pid)
steadily "systemctl reload OstraService (the log level changed)" inside systemctl reload "$unit"
check "  the same process serves on" test "$(main_pid)" = "$old_pid"
check "  the log says what the reload did" grep -q "Configuration reloaded: unchanged " \
    "$root/var/log/ostraservice/OstraService.log"
printf '%s\noops = ;\n' "$good" > "$root$cfg"
broken_line=$(wc -l < "$root$cfg")
reload_refused() { ! inside systemctl reload "$unit" > /dev/null 2>&1; }
check "systemctl reload of a file with a syntax error fails" reload_refused
# (The host reads the file through the link beside it, and names it so.)
read_as=/opt/ostraservice/OstraService.cfg
check "  the journal's errors name the line ($read_as:$broken_line)" journal_err_has "$read_as:$broken_line: syntax error"
check "  status says the reload was refused" bash -c \
    "nsenter -t $pid -m -p -n -r -w /opt/ostraservice/OstraService status | grep -q '^reload refused: $read_as:$broken_line: '"
check "  the same process serves on" test "$(main_pid)" = "$old_pid"
printf '%s\n' "$good" > "$root$cfg"
check "  a reload of the mended file takes" inside systemctl reload "$unit"

# The operator's edit, which the upgrade must keep.
echo "# edited by the operator" >> "$root$cfg"
old_pid=$(main_pid)
steadily "apt-get -y install ./$deb_new (an upgrade over an edited configuration whose default changed too)" \
    apt_in install "$pkg_dir/$deb_new"
check "  the package is $deb_new_version" bash -c "nsenter -t $pid -m -p -n -r -w dpkg-query -W -f='\${Version}' ostraservice | grep -qx '$deb_new_version'"
check "  VERSION says $deb_new_version" grep -qx "$deb_new_version" "$root/opt/ostraservice/VERSION"
check "  the service was restarted on the new files" bash -c "[ \"$(main_pid)\" != '$old_pid' ] && [ \"$(main_pid)\" != 0 ]"
check "  the operator's edit is kept" grep -qx "# edited by the operator" "$root$cfg"
check "  the new default lies beside it" grep -qx "# default changed in $deb_new_version" "$root$cfg.dist"

# A configuration broken before an upgrade: the package still installs;
# the service's failure is systemd's to report.
good=$(cat "$root$cfg")
echo "OstraService: { logs = ( " > "$root$cfg"
check "broken configuration, then an upgrade (--reinstall): the package installs" apt_in install --reinstall "$pkg_dir/$deb_new"
check "  installed, not half-installed" bash -c "[[ \"\$(nsenter -t $pid -m -p -n -r -w dpkg-query -W -f='\${Status}' ostraservice)\" == 'install ok installed' ]]"
check "  the unit is failed" active failed
printf '%s\n' "$good" > "$root$cfg"
inside systemctl reset-failed "$unit"
inside systemctl start "$unit"

# A site storing into a PostgreSQL server it cannot reach: its records
# wait in the spool, which remove names and purge keeps.
cat > "$root$cfg" << 'CFG'
OstraService: {
    logs = ( { type = "FILE"; path = "/var/log/ostraservice"; level = "INFO"; } );
    control = { dll = "webcontrol.so"; };
    protocols = ( {
        name = "PBX"; type = "PBX"; dll = "tcpline.so"; bind = "127.0.0.1"; port = 7765;
        databases = ( { dll = "pgsql.so"; conninfo = "host=127.0.0.1 port=9 dbname=calls user=site connect_timeout=1";
                        table = "records"; site = "site-01"; spool = "/var/lib/ostraservice/pgsql-spool.db"; } );
    } );
};
# edited by the operator
CFG
echo "*:*:*:site:secret" > "$root/etc/ostraservice/pgpass"
if [[ " $plugins " == *" pgsql.so "* ]]; then
    inside systemctl restart "$unit"
    answer=
    for _ in $(seq 1 50); do answer=$(record_answer) && [ -n "$answer" ] && break; sleep 0.2; done
    check "  with the server out of reach a record is spooled ($answer)" bash -c "[[ '$answer' == 0\;* ]]"
fi
inside systemctl stop "$unit"
check "apt remove of a service stopped by hand" apt_in remove ostraservice
if [[ " $plugins " == *" pgsql.so "* ]]; then
    check "  it names the spool that holds records" grep -q "pgsql-spool.db holds .* records answered 0" /tmp/ostra-apt.log
fi
check "  inactive" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-active $unit)\" != active ]"
check "  not enabled" bash -c "[ \"\$(nsenter -t $pid -m -p -n -r -w systemctl is-enabled $unit 2>/dev/null)\" != enabled ]"
check "  the records are kept" test -s "$root/var/lib/ostraservice/records.db"
check "  the edited configuration is kept" grep -qx "# edited by the operator" "$root$cfg"
check "  the program is gone" test ! -e "$root/opt/ostraservice/OstraService"

check "apt purge" apt_in purge ostraservice
check "  the user and group are gone" bash -c "! nsenter -t $pid -m -p -n -r -w getent passwd ostraservice && ! nsenter -t $pid -m -p -n -r -w getent group ostraservice"
check "  records, logs and the configuration are gone" test ! -e "$root/var/lib/ostraservice/records.db" -a ! -e "$root/var/log/ostraservice" -a ! -e "$root$cfg" -a ! -e "$root$cfg.dist"
check "  a file the operator put in /etc/ostraservice is kept, and named" bash -c \
    "test -s '$root/etc/ostraservice/pgpass' && grep -q 'kept what the package did not make in /etc/ostraservice: pgpass' /tmp/ostra-apt.log"
if [[ " $plugins " == *" pgsql.so "* ]]; then
    check "  the spool that holds records is kept, and named" bash -c \
        "test -s '$root/var/lib/ostraservice/pgsql-spool.db' && grep -q 'kept /var/lib/ostraservice/pgsql-spool.db' /tmp/ostra-apt.log"
fi
rm -rf "$root/etc/ostraservice" "$root/var/lib/ostraservice"
check "  the unit is gone" bash -c "! nsenter -t $pid -m -p -n -r -w systemctl cat $unit > /dev/null 2>&1"
check "  nothing is left under /opt" test ! -e "$root/opt/ostraservice"
