# Sourced by the package tests: a scratch folder ($scratch) and a brand-new
# Wine prefix in it with a session of its own, removed when the test ends.
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEPATH
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
boot_wine_prefix() {
    mkdir -p "$WINEPREFIX"
    setsid wineserver -p </dev/null >/dev/null 2>&1
    setsid wine wineboot </dev/null >/dev/null 2>&1
}
