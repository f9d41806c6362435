#!/usr/bin/env bash
# The load benchmarks, built optimised in build/bench; progress goes to stderr.
#
# tools/bench.sh [confbench options...]   e.g. --runs 40, --payload 512
#   The relay benchmark: the reference relay, confrelay (batched) and
#   confrelay --per-datagram with 100 receivers and 64-byte lines, in 20 runs
#   in which the relays take turns; the table with the ratios to the
#   reference relay. About half a minute.
# tools/bench.sh --web [confwebbench options...]   e.g. --runs 20, --tabs 50
#   The web gateway benchmark: confweb with 100 tabs in one room, beside
#   confrelay with 100 UDP receivers as the yardstick; the table, the ratio of
#   their processor time per delivery, and the targets met or missed. About
#   half a minute.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${CONF_BENCH_BUILD:-$root/build/bench}
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCONF_BUILD_TESTS=OFF >/dev/null
if [[ ${1:-} == --web ]]; then
    shift
    cmake --build "$dir" -j 2 --target confwebbench confweb confrelay >/dev/null
    exec "$dir/bench/confwebbench" "$@"
fi
cmake --build "$dir" -j 2 --target confbench confrelay reference_relay >/dev/null
exec "$dir/bench/confbench" "$@"
