#!/usr/bin/env bash
# Builds and tests every configuration:
#   native        g++ on Linux: the portable cores, confrelay, confchat, confbench
#   native-asan   the same under AddressSanitizer and UndefinedBehaviorSanitizer
#   win64         MinGW-w64 x86_64; unit tests and end-to-end tests under wine64,
#                 browsers among them (headless Chromium, confweb and confweb.exe)
#   win32         MinGW-w64 i686, the shipping target: built, its installer's
#                 tables checked, not run (this
#                 kernel cannot execute 32-bit programs)
#   fuzz          clang with libFuzzer: the relay's and the client's handling
#                 of arbitrary datagrams, each fuzzed for a bounded time
# Usage: tools/test.sh [configuration...]   (default: all five)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build_root=${CONF_BUILD_ROOT:-$root/build}
jobs=${CONF_JOBS:-2}

"$root/tools/setup.sh" || exit 1

configurations=("$@")
[ ${#configurations[@]} -gt 0 ] || configurations=(native native-asan win64 win32 fuzz)

total_passed=0
total_failed=0
failed_configurations=()

cmake_args_for() {
    case $1 in
    native) echo "-DCMAKE_BUILD_TYPE=Release" ;;
    native-asan) echo "-DCMAKE_BUILD_TYPE=Debug -DCONF_SANITIZE=ON" ;;
    win64) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-x86_64.cmake -DCONF_NATIVE_BUILD=$build_root/native" ;;
    win32) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_TOOLCHAIN_FILE=$root/cmake/mingw-i686.cmake" ;;
    fuzz) echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCONF_FUZZ=ON -DCONF_BUILD_TESTS=OFF" ;;
    *) return 1 ;;
    esac
}

for configuration in "${configurations[@]}"; do
    dir="$build_root/$configuration"
    mkdir -p "$build_root"
    echo "=== $configuration: build ==="
    args=$(cmake_args_for "$configuration") || { echo "unknown configuration $configuration" >&2; exit 2; }
    # The browser suites of win64 run the native confweb as well: a native
    # tree must exist (its test step builds confweb in it).
    if [ "$configuration" = win64 ] && [ ! -f "$build_root/native/CMakeCache.txt" ]; then
        # shellcheck disable=SC2046
        cmake -S "$root" -B "$build_root/native" -G Ninja -DCONF_WARNINGS_AS_ERRORS=ON $(cmake_args_for native) \
            >"$build_root/native.configure.log" 2>&1 || echo "=== native: configure for win64 FAILED ==="
    fi
    # Warnings are errors here, in the tested configurations, and never in a
    # user's own build.
    # shellcheck disable=SC2086
    if ! cmake -S "$root" -B "$dir" -G Ninja -DCONF_WARNINGS_AS_ERRORS=ON $args >"$dir.configure.log" 2>&1 ||
        ! cmake --build "$dir" -j "$jobs"; then
        cat "$dir.configure.log" 2>/dev/null | tail -20
        echo "=== $configuration: BUILD FAILED ==="
        failed_configurations+=("$configuration")
        total_failed=$((total_failed + 1))
        continue
    fi
    case $configuration in
    win32 | win64)
        # The zip a Windows user gets must hold every Windows program.
        listing=""
        cmake --build "$dir" --target package -j "$jobs" >"$dir.package.log" 2>&1 &&
            listing=$(unzip -l "$dir"/TaviloConference-*-"$configuration".zip 2>>"$dir.package.log")
        if ! grep -q 'confserver\.exe' <<<"$listing" || ! grep -q 'confclient\.exe' <<<"$listing" ||
            ! grep -q 'pcname\.exe' <<<"$listing" || ! grep -q 'confweb\.exe' <<<"$listing"; then
            tail -20 "$dir.package.log"
            echo "=== $configuration: PACKAGE FAILED ==="
            failed_configurations+=("$configuration")
            total_failed=$((total_failed + 1))
        fi
        ;;
    esac
    # 32-bit programs cannot run on this machine: of the win32 tests only the
    # ones that read its installer's tables run.
    selection=()
    if [ "$configuration" = win32 ]; then
        selection=(-R '^msi_')
    fi

    echo "=== $configuration: test ==="
    log="$dir/ctest.log"
    (cd "$dir" && ctest -j "$jobs" --output-on-failure --timeout 600 "${selection[@]}") 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    summary=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
    if [ -n "$summary" ]; then
        failed=$(echo "$summary" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+)/\1/')
        all=$(echo "$summary" | sed -E 's/.* out of ([0-9]+)/\1/')
        total_passed=$((total_passed + all - failed))
        total_failed=$((total_failed + failed))
    else
        total_failed=$((total_failed + 1))
    fi
    [ "$status" -eq 0 ] || failed_configurations+=("$configuration")
    [ "$configuration" = win64 ] && "$root/tools/wine/stop.sh" "$dir/wine"
done

echo
if [ ${#failed_configurations[@]} -gt 0 ]; then
    echo "failed configurations: ${failed_configurations[*]}"
fi
echo "total: $total_passed passed, $total_failed failed"
[ ${#failed_configurations[@]} -eq 0 ]
