#!/usr/bin/env bash
# Builds the fuzz harnesses in build-fuzz/ (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs each of them for SECONDS (default
# 60), two at a time, each on a copy of its seed corpus so that the committed
# seeds stay as they are. Prints one summary line per harness and exits
# non-zero when any harness found a fault; the failing input is left in
# build-fuzz/findings/<harness>/.
#
#     fuzz/run.sh [SECONDS]
#
# Needs Debian's clang-14 and libclang-rt-14-dev (llvm-14 for symbolised
# stacks), and curl for the mDNS library's sources. CC, CXX and BUILD_DIR
# override the defaults.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build_dir=${BUILD_DIR:-build-fuzz}
cc=${CC:-$(command -v clang-14 || command -v clang)}
cxx=${CXX:-$(command -v clang++-14 || command -v clang++)}
harnesses=(request codec mdns)
# The request path needs room for volume: a framed reply grows at most about
# 16 times its request (each ":" of GetControllerValues becomes a record such
# as "0:-1.17549e-38::"), so a reply too long for the six-digit length field,
# and log lines as long, take some 62500 bytes of input; twice that leaves the
# mutator room. Frames of up to 999999 bytes would slow every run too much.
# The codec needs a header, a frame of a few hundred bytes and 64 bytes of
# numbers.
# A multicast DNS datagram is at most 9000 bytes.
declare -A max_len=([request]=131072 [codec]=1024 [mdns]=9100)

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# The mDNS library's sources, from its Debian source package.
mdnsd=$(tools/windows/sources.sh | sed -n 's/^KESTREL_MDNSD_SOURCE=//p')
cmake -S fuzz -B "$build_dir" "${generator[@]}" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_MDNSD_SOURCE="$mdnsd" >/dev/null || exit 1
cmake --build "$build_dir" -j2 || exit 1

symbolizer=$(command -v llvm-symbolizer-14 || command -v llvm-symbolizer || true)
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1${symbolizer:+:external_symbolizer_path=$symbolizer}}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
    local harness=$1
    local work="$build_dir/work/$harness"
    local findings="$build_dir/findings/$harness"
    rm -rf "$work"
    mkdir -p "$work" "$findings"
    cp fuzz/corpus/"$harness"/* "$work"/
    "$build_dir/fuzz_$harness" "$work" -dict=fuzz/kestrel.dict -max_len="${max_len[$harness]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$findings/" >"$build_dir/fuzz_$harness.log" 2>&1
}

pids=()
status=0
for harness in "${harnesses[@]}"; do
    run_one "$harness" &
    pids+=($!)
    if [ ${#pids[@]} -ge 2 ]; then
        wait "${pids[0]}" || status=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done

for harness in "${harnesses[@]}"; do
    log="$build_dir/fuzz_$harness.log"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    line=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$line")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$line")
    corpus=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$line")
    found=$(ls "$build_dir/findings/$harness" 2>/dev/null | wc -l)
    printf '%-14s execs=%s cov=%s ft=%s corpus=%s findings=%s\n' "$harness" "${execs:-?}" "${cov:-?}" \
        "${ft:-?}" "${corpus:-?}" "$found"
    if [ "$found" -gt 0 ]; then
        status=1
        grep -m1 -E 'ERROR|FUZZ_CHECK|runtime error|deadly signal' "$log" | sed 's/^/    /'
    fi
done
exit $status
