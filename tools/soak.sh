#!/usr/bin/env bash
# Fault soak: N downloads of tavo-flash against tavo-bootsim, 3 at a time, each with a random
# fault of the board, the line or the user and a random --on-error choice. Every run must end
# within its bound with the exit code its fault implies, leave no process, lock file or user of
# its pseudo-terminal behind, and its port must open again afterwards. Prints a table: fault,
# runs, exit codes seen, longest run.
#
#   tools/soak.sh [N]        N runs (default 1000)
#   BUILD_DIR   folder with bin/tavo-flash and bin/tavo-bootsim (default: build)
#   SEED        seed of the random choices (default: random; printed, so a soak can be rerun)
#   JOBS        runs at a time (default 3)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD_DIR:-$root/build}/bin
runs=${1:-1000}
jobs=${JOBS:-3}
seed=${SEED:-$RANDOM}
for tool in tavo-flash tavo-bootsim; do
    [ -x "$bin/$tool" ] || { echo "soak: $bin/$tool is missing (build it first)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-soak.XXXXXX")
kept=${TMPDIR:-/tmp}/tavo-soak-failures
trap 'rm -rf "$work"' EXIT

flash_full=$root/tools/samples/sample.hex
eeprom=$root/tools/samples/sample.eep
# A short image (30 data records and the end record) for the runs with slow answers.
flash_short=$work/short.hex
{ head -n 30 "$flash_full"; tail -n 1 "$flash_full"; } >"$flash_short"

faults=(none checksum page silent never-ready active-only hang-up slow sigint sigterm sigint-twice
        timeout exit-after-eof old-bootloader ask-without-terminal)

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# One run. Picks its fault from run number and seed, prints one line:
# fault expected-code exit-code milliseconds bound-ms problems
one_run() {
    local n=$1 dir=$work/run$1
    RANDOM=$((seed * 7919 + n))
    mkdir -p "$dir"
    local fault=${faults[RANDOM % ${#faults[@]}]}
    local choices=(stop continue)
    local on_error=${choices[RANDOM % 2]}
    local image=$flash_full lines=322 sim=() flash_args=() expected=0 bound=15 signal="" timeout=""
    [ $((RANDOM % 3)) -eq 0 ] && flash_args+=(--eeprom "$eeprom")
    # A line of the Flash file, the end record (line $lines) now and then; T: faulty first tries.
    local line=$((RANDOM % 8 == 0 ? lines : 1 + RANDOM % (lines - 1)))
    local tries=$((RANDOM % 4)) # 0: every try
    local fault_spec=$line
    [ "$tries" -gt 0 ] && fault_spec+=":$tries"
    case $fault in
    none) ;;
    checksum | page | silent)
        sim=(--fault-file flash "--fail-$fault" "$fault_spec")
        [ "$fault" = silent ] && sim=(--fault-file flash --silent "$fault_spec") && bound=25
        # A later try of the same line is answered; but a board that took the end record has
        # finished and runs its application, which answers no try of it.
        if [ "$fault" != page ] && [ "$tries" -ge 1 ] && [ "$tries" -le 2 ] &&
            ! { [ "$fault" = silent ] && [ "$line" -eq "$lines" ]; }; then
            expected=0
        elif [ "$on_error" = stop ]; then
            expected=2
        elif [ "$line" -eq "$lines" ]; then
            expected=3 # the end record went unanswered: no answer at the end of the file
        else
            expected=$([ "$fault" = silent ] && echo 0 || echo 1)
        fi ;;
    never-ready) sim=(--never-ready); expected=4; bound=30 ;;
    active-only) sim=(--active-only); timeout=$((2 + RANDOM % 4)); expected=124 ;;
    hang-up) sim=(--fault-file flash --drop-after $((1 + RANDOM % (lines - 2)))); expected=7 ;;
    slow) image=$flash_short; lines=31; sim=(--delay $((1 + RANDOM % 150))) ;;
    sigint | sigterm | sigint-twice)
        sim=(--delay 20); signal=$fault; expected=130 ;;
    timeout) sim=(--delay 20); timeout=$((2 + RANDOM % 4)); expected=124 ;;
    exit-after-eof) sim=(--exit-after-eof) ;;
    old-bootloader)
        sim=(--version-answer '?V1.27'); flash_args=(--eeprom "$eeprom"); expected=5 ;;
    ask-without-terminal) on_error=ask; expected=64 ;;
    esac
    [ -n "$timeout" ] && bound=$((timeout + 3))

    "$bin/tavo-bootsim" --path-file "$dir/device" "${sim[@]}" >"$dir/sim.out" 2>"$dir/sim.err" &
    local sim_pid=$!
    local waited=0
    while [ ! -s "$dir/device" ] && [ $waited -lt 100 ]; do sleep 0.05; waited=$((waited + 1)); done
    local device
    device=$(cat "$dir/device" 2>/dev/null)
    if [ -z "$device" ]; then
        kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null
        echo "$fault $expected - 0 $((bound * 1000)) board-did-not-start"
        return
    fi

    local start
    start=$(now_ms)
    # A hard stop well past the bound, so that a hung run is reported, not waited for.
    timeout -s KILL $((bound + 20)) "$bin/tavo-flash" --port "$device" --baud 115200 \
        --flash "$image" "${flash_args[@]}" --settings "$dir/none.txt" --on-error "$on_error" \
        ${timeout:+--timeout "$timeout"} </dev/null >"$dir/flash.out" 2>&1 &
    local flash_pid=$!
    if [ -n "$signal" ]; then
        # Signal the flasher (the child of timeout) once its run has begun, at a random moment
        # well before the end of the transfer.
        local child=""
        waited=0
        while [ $waited -lt 200 ] && ! grep -qs "Initializing the com port" "$dir/flash.out"; do
            sleep 0.05; waited=$((waited + 1))
        done
        child=$(pgrep -P "$flash_pid" -x tavo-flash)
        sleep "$((RANDOM % 4)).$((RANDOM % 10))"
        case $signal in
        sigint) kill -INT "$child" ;;
        sigterm) kill -TERM "$child" ;;
        sigint-twice) kill -INT "$child"; sleep 0.05; kill -INT "$child" ;;
        esac 2>/dev/null
    fi
    wait "$flash_pid"
    local code=$? elapsed=$(($(now_ms) - start))
    local problems=""
    [ "$code" -eq 137 ] && problems+="killed-after-bound,"
    [ "$elapsed" -gt $((bound * 1000)) ] && problems+="over-bound,"
    [ "$code" -ne "$expected" ] && problems+="exit-code,"

    if kill -0 "$sim_pid" 2>/dev/null && [ -e "$device" ]; then
        # While the board lives the pseudo-terminal keeps its number, so what names it is ours:
        # no lock file may remain (Qt's names the process that held it), nobody may hold the
        # slave side, and the port opens and locks again.
        local lock=/run/lock/LCK..${device#/dev/}
        lock=${lock//pts\//pts_}
        if [ -f "$lock" ]; then
            local owner
            owner=$(head -n 1 "$lock" 2>/dev/null | tr -d ' ')
            [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null && problems+="lock-file,"
        fi
        fuser -s "$device" 2>/dev/null && problems+="pty-held,"
        if ! timeout 5 flock -n "$device" true 2>/dev/null; then
            kill -0 "$sim_pid" 2>/dev/null && [ -e "$device" ] && problems+="port-does-not-open,"
        fi
    fi
    kill -TERM "$sim_pid" 2>/dev/null
    waited=0
    while kill -0 "$sim_pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.05; waited=$((waited + 1)); done
    kill -0 "$sim_pid" 2>/dev/null && { problems+="board-left,"; kill -KILL "$sim_pid"; }
    wait "$sim_pid" 2>/dev/null
    pgrep -f "$dir/" >/dev/null && problems+="process-left,"
    if [ -n "$problems" ]; then
        mkdir -p "$kept"
        cp -r "$dir" "$kept/run$n-seed$seed" 2>/dev/null
    fi
    rm -rf "$dir"
    echo "$fault $expected $code $elapsed $((bound * 1000)) ${problems:--}"
}

worker() {
    local w=$1 n
    for ((n = w; n < runs; n += jobs)); do one_run "$n"; done
}

echo "soak: $runs runs, $jobs at a time, seed $seed ($bin)"
started=$(now_ms)
for ((w = 0; w < jobs; w++)); do worker "$w" >"$work/results.$w" & done
wait
results=$(cat "$work"/results.*)

printf '\n%-22s %5s %-9s %-24s %9s %s\n' fault runs expected "exit codes seen" "max time" failures
for fault in "${faults[@]}"; do
    awk -v f="$fault" '
        $1 == f { runs++; seen[$3]++; if ($4 > max) max = $4; want[$2] = 1; if ($6 != "-") bad++ }
        END {
            if (!runs) exit
            codes = ""; for (c in seen) codes = codes (codes ? " " : "") c "x" seen[c]
            e = ""; for (c in want) e = e (e ? "," : "") c
            printf "%-22s %5d %-9s %-24s %8.1fs %d\n", f, runs, e, codes, max / 1000, bad
        }' <<<"$results"
done
failed=$(awk '$6 != "-"' <<<"$results")
leftover=$(pgrep -f "^$bin/tavo-(flash|bootsim) .*$work" || true)
[ -n "$leftover" ] && failed+=$'\nprocesses left: '"$leftover"
echo
echo "$runs runs in $((($(now_ms) - started) / 1000)) s"
if [ -n "$failed" ]; then
    echo "FAILED runs (fault expected code ms bound problems):"
    echo "$failed"
    echo "Their files are kept in $kept."
    exit 1
fi
echo "every run ended in time with its expected code and left nothing behind"
