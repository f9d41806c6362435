#!/usr/bin/env bash
# Shuts down the wineserver of one prefix, and only that one.
# Usage: stop.sh PREFIX_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/env.sh" "$1"
[ -d "$WINEPREFIX" ] && wineserver -k 2>/dev/null
exit 0
