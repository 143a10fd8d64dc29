#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when any is missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev qt6-base-dev qt6-serialport-dev libgl-dev xvfb xauth
          clang-format)
# The package and install tests: cpack's dependency scan, the desktop entry, AppStream and
# manual page checkers, lintian; the window needs Qt's platform plugins once installed.
packages+=(dpkg-dev file desktop-file-utils appstream man-db lintian qt6-qpa-plugins)
# The Windows check: the MinGW-w64 cross compiler, GoogleTest's sources and Wine.
packages+=(g++-mingw-w64-x86-64-posix googletest wine64)
# The fuzz targets (clang with libFuzzer) and the fault soak (pgrep, fuser).
packages+=(clang libclang-rt-14-dev procps psmisc)
# The AVR firmware and the simulated chip the avr tests program it in.
packages+=(gcc-avr avr-libc binutils-avr simavr libsimavr-dev libsimavrparts1 libelf-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
