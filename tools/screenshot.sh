#!/usr/bin/env bash
# Shows the main window on a virtual X display while it flashes the simulated board, and saves a
# picture taken mid-transfer as docs/screenshot.png.
#   BUILD_DIR   build folder (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" --target tavo-screenshot tavo-bootsim -j2
unset QT_QPA_PLATFORMTHEME
mkdir -p "$root/docs"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24" \
    "$build/bin/tavo-screenshot" "$root/docs/screenshot.png" "$@"
