#!/usr/bin/env bash
# The console under Wine as an operator meets it from a Linux shell: keys
# from a Unix pipe (which Wine cannot peek at) and from a file, letters
# outside ASCII on a UTF-8 terminal, and a verb's outcome on the terminal.
#   wine-console-io.sh BUILD_DIR
set -uo pipefail
build=$1
run="$build/wine-run.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$build/bin/OstraService.exe" "$build"/bin/*.dll "$scratch/"
cat > "$scratch/OstraService.cfg" <<'CFG'
OstraService: { wakeupwait = 1; control = { dll = "testcontrol.dll"; };
                protocols = ( { name = "P"; type = "PBX"; dll = "testprotocol.dll"; databases = ( ); } ); };
CFG
cd "$scratch"
failures=0
check() {
    if "${@:2}"; then echo "ok    $1"; else echo "FAIL  $1"; failures=$((failures + 1)); fi
}

printf S | timeout 60 "$run" OstraService.exe console > pipe.out 2>&1
check "an S from a Unix pipe stops the console run ($(tr -d '\r' < pipe.out | head -2 | tr '\n' '|'))" \
    grep -q "stopped" pipe.out
printf S > keys.txt
timeout 60 "$run" OstraService.exe console < keys.txt > file.out 2>&1
check "an S from a file stops it" grep -q "stopped" file.out

# A pseudo-terminal with a UTF-8 locale: Wine shows the console's text there.
LANG=C.UTF-8 timeout 60 script -qfec "$run OstraService.exe console Nema" /dev/null < /dev/null > missing.out 2>&1
check "the console shows the message's own letters ($(tr -d '\r' < missing.out | head -1))" \
    grep -q "Neuspelo čitanje" missing.out
cp OstraService.cfg EchoTest.cfg
sed -i 's/^OstraService:/EchoTest:/' EchoTest.cfg
LANG=C.UTF-8 timeout 60 script -qfec "$run OstraService.exe install EchoTest" /dev/null < /dev/null > install.out 2>&1
check "install says its outcome on the terminal" grep -q "Servis EchoTest je instaliran" install.out
timeout 60 "$run" OstraService.exe remove EchoTest > /dev/null 2>&1
exit $((failures > 0))
