#!/usr/bin/env bash
# Makes Kestrel-<version>-win64.zip from the Windows build (build-win64, or
# $BUILD_DIR): the three programs, the Qt and MinGW DLLs and Qt plugins they
# load, the simulated locomotive's folder and a readme for Windows users.
# Then it tries the zip: unpacked into an empty folder, kestreld.exe runs
# from there under Wine, with nothing of the build on its paths, and the
# zip's own kestrel-cli.exe asks it for the locomotive's name and the
# controller list. Nothing of a Linux build is needed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(cd "${BUILD_DIR:-build-win64}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
qt=$(sed -n 's/^KESTREL_QT_MINGW:PATH=//p' "$build/CMakeCache.txt")
name=Kestrel-$version-win64
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
out=$stage/$name

mkdir -p "$out/platforms" "$out/styles" "$out/simulator/plugins" "$out/simulator/examples"
cp "$build/app/Kestrel.exe" "$build/kestreld.exe" "$build/kestrel-cli.exe" "$out/"
for module in Core Gui Widgets Network WebSockets; do
    cp "$qt/bin/Qt5$module.dll" "$out/"
done
cp "$qt/plugins/platforms/qwindows.dll" "$out/platforms/"
cp "$qt/plugins/styles/qwindowsvistastyle.dll" "$out/styles/"
for dll in libstdc++-6.dll libgcc_s_seh-1.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$dll)" "$out/"
done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$out/"
cp "$build/simulator/plugins/RailDriver64.dll" "$build/simulator/plugins/RailDriver.dll" "$out/simulator/plugins/"
cp "$build/simulator/RailWorks.exe" "$out/simulator/"
# Windows users open the examples in Notepad too.
for example in "$build"/simulator/examples/*.loco; do
    sed 's/$/\r/' "$example" > "$out/simulator/examples/$(basename "$example")"
done
x86_64-w64-mingw32-strip --strip-unneeded "$out"/*.exe "$out"/lib*.dll "$out"/simulator/plugins/*.dll
# Windows users read the readme in Notepad: CRLF line ends.
sed 's/$/\r/' "$root/tools/windows/README-windows.txt" | sed "s/@VERSION@/$version/" > "$out/README.txt"

rm -f "$root/$name.zip"
(cd "$stage" && zip -qr "$root/$name.zip" "$name")
echo "$root/$name.zip: $(du -k "$root/$name.zip" | cut -f1) KiB"

# The smoke test.
try=$(mktemp -d)
trap 'rm -rf "$stage" "$try"; [ -n "${server:-}" ] && kill "$server" 2>/dev/null; WINEPREFIX=$build/wine wineserver -k 2>/dev/null || true' EXIT
(cd "$try" && unzip -q "$root/$name.zip")
export WINEPREFIX=$build/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset WINEPATH QT_PLUGIN_PATH
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
(cd "$try/$name" && exec "$wine" kestreld.exe --port 0 --no-live > "$try/log" 2>&1) &
server=$!
port=""
for _ in $(seq 100); do
    port=$(sed -n 's/.*The system chose port \([0-9]*\).*/\1/p' "$try/log")
    [ -n "$port" ] && break
    sleep 0.2
done
[ -n "$port" ] || { echo "package.sh: kestreld.exe from the zip did not start:"; cat "$try/log"; exit 1; } >&2
# The console's line ends are CRLF.
cli() { (cd "$try/$name" && "$wine" kestrel-cli.exe --port "$port" "$@") | tr -d '\r'; }
loco=$(cli loco) && list=$(cli list) || { echo "package.sh: kestrel-cli.exe from the zip failed:" >&2; cat "$try/log" >&2; exit 1; }
grep -q "serving the simulated locomotive in .*simulator" "$try/log" || { echo "package.sh: not the zip's locomotive:" >&2; cat "$try/log" >&2; exit 1; }
[ "$loco" = "Kestrel.:.Railsim.:.Class 66 Demonstrator" ] || { echo "package.sh: unexpected locomotive \"$loco\"" >&2; exit 1; }
[ "$(printf '%s\n' "$list" | wc -l)" -eq 21 ] || { echo "package.sh: unexpected controller list:" >&2; echo "$list" >&2; exit 1; }
echo "Smoke test passed: kestreld.exe from the zip serves \"$loco\" with 20 controllers"
