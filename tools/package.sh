#!/usr/bin/env bash
# Builds what users install, into build/packages:
#   TaviloConference-<version>-win32.zip (32-bit Windows, runs on 64-bit
#   Windows too) and -win64.zip, for Windows users to unpack and run;
#   TaviloConference-<version>-win32.msi and -win64.msi, the same programs as
#   installers for an office (Start menu, uninstall, the relay as a service);
#   tavilo-conference_<version>_<arch>.deb, the Linux programs and the relay's
#   systemd service for a Debian server, built with Debian's own hardening
#   flags (dpkg-buildflags).
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
    cmake --build "$dir" --target msi -j 2 >/dev/null
    cp "$dir"/TaviloConference-*-"$architecture".zip "$dir"/TaviloConference-*-"$architecture".msi \
        "$root/build/packages/"
done

dir="$root/build/deb"
(
    cd "$root"
    eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
    # CMake reads no CPPFLAGS.
    export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS"
    cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCONF_BUILD_TESTS=OFF >/dev/null
)
cmake --build "$dir" --target package -j 2 >/dev/null
cp "$dir"/tavilo-conference_*.deb "$root/build/packages/"
ls -l "$root/build/packages"
