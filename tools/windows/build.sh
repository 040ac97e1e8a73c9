#!/usr/bin/env bash
# Configures and builds Kestrel for 64-bit Windows in build-win64 (or
# $BUILD_DIR): the programs, every test program, the stand-in locomotive and
# the stub libraries as Windows DLLs. Qt for MinGW comes from
# tools/windows/build-qt.sh, which does nothing when it is already there.
# Then: ctest --test-dir build-win64 runs every test program under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."

tools/windows/build-qt.sh
build=${BUILD_DIR:-build-win64}
# The libraries Debian packages for Linux, compiled from their sources here.
sources=()
while IFS= read -r line; do
    sources+=("-D$line")
done < <(tools/windows/sources.sh)
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release "${sources[@]}"
else
    cmake "$build" "${sources[@]}" >/dev/null
fi
cmake --build "$build" --parallel
