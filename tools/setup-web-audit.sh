#!/usr/bin/env bash
# Installs the page's audit tools (Lighthouse and axe-core from npm) into the
# build tree, never globally, so that tools/web-audit.sh can measure the page
# with Debian's Chromium. Safe to run again: an install that is complete is
# left as it is.
#   tools/setup-web-audit.sh [BUILD_DIR]     # default build/web-audit
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:-$root/build/web-audit}
# Pinned, so that the figures of one run compare with the next.
lighthouse_version=12.8.2
axe_version=4.10.3

if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    echo "setup-web-audit: installing nodejs and npm"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi

installed_version() {
    node -e "try { console.log(require('$prefix/node_modules/$1/package.json').version) } catch (e) {}"
}
if [ "$(installed_version lighthouse)" = "$lighthouse_version" ] && [ "$(installed_version axe-core)" = "$axe_version" ]; then
    exit 0
fi
mkdir -p "$prefix"
[ -f "$prefix/package.json" ] || echo '{"private": true}' >"$prefix/package.json"
echo "setup-web-audit: installing lighthouse $lighthouse_version and axe-core $axe_version into $prefix"
npm install --prefix "$prefix" --no-audit --no-fund --loglevel=error \
    "lighthouse@$lighthouse_version" "axe-core@$axe_version" >/dev/null
