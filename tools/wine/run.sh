#!/usr/bin/env bash
# Runs a Windows program under wine64 in the given prefix (created on first
# use). Used as CMake's CMAKE_CROSSCOMPILING_EMULATOR.
# Usage: run.sh PREFIX_DIR PROGRAM [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
prefix=$1
shift
"$here/prefix.sh" "$prefix"
. "$here/env.sh" "$prefix"
# Wine's server and helper processes inherit our standard streams; started
# here with theirs on /dev/null they cannot keep ctest's pipe open.
wineserver -p60 </dev/null >/dev/null 2>&1 || true
wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
exec wine64 "$@"
