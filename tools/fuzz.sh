#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, in build/fuzz-long) and runs the relay's and the client's target
# side by side, one per core, each for a number of executions, starting from
# the seed corpus. New inputs collect in build/fuzz-long/corpus-NAME; an input
# that breaks a target lands in build/fuzz-long/findings/. Prints each
# target's executions, speed and outcome.
# Usage: tools/fuzz.sh [RUNS]   (default 10 000 000 executions per target)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${CONF_FUZZ_BUILD:-$root/build/fuzz-long}
runs=${1:-10000000}

"$root/tools/setup.sh" || exit 1
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCONF_FUZZ=ON -DCONF_BUILD_TESTS=OFF >/dev/null ||
    exit 1
cmake --build "$dir" -j 2 --target relay_fuzz client_fuzz >/dev/null || exit 1

mkdir -p "$dir/findings"
pids=()
for name in relay client; do
    mkdir -p "$dir/corpus-$name"
    # The seed folder comes second so that new inputs are written to the
    # build tree's folder only.
    "$dir/fuzz/${name}_fuzz" -runs="$runs" -max_len=4096 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$name-" "$dir/corpus-$name" "$root/fuzz/corpus/$name" \
        >"$dir/$name.log" 2>&1 &
    pids+=($!)
done

status=0
for i in 0 1; do
    wait "${pids[$i]}" || status=1
done
for name in relay client; do
    log="$dir/$name.log"
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    if grep -qE '^==[0-9]+==ERROR|invariant broken|deadly signal' "$log"; then
        echo "$name: FAILED after ${executions:-?} executions; see $log and $dir/findings"
        status=1
    else
        echo "$name: ${executions:-?} executions, ${speed:-?} per second, no finding ($(ls "$dir/corpus-$name" | wc -l) inputs in its corpus)"
    fi
done
exit $status
