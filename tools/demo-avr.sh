#!/usr/bin/env bash
# A real microcontroller in the loop, run from the repository root: installs what is missing,
# builds (Release, in build/) the loader, our AVR bootloader and demo application and the simulated
# chip, starts an ATmega328P at 16 MHz in the simulator with the bootloader and build 1 of the demo
# application, shows its greeting, flashes build 2 (and its EEPROM image) with tavo-flash at
# 19200 baud, and shows the new greeting. BUILD_DIR overrides the build folder. Exit status 0 only
# when build 2 greets.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bin="$build/bin"
firmware="$build/firmware"
baud=19200
bootloader="$firmware/bootloader-atmega328p-$baud.hex"

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-demo-avr.XXXXXX")
chip_pid=""
device=""

step() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    if [ -s "$work/avrsim.log" ]; then
        printf -- '-- tavo-avrsim said:\n' >&2
        cat "$work/avrsim.log" >&2
    fi
    exit 1
}

stop_chip() {
    [ -n "$chip_pid" ] || return 0
    kill "$chip_pid" 2>/dev/null || true
    wait "$chip_pid" 2>/dev/null || true
    chip_pid=""
}

cleanup() {
    stop_chip
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

build_programs() {
    step "Installing missing packages"
    "$root/tools/install-deps.sh"
    step "Building (Release) in $build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target tavo-flash tavo-avrsim tavo-firmware -j"$(nproc)"
    [ -x "$bin/tavo-avrsim" ] || fail "tavo-avrsim was not built (is libsimavr-dev installed?)"
}

start_chip() {
    step "Starting an ATmega328P with the bootloader and build 1 of the demo application"
    "$bin/tavo-avrsim" --mcu atmega328p --bootloader "$bootloader" \
        --app "$firmware/demo-atmega328p-$baud-build1.hex" \
        >"$work/device" 2>"$work/avrsim.log" &
    chip_pid=$!
    for _ in $(seq 50); do
        [ -s "$work/device" ] && break
        kill -0 "$chip_pid" 2>/dev/null || fail "tavo-avrsim ended at start"
        sleep 0.1
    done
    device=$(head -n 1 "$work/device")
    [ -n "$device" ] || fail "tavo-avrsim did not report its device"
    echo "The chip's UART0 is $device"
}

# Sends a carriage return, to which the demo answers with its greeting, and prints the line that
# has the greeting in it (the application greets at start as well: after a reset the bootloader
# waits a second for the loader before it starts the application).
greeting() {
    stty -F "$device" raw -echo
    exec 3<>"$device"
    printf '\r' >&3
    local line=""
    while IFS= read -r -t 5 line <&3; do
        [[ "$line" == *Hello* ]] && break
    done
    exec 3>&-
    line=${line//$'\r'/}
    echo "  the chip says: Hello${line#*Hello}"
    [[ "$line" == *"build $1"* ]]
}

main() {
    cd "$root"
    build_programs
    start_chip
    step "The application running on the chip"
    greeting 1 || fail "build 1 of the demo did not greet"

    local image="$firmware/demo-atmega328p-$baud-build2.hex"
    step "Flashing $(basename "$image") and its EEPROM image"
    local command=("$bin/tavo-flash" --settings "$work/dazez.txt" --port "$device" --baud "$baud"
                   --flash "$image" --eeprom "${image%.hex}.eep" --on-error stop)
    echo "\$ ${command[*]}"
    "${command[@]}" || fail "tavo-flash ended with exit status $?"

    step "The new application"
    greeting 2 || fail "build 2 of the demo did not greet"
    step "Demo complete"
}

main "$@"
