#!/usr/bin/env bash
# The newcomer's first command, run from the repository root: installs what is missing, builds
# (Release, in build/), starts the simulated board on a pseudo-terminal, flashes the bundled
# sample image into it with tavo-flash and checks that the board holds exactly that image.
# Where a display is present it then shows the window flashing a fresh simulated board.
# BUILD_DIR overrides the build folder. Exit status 0 only when the board's memory matches the
# image byte for byte.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
bin="$build/bin"
sample="$root/tools/samples/sample.hex"
# What the demo needs built; add targets here when the demo grows. The icons make the build
# complete for `cmake --install build` afterwards.
targets=(tavo-flash tavo-bootsim tavo-programmer tavo-icons)

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-demo.XXXXXX")
bootsim_pid=""
device=""

step() { printf '\n== %s\n' "$*"; }
fail() {
    printf '\nDEMO FAILED: %s\n' "$*" >&2
    if [ -s "$work/bootsim.log" ]; then
        printf -- '-- tavo-bootsim said:\n' >&2
        cat "$work/bootsim.log" >&2
    fi
    exit 1
}

stop_board() {
    [ -n "$bootsim_pid" ] || return 0
    # The board writes its memory dump on its way out, whatever ends it.
    kill "$bootsim_pid" 2>/dev/null || true
    wait "$bootsim_pid" 2>/dev/null || true
    bootsim_pid=""
}

cleanup() {
    stop_board
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

install_deps() {
    step "Installing missing packages"
    "$root/tools/install-deps.sh"
}

build_programs() {
    step "Building (Release) in $build"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target "${targets[@]}" -j"$(nproc)"
}

start_board() {
    step "Starting the simulated board"
    rm -f "$work/device"
    "$bin/tavo-bootsim" --path-file "$work/device" --flash-out "$work/flash.hex" \
        >/dev/null 2>"$work/bootsim.log" &
    bootsim_pid=$!
    for _ in $(seq 50); do
        [ -s "$work/device" ] && break
        kill -0 "$bootsim_pid" 2>/dev/null || fail "tavo-bootsim ended at start"
        sleep 0.1
    done
    [ -s "$work/device" ] || fail "tavo-bootsim did not report its device"
    device=$(cat "$work/device")
    echo "Board listening on $device"
}

flash_sample() {
    step "Flashing $sample"
    # A settings file of the demo's own that does not exist: the defaults, whatever a dazez.txt
    # beside the program says.
    local command=("$bin/tavo-flash" --settings "$work/dazez.txt" --port "$device"
                   --baud 115200 --flash "$sample" --on-error stop)
    echo "\$ ${command[*]}"
    "${command[@]}" || fail "tavo-flash ended with exit status $?"
}

# Intel HEX to a flat binary from address 0 to the highest byte written, gaps 0xFF, so that the
# image and the board's memory dump (Intel HEX in records of its own) compare byte for byte.
# Data, end-of-file and extended address records (types 00, 01, 02, 04).
decode_hex() {
    perl -e '
        my ($base, $max, %mem) = (0, -1);
        while (my $line = <STDIN>) {
            $line =~ s/[\r\n]+$//;
            next if $line eq "";
            $line =~ /^:((?:[0-9A-Fa-f]{2})+)$/ or die "not a record: $line\n";
            my @b = map { hex } unpack("(A2)*", $1);
            my $sum = 0;
            $sum += $_ for @b;
            die "bad checksum: $line\n" if $sum & 0xFF;
            my ($len, $address, $type) = ($b[0], $b[1] * 256 + $b[2], $b[3]);
            die "bad length: $line\n" if @b != $len + 5;
            my @data = @b[4 .. 3 + $len];
            if ($type == 0) {
                for my $i (0 .. $#data) {
                    my $at = $base + $address + $i;
                    $mem{$at} = $data[$i];
                    $max = $at if $at > $max;
                }
            } elsif ($type == 1) {
                last;
            } elsif ($type == 2) {
                $base = ($data[0] * 256 + $data[1]) * 16;
            } elsif ($type == 4) {
                $base = ($data[0] * 256 + $data[1]) * 65536;
            }
        }
        binmode STDOUT;
        print pack("C*", map { exists $mem{$_} ? $mem{$_} : 0xFF } 0 .. $max);
    ' <"$1"
}

check_board() {
    step "Checking the board's Flash memory against the image"
    stop_board
    [ -f "$work/flash.hex" ] || fail "the board wrote no memory dump"
    decode_hex "$sample" >"$work/expected.bin" || fail "cannot decode $sample"
    decode_hex "$work/flash.hex" >"$work/flash.bin" || fail "cannot decode the board's dump"
    if ! cmp -s "$work/expected.bin" "$work/flash.bin"; then
        cmp "$work/expected.bin" "$work/flash.bin" >&2 || true
        fail "the board's memory differs from $sample"
    fi
    echo "The board holds exactly the image: $(wc -c <"$work/flash.bin") bytes match."
}

# The window reads dazez.txt and ports.txt beside its executable: a copy in the work folder gets
# its own, so the demo never touches the settings of the build's program.
show_window() {
    if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        step "No display: the window is not shown (build/bin/tavo-programmer starts it)"
        return 0
    fi
    start_board
    step "Showing the window: it flashes the board at once; press OK, then Exit"
    local app="$work/app"
    mkdir -p "$app"
    cp "$bin/tavo-programmer" "$app/"
    printf '1=%s\n' "$device" >"$app/ports.txt"
    # Com 1, 115200 baud, the sample as the application image, default protocol strings.
    printf '0\r\n9\r\n"%s"\r\n"@&$"\r\n"?"\r\n"$"\r\n"^"\r\n"%%"\r\n"#"\r\n"@"\r\n"-"\r\n"~"\r\n""\r\n"*"\r\n0\r\n1\r\n' \
        "$sample" >"$app/dazez.txt"
    "$app/tavo-programmer" --start || fail "the window ended with exit status $?"
    stop_board
}

main() {
    cd "$root"
    install_deps
    build_programs
    start_board
    flash_sample
    check_board
    show_window
    step "Demo complete"
}

main "$@"
