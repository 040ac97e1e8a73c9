#!/usr/bin/env bash
# Builds the benchmark in build-bench (RelWithDebInfo) and runs it; arguments
# go to kestrel-bench (sections table, idle, live; --help for the options).
# Prints Markdown. Everything stays on the loopback interface.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTREL_BENCH_BUILD:-build-bench}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" --target kestrel-bench >/dev/null
# A thousand idle connections need about three descriptors each.
ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
exec "$build/kestrel-bench" "$@"
