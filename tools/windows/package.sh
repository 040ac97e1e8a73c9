#!/usr/bin/env bash
# Makes Kestrel-<version>-win64.zip from the Windows build (build-win64, or
# $BUILD_DIR), laid out by stage.sh: the three programs, the Qt and MinGW DLLs
# and Qt plugins they load, the simulated locomotive's folder and a readme
# for Windows users.
# Then it tries the zip: unpacked into an empty folder, kestreld.exe runs
# from there under Wine, with nothing of the build on its paths, and the
# zip's own kestrel-cli.exe asks it for the locomotive's name and the
# controller list. Nothing of a Linux build is needed.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build=$(cd "${BUILD_DIR:-build-win64}" && pwd)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
version=$(BUILD_DIR=$build bash tools/windows/stage.sh "$stage/staged")
name=Kestrel-$version-win64
mv "$stage/staged" "$stage/$name"

rm -f "$root/$name.zip"
(cd "$stage" && zip -qr "$root/$name.zip" "$name")
echo "$root/$name.zip: $(du -k "$root/$name.zip" | cut -f1) KiB"

# The smoke test.
try=$(mktemp -d)
source tools/windows/wine.sh
export WINEPREFIX=$build/wine
trap 'rm -rf "$stage" "$try"; [ -n "${server:-}" ] && kill "$server" 2>/dev/null; "$wineserver" -k 2>/dev/null || true' EXIT
(cd "$try" && unzip -q "$root/$name.zip")
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1
startKestreld "$try/$name" kestreld.exe "$try/log"
[ -n "$port" ] || { echo "package.sh: kestreld.exe from the zip did not start:"; cat "$try/log"; exit 1; } >&2
# The console's line ends are CRLF.
cli() { (cd "$try/$name" && "$wine" kestrel-cli.exe --port "$port" "$@") | tr -d '\r'; }
loco=$(cli loco) && list=$(cli list) || { echo "package.sh: kestrel-cli.exe from the zip failed:" >&2; cat "$try/log" >&2; exit 1; }
grep -q "serving the simulated locomotive in .*simulator" "$try/log" || { echo "package.sh: not the zip's locomotive:" >&2; cat "$try/log" >&2; exit 1; }
[ "$loco" = "Kestrel.:.Railsim.:.Class 66 Demonstrator" ] || { echo "package.sh: unexpected locomotive \"$loco\"" >&2; exit 1; }
[ "$(printf '%s\n' "$list" | wc -l)" -eq 21 ] || { echo "package.sh: unexpected controller list:" >&2; echo "$list" >&2; exit 1; }
echo "Smoke test passed: kestreld.exe from the zip serves \"$loco\" with 20 controllers"
