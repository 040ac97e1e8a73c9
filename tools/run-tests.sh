#!/usr/bin/env bash
# Configures, builds and runs every test of Kestrel. BUILD_DIR chooses the
# build folder (default: build); extra arguments go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${BUILD_DIR:-build}
generator=()
if command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
fi
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    cmake -S . -B "$build_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build_dir" --parallel
ctest --test-dir "$build_dir" --output-on-failure --parallel 2 "$@"
