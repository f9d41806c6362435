#!/usr/bin/env bash
# Builds the zips of the Windows programs, one per architecture, for Windows
# users to unpack and run: build/packages/TaviloConference-<version>-win32.zip
# (32-bit Windows, runs on 64-bit Windows too) and -win64.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
mkdir -p "$root/build/packages"
for architecture in win32 win64; do
    case $architecture in
    win32) toolchain=mingw-i686.cmake ;;
    win64) toolchain=mingw-x86_64.cmake ;;
    esac
    dir="$root/build/$architecture"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >/dev/null
    cmake --build "$dir" --target package -j 2 >/dev/null
    cp "$dir"/TaviloConference-*-"$architecture".zip "$root/build/packages/"
done
ls -l "$root/build/packages"
