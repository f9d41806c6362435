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
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
