#!/usr/bin/env bash
# Lays out Kestrel for Windows as users get it, from the Windows build
# (build-win64, or $BUILD_DIR), into the folder DEST: the three programs, the
# Qt and MinGW DLLs and Qt plugins they load, the simulated locomotive's
# folder with its example descriptions, and the readme for Windows users.
# The zip (package.sh) and the installer (installer.sh) both hold this.
#
#   tools/windows/stage.sh DEST     prints the version
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
out=$1
build=$(cd "${BUILD_DIR:-build-win64}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
qt=$(sed -n 's/^KESTREL_QT_MINGW:PATH=//p' "$build/CMakeCache.txt")

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
# Windows users open the text files in Notepad: CRLF line ends.
for example in "$build"/simulator/examples/*.loco; do
    sed 's/$/\r/' "$example" > "$out/simulator/examples/$(basename "$example")"
done
x86_64-w64-mingw32-strip --strip-unneeded "$out"/*.exe "$out"/lib*.dll "$out"/simulator/plugins/*.dll
sed 's/$/\r/' "$root/tools/windows/README-windows.txt" | sed "s/@VERSION@/$version/" > "$out/README.txt"
echo "$version"
