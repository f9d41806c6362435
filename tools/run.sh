#!/usr/bin/env bash
# Runs the conference system.
# For now: builds the native relay if needed and starts it on a port
# (default 40000, or the first argument).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
port=${1:-40000}
dir="$root/build/native"

"$root/tools/setup.sh"
if [ ! -x "$dir/server/confrelay" ]; then
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$dir" --target confrelay -j 2
fi

cat <<MSG
Starting the conference relay on UDP port $port (Ctrl+C stops it).
Talk to it from this machine or the LAN with code-page-932 datagrams, e.g.:
  printf '!name+hello' | nc -u -w1 127.0.0.1 $port    # log in; the relay answers and broadcasts
  printf 'name: a line' | nc -u -w1 127.0.0.1 $port   # relayed to every participant
  printf '#name' | nc -u -w1 127.0.0.1 $port          # leave
MSG
exec "$dir/server/confrelay" "$port"
