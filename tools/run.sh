#!/usr/bin/env bash
# Runs the conference system.
#
#   tools/run.sh                 With a display ($DISPLAY set): builds the
#                                Windows programs if needed and starts
#                                confserver and two confclient windows under
#                                Wine, for you to use, and confweb, which lets
#                                the browsers of the LAN into the room on UDP
#                                port 40000 (it prints the page's addresses).
#                                Returns when the three windows have ended
#                                (Ctrl+C ends everything).
#                                Without a display: plays a short scripted
#                                conference (two windows and a browser) on a
#                                virtual display and leaves screenshots of the
#                                server, both clients and the browser and the
#                                conversation (UTF-8) in build/demo.
#   tools/run.sh --relay [PORT]  The native relay without a window, on a UDP
#                                port (default 40000).
#   tools/run.sh --web [HOST:PORT] [--listen ADDRESS:PORT]
#                                Lets browsers in: the web gateway confweb in
#                                front of the relay or confserver at HOST:PORT
#                                (default 127.0.0.1:40000), serving its page
#                                on port 8080 of every address of this machine
#                                unless told otherwise. Open an address it
#                                prints in any browser of the LAN.
#
# The Windows programs are built in build/win64 and run in the Wine prefix
# build/run/wine (made on first use, about a minute); the native ones are
# built in build/native.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

usage() {
    sed -n '2,/^set -/p' "$0" | sed '$d; s/^# \{0,1\}//'
}

native="$root/build/native"
# The named native programs, built in build/native if needed.
build_native_programs() {
    if [ ! -f "$native/CMakeCache.txt" ]; then
        echo "run: configuring the native build in ${native#"$root"/}"
        cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    fi
    cmake --build "$native" --target "$@" -j 2 >/dev/null ||
        { echo "run: the native build failed; see: cmake --build ${native#"$root"/} --target $*" >&2; exit 1; }
}

run_relay() {
    local port=${1:-40000}
    local dir=$native
    build_native_programs confrelay
    cat <<MSG
Starting the conference relay on UDP port $port (Ctrl+C stops it).
Talk to it from this machine or the LAN with code-page-932 datagrams, e.g.:
  printf '!name+hello' | nc -u -w1 127.0.0.1 $port    # log in; the relay answers and broadcasts
  printf 'name: a line' | nc -u -w1 127.0.0.1 $port   # relayed to every participant
  printf '#name' | nc -u -w1 127.0.0.1 $port          # leave
MSG
    exec "$dir/server/confrelay" "$port"
}

run_web() {
    local relay=127.0.0.1:40000
    if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then
        relay=$1
        shift
    fi
    build_native_programs confweb
    echo "Letting browsers into the conference at $relay (Ctrl+C stops it, and its browser users leave)."
    exec "$native/web/confweb" --relay "$relay" "$@"
}

build_windows_programs() {
    local dir=$1
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        echo "run: configuring the Windows build in ${dir#"$root"/}"
        cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake" >/dev/null
    fi
    # Only what running needs; an up-to-date build does nothing here.
    cmake --build "$dir" --target confserver confclient conf_gui_driver -j 2 >/dev/null ||
        { echo "run: the Windows build failed; see: cmake --build ${dir#"$root"/}" >&2; exit 1; }
}

# The programs on the user's own display, until they end.
pids=()
run_on_display() {
    local build=$1
    prefix=$2
    local logs="$root/build/run/logs"
    mkdir -p "$logs"
    echo "run: preparing the Wine prefix ${prefix#"$root"/}"
    "$root/tools/wine/prefix.sh" "$prefix"

    # On any way out: end what is still running and the prefix's wineserver.
    stop_programs() {
        trap - EXIT INT TERM
        local pid
        for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
        "$root/tools/wine/stop.sh" "$prefix"
    }
    trap stop_programs EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM

    "$root/tools/wine/run.sh" "$prefix" "$build/server/confserver.exe" >"$logs/confserver.log" 2>&1 &
    pids+=($!)
    local windows=("${pids[@]}")
    local number
    for number in 1 2; do
        "$root/tools/wine/run.sh" "$prefix" "$build/client/confclient.exe" >"$logs/confclient-$number.log" 2>&1 &
        pids+=($!)
        windows+=($!)
    done
    # The gateway waits for the room on the port the instructions name; its
    # page is served on every address of this machine.
    local port=40000
    "$native/web/confweb" --relay "127.0.0.1:$port" >"$logs/confweb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        grep -q '^  http://' "$logs/confweb.log" 2>/dev/null && break
        sleep 0.1
    done
    cat <<MSG
run: confserver (the round panel, top left) and two confclient windows are starting on $DISPLAY.
  1. In the panel type the port $port and press 開始.
  2. In each client window (they open on top of each other: drag one aside by
     its background) fill in お名前 (any name), サーバ名 127.0.0.1 or localhost,
     ポート番号 $port, and press 参加.
  3. Type a line in the lower field and press 送信: the first line logs you in,
     every later one goes to everyone. 終了 asks, then leaves.
MSG
    if grep -q '^  http://' "$logs/confweb.log"; then
        echo "  4. Browsers join the same room: open one of these pages on a phone or PC of the"
        echo "     LAN (or here), type a name, 参加, and chat:"
        grep '^  http://' "$logs/confweb.log" | sed 's/^/   /'
    else
        echo "run: confweb did not start (see ${logs#"$root"/}/confweb.log): the room is open to the windows only"
    fi
    echo "The run ends when the three windows have ended, or with Ctrl+C."
    local pid
    for pid in "${windows[@]}"; do wait "$pid" || true; done
}

case "${1:-}" in
--relay)
    shift
    "$root/tools/setup.sh"
    run_relay "$@"
    ;;
--web)
    shift
    "$root/tools/setup.sh"
    run_web "$@"
    ;;
-h | --help)
    usage
    exit 0
    ;;
"") ;;
*)
    usage >&2
    exit 2
    ;;
esac

"$root/tools/setup.sh"
build="$root/build/win64"
prefix="$root/build/run/wine"
build_windows_programs "$build"
build_native_programs confweb
if [ -n "${DISPLAY:-}" ]; then
    run_on_display "$build" "$prefix"
else
    echo "run: no display (\$DISPLAY is not set): playing a scripted conference on a virtual display instead"
    # Debian's Python: the browser is driven through Debian's selenium.
    exec /usr/bin/python3 "$root/tools/demo_conference.py" --build "$build" --confweb "$native/web/confweb" \
        --prefix "$prefix" --out "$root/build/demo"
fi
