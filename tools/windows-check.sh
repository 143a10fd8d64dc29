#!/usr/bin/env bash
# Builds the GUI-free core (settings/ and engine/ with their tests) for 64-bit Windows with
# MinGW-w64 and runs those tests under Wine: the core must hold no POSIX-only code. CI runs it.
#   BUILD_DIR     build folder (default: build-windows)
#   WINE          the Wine loader (default: wine64, wine or /usr/lib/wine/wine64)
#   REQUIRE_WINE  1: fail when there is no Wine; otherwise the cross-build alone is the check
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
build=${BUILD_DIR:-$root/build-windows}
toolchain="$root/cmake/mingw-w64.cmake"
jobs=$(nproc)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache
                                          -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# GoogleTest, cross-built once from Debian's sources (package googletest).
gtest="$build/googletest"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
    echo "== GoogleTest for MinGW-w64"
    cmake -S /usr/src/googletest -B "$build/googletest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" \
        "${launcher[@]}" >/dev/null
    cmake --build "$build/googletest-build" -j"$jobs" >/dev/null
    cmake --install "$build/googletest-build" >/dev/null
fi

echo "== settings/ and engine/ with their tests for Windows"
cmake -S "$root" -B "$build/core" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DTAVO_CORE_ONLY=ON -DGTest_DIR="$gtest/lib/cmake/GTest" -DCMAKE_CXX_FLAGS=-Werror \
    "${launcher[@]}" >/dev/null
cmake --build "$build/core" -j"$jobs"

wine=${WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
if [ ! -x "$wine" ]; then
    if [ "${REQUIRE_WINE:-0}" = 1 ]; then
        echo "windows-check: no Wine to run the tests" >&2
        exit 1
    fi
    echo "== No Wine here: the cross-build is the check"
    exit 0
fi

echo "== The tests under Wine ($wine)"
export WINEPREFIX="$build/wine" WINEDEBUG=-all WINEARCH=win64
# No prompts to install Wine's .NET and HTML engines: the tests need neither.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The first start makes the Wine prefix; its notes are not the tests' output.
"$wine" wineboot --init >/dev/null 2>&1 || true
status=0
for test in "$build"/core/bin/*_tests.exe; do
    echo "-- $(basename "$test")"
    "$wine" "$test" --gtest_brief=1 || status=1
done
# Wine's server lingers a few seconds after its last program; end it now.
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] && "$wineserver" -k 2>/dev/null || true
exit $status
