#!/usr/bin/env bash
# Builds the benchmarks in build-bench (RelWithDebInfo) and runs them: the
# throughput and latency table of Kestrel against the floor server, pair by
# pair, then the scale figures. Prints Markdown on standard output.
#
#   bench/run.sh                    the table and the scale figures
#   bench/run.sh --callgrind        also instructions per request (valgrind)
#   bench/run.sh --no-build         run what build-bench holds
#   bench/run.sh --seconds 5 --warmup 2 --connections 1,64 ...
#                                   anything else goes to kestrel-bench
#
# Everything runs on this machine, over the loopback interface only.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
build=${KESTREL_BENCH_BUILD:-$root/build-bench}

build_first=1
callgrind=0
bench_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --no-build) build_first=0 ;;
        --callgrind) callgrind=1 ;;
        *) bench_args+=("$1") ;;
    esac
    shift
done

# 1000 idle connections need about three descriptors each in kestreld (the
# socket, its thread's event loop) and one each here.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ] || [ "$hard" -ge 16384 ]; then
    ulimit -n 16384
else
    ulimit -n "$hard"
fi

if [ "$build_first" = 1 ]; then
    generator=()
    if command -v ninja > /dev/null; then
        generator=(-G Ninja)
    fi
    # Until the top-level CMakeLists.txt adds this folder itself, it is
    # included at the end of the top directory from a file in the build tree.
    if grep -q '^ *add_subdirectory(bench)' CMakeLists.txt; then
        project_include=(-UCMAKE_PROJECT_INCLUDE)
    else
        mkdir -p "$build"
        echo 'cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL include ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)' \
            > "$build/add-bench.cmake"
        project_include=(-DCMAKE_PROJECT_INCLUDE="$build/add-bench.cmake")
    fi
    if [ -f "$build/CMakeCache.txt" ]; then
        generator=() # a build tree keeps the generator it was made with
    fi
    mkdir -p "$build"
    cmake -S . -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${project_include[@]}" \
        > "$build/bench-configure.log" 2>&1 || { cat "$build/bench-configure.log" >&2; exit 1; }
    cmake --build "$build" --target kestrel-bench kestrel-floor kestreld > "$build/bench-build.log" 2>&1 \
        || { tail -50 "$build/bench-build.log" >&2; exit 1; }
fi

bench=$build/kestrel-bench
[ -x "$bench" ] || { echo "run.sh: $bench is missing; run without --no-build" >&2; exit 1; }

echo "## Kestrel benchmark"
echo
echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start;"
echo "kestreld and kestrel-floor from $build, RelWithDebInfo."
echo
echo "### Throughput and latency"
echo
status=0
"$bench" table "${bench_args[@]}" || status=1
echo
echo "### Scale"
"$bench" scale "${bench_args[@]}" || status=1
if [ "$callgrind" = 1 ]; then
    echo
    echo "### Instructions per request (callgrind)"
    echo
    echo "kestreld under valgrind --tool=callgrind, one connection, a fixed number of requests; the"
    echo "difference of two runs divided by the difference of their request counts, so start-up and"
    echo "shutdown drop out. Every thread counts, the log output included."
    echo
    out=$(mktemp -d /tmp/kestrel-callgrind-XXXXXX)
    "$bench" callgrind --out "$out" "${bench_args[@]}" || status=1
    echo
    echo "Callgrind files: $out"
fi
exit $status
