#!/usr/bin/env bash
# The relay benchmark: builds confbench, confrelay and the reference relay
# (optimised, in build/bench) and measures the reference relay, confrelay
# (batched) and confrelay --per-datagram with 100 receivers and 64-byte lines,
# in 20 runs in which the relays take turns. Prints the table with the ratios
# to the reference relay; progress goes to stderr. About half a minute.
# Usage: tools/bench.sh [confbench options...]   e.g. --runs 40, --payload 512
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${CONF_BENCH_BUILD:-$root/build/bench}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONF_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j 2 --target confbench confrelay reference_relay >/dev/null
exec "$dir/bench/confbench" "$@"
