#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, only
# those that are missing. Safe to run again and again.
set -euo pipefail

packages=(
    # native build and tests
    cmake ninja-build g++ python3 googletest libgtest-dev libbenchmark-dev
    # fuzzing (libFuzzer comes with clang's runtime)
    clang libclang-rt-14-dev
    # Windows cross builds (x86_64 runs under Wine, i686 is built only)
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
    # running and driving the Windows programs
    wine wine64 fonts-wine locales xvfb x11-apps x11-utils imagemagick fonts-ipafont
    # checking the zips for Windows users
    unzip
    # the Windows installers: built with wixl, finished and read with msitools and olefile
    wixl msitools python3-olefile
)
# Installed without their recommendations: with them the browser alone pulls
# in a hundred packages it does not need here.
lean_packages=(
    # header-only libraries: HTTP and WebSocket (Boost.Beast, Asio), JSON
    libboost-dev nlohmann-json3-dev
    # the web gateway's HTTPS (OpenSSL), and the tool its tests make certificates with
    libssl-dev openssl
    # the Debian package of the Linux programs: man pages, checks, the unit, the
    # rotation and reading of its transcripts
    help2man dpkg-dev lintian systemd logrotate jq
    # the web gateway's tests: WebSocket clients, a real browser with a CJK font
    python3-websockets python3-selenium chromium chromium-driver fonts-ipafont-gothic
)

missing_of() {
    local package status
    for package in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [ "$status" = installed ] || echo "$package"
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_lean < <(missing_of "${lean_packages[@]}")

if [ ${#missing[@]} -gt 0 ] || [ ${#missing_lean[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]} ${missing_lean[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    if [ ${#missing[@]} -gt 0 ]; then
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    if [ ${#missing_lean[@]} -gt 0 ]; then
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing_lean[@]}" >/dev/null
    fi
fi
# The page's audit tools (npm), into the build tree, never globally. No test
# needs them, so a registry out of reach leaves the tests runnable.
"$(dirname "$0")/setup-web-audit.sh" ||
    echo "setup: the page's audit tools are not installed; tools/web-audit.sh needs them" >&2
