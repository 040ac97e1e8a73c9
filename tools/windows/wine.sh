# Sourced by the Windows scripts that try what they made under Wine: where
# Debian's wine64 package puts Wine (wineserver is not on the PATH with it
# alone), the environment that keeps Wine quiet and the build off its paths,
# and kestreld.exe started and its port waited for.

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEPATH QT_PLUGIN_PATH

# startKestreld FOLDER PROGRAM LOG: runs PROGRAM (kestreld.exe) in FOLDER on a
# port of the system's choice, its output in LOG; sets `server` (the pid) and
# `port` (empty when it did not start within 20 s).
startKestreld() {
    (cd "$1" && exec "$wine" "$2" --port 0 --no-live --no-discovery > "$3" 2>&1) &
    server=$!
    port=""
    for _ in $(seq 100); do
        port=$(sed -n 's/.*The system chose port \([0-9]*\).*/\1/p' "$3")
        [ -n "$port" ] && return
        sleep 0.2
    done
}
