#!/usr/bin/env bash
# Lighthouse and axe-core figures of the conference page (see tools/web_audit.py).
#   tools/web-audit.sh [--stand-in] [--build DIR] [--tools DIR] [--out DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# Debian's selenium imports in Debian's own Python only.
exec /usr/bin/python3 "$root/tools/web_audit.py" "$@"
