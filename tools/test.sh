#!/usr/bin/env bash
# Installs what is missing, builds and runs the whole test suite.
#   BUILD_DIR   build folder (default: build)
#   BUILD_TYPE  CMake build type (default: Release)
#   CMAKE_ARGS  extra CMake arguments, e.g. -DTAVO_SANITIZE=ON
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
build=${BUILD_DIR:-$root/build}
# A compiler cache, where there is one, makes rebuilds of unchanged sources free.
command -v ccache >/dev/null && CMAKE_ARGS="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache ${CMAKE_ARGS:-}"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" -j"$(nproc)"
cd "$build"
# Tests use the offscreen platform and no desktop theme, so they run the same with or without a display.
unset QT_QPA_PLATFORMTHEME
# Most tests wait on pseudo-terminals and timers rather than compute, so run two per core.
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(($(nproc) * 2))" --timeout 300
