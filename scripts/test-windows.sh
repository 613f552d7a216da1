#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Runs the Windows zarvex.exe under Wine against the project's board emulator: the emulator
# serves a pseudo-terminal that Wine maps to COM7, and ser2net on 127.0.0.1 serves the same
# kind of board as socket:// and rfc2217://. Checks the bytes the board gets (the emulator's
# log decodes every byte), the output, and the exit statuses. Builds what is missing first:
# build-windows/zarvex.exe (scripts/build-windows.sh) and the emulator (scripts/build.sh).
# Installs Wine and ser2net with apt when they are missing. Everything of Wine's lives in a
# temporary directory that goes at the end.
#   scripts/test-windows.sh [--bench] [zarvex.exe]
# --bench runs no test: it times zarvex.exe under Wine beside the native zarvex and the C
# one-shot (build/bench/rawread) on the same emulator, and prints the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

bench=no
if [[ ${1:-} == --bench ]]; then
    bench=yes
    shift
fi
exe=${1:-build-windows/zarvex.exe}
emulator=build/tools/zarvex-board-emulator
[[ -f $exe ]] || scripts/build-windows.sh
[[ -x $emulator ]] || scripts/build.sh zarvex-board-emulator
scripts/install-deps.sh wine64 ser2net
exe=$(realpath "$exe")
emulator=$(realpath "$emulator")

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)

work=$(mktemp -d -t zarvex-wine.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko installer, and no windows: there is nothing to show.
export WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# A board of its own for each run of zarvex.exe: Wine opens the pty without O_NOCTTY, and its
# end may hang up a terminal that a later run would share. Arguments go to the emulator.
start_board() {
    stop_board
    : >"$work/board.log"
    # A session of its own; setsid forks when it must, so the emulator says its own pid.
    rm -f "$work/board.pid"
    setsid sh -c 'echo $$ >"$0"; exec "$@"' "$work/board.pid" "$emulator" --verbose "$@" \
        >"$work/board.log" 2>&1 </dev/null &
    for _ in $(seq 100); do
        [[ -s $work/board.pid ]] && break
        sleep 0.05
    done
    board_pid=$(cat "$work/board.pid")
    for _ in $(seq 100); do
        board_pty=$(head -n 1 "$work/board.log")
        [[ $board_pty == /dev/* ]] && break
        sleep 0.05
    done
    [[ $board_pty == /dev/* ]] || {
        echo "test-windows.sh: the emulator printed no device: $(cat "$work/board.log")" >&2
        exit 1
    }
    ln -sfn "$board_pty" "$WINEPREFIX/dosdevices/com7"
}
stop_board() {
    if [[ -n $board_pid ]]; then
        kill "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
        # Not our child when setsid forked: wait for it to go all the same.
        while kill -0 "$board_pid" 2>/dev/null; do sleep 0.02; done
        board_pid=
    fi
    rm -f "${WINEPREFIX:?}/dosdevices/com7"
}
# What the board decoded, one event a line, without the device line.
board_events() {
    sleep 0.1 # the emulator logs a command a moment after it read it
    tail -n +2 "$work/board.log"
}

# run EXPECTED_STATUS ARGS...: runs zarvex.exe into $work/out and $work/err. Into files: Wine's
# helper processes inherit the descriptors and keep a pipe open after the program ended.
run() {
    local expected=$1
    shift
    local status=0
    "$wine" "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
    # zarvex.exe never fails without a word, so a failure with no output at all is Wine's own
    # start going wrong under load (seen as 0xC0000142, DLL initialisation failed): said, and
    # run once more. A run that did get going would show twice in the board's events.
    if [[ $status -ne $expected && ! -s $work/out && ! -s $work/err ]]; then
        echo "note: Wine ended zarvex.exe $* with status $status and no output; once more" >&2
        status=0
        "$wine" "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null || status=$?
    fi
    # Windows' line ends, as the program writes them in text mode.
    sed -i 's/\r$//' "$work/out" "$work/err"
    if [[ $status -ne $expected ]]; then
        fail "zarvex $* exited with $status, not $expected; stderr: $(cat "$work/err")"
        return 1
    fi
}
expect_out() {
    local expected=$1
    local what=$2
    if [[ "$(cat "$work/out")" != "$expected" ]]; then
        fail "$what printed '$(cat "$work/out")', not '$expected'"
    fi
}
expect_events() {
    local expected=$1
    local what=$2
    local events
    events=$(board_events)
    if [[ $events != "$expected" ]]; then
        fail "$what: the board got
$events
and not
$expected"
    fi
}

board_pid=
ser2net_pid=
cleanup() {
    stop_board
    [[ -n $ser2net_pid ]] && kill "$ser2net_pid" 2>/dev/null
    "$wineserver" -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "Making a Wine prefix in $WINEPREFIX"
"$wine" wineboot -i >"$work/wineboot.log" 2>&1 || {
    cat "$work/wineboot.log" >&2
    exit 1
}
# One wineserver for every run, rather than one started and stopped for each (wineboot's may
# still be there).
"$wineserver" -p 2>/dev/null || true

# The median wall time of a command run `reps` times, in milliseconds, each on a fresh board
# (a Wine run may hang up the terminal it used); `%pty%` in the command is the board's pty.
median_ms() {
    local reps=$1
    shift
    local times=() start end
    for _ in $(seq "$reps"); do
        start_board
        local argv=("${@//%pty%/$board_pty}")
        start=$(date +%s%N)
        "${argv[@]}" >"$work/out" 2>&1 </dev/null
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
    done
    # It runs in a subshell: the board it started last is its own to stop.
    stop_board
    printf '%s\n' "${times[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.2f", t[int((NR + 1) / 2)] / 1000 }'
}
if [[ $bench == yes ]]; then
    native=build/src/zarvex
    rawread=build/bench/rawread
    [[ -x $native && -x $rawread ]] || scripts/build.sh zarvex rawread
    reads=2000
    for _ in $(seq "$reads"); do echo read; done >"$work/reads.txt"
    reads_file="Z:${work//\//\\}\\reads.txt"
    : >"$work/none.txt"
    none_file="Z:${work//\//\\}\\none.txt"
    echo "| Figure | Median |"
    echo "|---|---:|"
    echo "| C one-shot (rawread), native | $(median_ms 21 "$rawread" %pty%) ms |"
    echo "| \`zarvex -d PTY read\`, native | $(median_ms 21 "$native" -d %pty% read) ms |"
    echo "| \`zarvex.exe -p 7 read\` under Wine | $(median_ms 11 "$wine" "$exe" -p 7 read) ms |"
    native_all=$(median_ms 5 "$native" -d %pty% batch -f "$work/reads.txt")
    native_none=$(median_ms 5 "$native" -d %pty% batch -f "$work/none.txt")
    wine_all=$(median_ms 5 "$wine" "$exe" -p 7 batch -f "$reads_file")
    wine_none=$(median_ms 5 "$wine" "$exe" -p 7 batch -f "$none_file")
    per() { awk -v a="$1" -v b="$2" -v n="$reads" 'BEGIN { printf "%.3f", (a - b) / n }'; }
    echo "| Per exchange in \`zarvex batch\` ($reads reads less none), native | $(per "$native_all" "$native_none") ms |"
    echo "| Per exchange in \`zarvex.exe batch\` ($reads reads less none) under Wine | $(per "$wine_all" "$wine_none") ms |"
    exit 0
fi

echo "Port number 7 (COM7) on the emulator's pty"
start_board --input A=5A
if run 0 -p 7 reset; then
    expect_out "" "reset"
    expect_events "set-direction A FF
set-direction B FF
set-direction C FF
write-port A 00
write-port B 00
write-port C 00
read-ports -> 5A 00 00" "reset"
fi

start_board
if run 0 -p 7 write A=0xFF; then
    expect_out "" "write A=0xFF"
    expect_events "write-port A FF
read-ports -> 00 00 00" "write A=0xFF"
fi

start_board --input A=FF --input B=FF --input C=FF
if run 0 -p 7 read; then
    expect_out "A=0xFF B=0xFF C=0xFF" "read"
    expect_events "read-ports -> FF FF FF" "read"
fi

start_board --input A=5A
if run 0 -p 7 read A B.1; then
    expect_out "A=0x5A B.1=0" "read A B.1"
fi

echo "A silent board, a port that does not exist, an open port"
start_board --reply silent
if run 4 -p 7 read; then
    grep -q '^zarvex: ' "$work/err" || fail "a silent board: no diagnostic: $(cat "$work/err")"
fi
rm -f "$WINEPREFIX/dosdevices/com29"
if run 3 -p 29 read; then
    grep -q 'COM29' "$work/err" || fail "a missing port is not named: $(cat "$work/err")"
fi
if run 3 --json -p 29 read; then
    python3 -c '
import json, sys
reply = json.loads(open(sys.argv[1]).readline())
assert reply["type"] == "open" and reply["ok"] is False and reply["reason"] == "absent", reply
' "$work/out" || fail "--json of a missing port: $(cat "$work/out")"
fi

echo "A command of Linux only"
if run 2 bridge rfc2217://127.0.0.1:4003 --link x; then
    grep -q 'runs on Linux only' "$work/err" || fail "bridge: $(cat "$work/err")"
fi

echo "batch and --json"
# What the board gets from the batch file, here and through ser2net.
batch_events="set-direction A FF
set-direction B FF
set-direction C FF
write-port A 00
write-port B 00
write-port C 00
write-port A 0F
read-ports -> 5A 00 00
read-ports -> 5A 00 00"
start_board --input A=5A
printf 'reset\nwrite A=0x0F # a comment\n\nread A\nexpect B=0x00\n' >"$work/batch.txt"
# The same file as Windows names it: Wine's drive Z: is /.
batch_file="Z:${work//\//\\}\\batch.txt"
if run 0 -p 7 batch -f "$batch_file"; then
    expect_out "open COM7
ok
ok
ok A=0x5A
ok B=0x00" "batch"
    expect_events "$batch_events" "batch"
fi

start_board --input A=5A --input C=1F
if run 0 --json -p 7 read; then
    python3 -c '
import json, sys
lines = open(sys.argv[1]).read().splitlines()
assert len(lines) == 1, lines
reply = json.loads(lines[0])
assert reply["version"] == 1 and reply["type"] == "read" and reply["ok"] is True, reply
assert reply["values"] == {"A": 90, "B": 0, "C": 31}, reply
assert reply["inputs"] == {"A": 90, "B": 0, "C": 31}, reply
' "$work/out" || fail "--json read: $(cat "$work/out")"
fi

echo "A board file: its device, setup and names"
cat >"$work/board.toml" <<'TOML'
device = "COM7"
[lines]
RESET_N = { line = "A.3", active_low = true, direction = "out", initial = false }
POWER   = { line = "A.4", direction = "out", initial = false }
DONE    = "B.0"
TOML
board_file="Z:${work//\//\\}\\board.toml"
printf 'setup\nwrite RESET_N=1\nread DONE RESET_N\n' >"$work/named.txt"
named_file="Z:${work//\//\\}\\named.txt"
start_board --input B=01
if run 0 --board "$board_file" batch -f "$named_file"; then
    expect_out "open COM7
ok dir A=0xE7 B=0xFF C=0xFF write A=0x08 B=0x00 C=0x00 RESET_N=0 POWER=0
ok
ok DONE=1 RESET_N=1" "batch with a board file"
    # RESET_N is active low: not asserted is A.3 high, asserted is low.
    expect_events "write-port A 08
write-port B 00
write-port C 00
set-direction A E7
set-direction B FF
set-direction C FF
write-port A 00
read-ports -> 00 01 00" "batch with a board file"
fi
start_board --input B=01
export ZARVEX_BOARD=$board_file
if run 0 read DONE; then
    expect_out "DONE=1" "read DONE through ZARVEX_BOARD"
fi
if run 2 write RESET_N=1; then
    grep -q 'sets one line' "$work/err" || fail "a one-shot named write: $(cat "$work/err")"
fi
unset ZARVEX_BOARD

echo "watch and wait"
start_board --input A=5A --count C --count-interval 200
if run 0 -p 7 watch C --interval 100ms --duration 1s; then
    lines=$(wc -l <"$work/out")
    # The first reading, then a change every 200 ms.
    [[ $lines -ge 2 ]] || fail "watch --duration 1s printed $lines lines: $(cat "$work/out")"
    grep -qvE ' C=0x[0-9A-F]{2}$' "$work/out" && fail "watch printed $(cat "$work/out")"
fi
start_board --reply silent
run 4 -p 7 watch --duration 500ms || true

start_board --input A=5A
if run 0 -p 7 wait A=0x5A --timeout 2s; then
    expect_out "A=0x5A" "wait A=0x5A"
fi
start_board --input A=5A
if run 1 -p 7 wait A=0x00 --timeout 300ms; then
    expect_out "A=0x5A" "wait A=0x00 that runs out of time"
fi

echo "socket:// and rfc2217:// through ser2net on 127.0.0.1"
start_board --input A=5A
read -r raw_port telnet_port < <(python3 -c '
import socket
sockets = [socket.socket() for _ in range(2)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(*(s.getsockname()[1] for s in sockets))
')
cat >"$work/ser2net.yaml" <<YAML
connection: &raw
  accepter: tcp,127.0.0.1,$raw_port
  connector: serialdev,$board_pty,9600n81,local
  options:
    chardelay: false
    mdns: false
connection: &telnet
  accepter: telnet(rfc2217),tcp,127.0.0.1,$telnet_port
  connector: serialdev,$board_pty,9600n81,local
  options:
    chardelay: false
    mdns: false
YAML
# -n -d: in the foreground; -u: no lock files.
"$ser2net" -n -d -u -c "$work/ser2net.yaml" -P "$work/ser2net.pid" >"$work/ser2net.log" 2>&1 &
ser2net_pid=$!
for _ in $(seq 100); do
    python3 -c '
import socket, sys
for port in sys.argv[1:]:
    socket.create_connection(("127.0.0.1", int(port)), timeout=1).close()
' "$raw_port" "$telnet_port" 2>/dev/null && break
    sleep 0.05
done
# ser2net lets go of the device a moment after each client: give it that between the runs.
sleep 0.3
if run 0 -d "socket://127.0.0.1:$raw_port" read; then
    expect_out "A=0x5A B=0x00 C=0x00" "read through socket://"
fi
sleep 0.3
if run 0 -d "rfc2217://127.0.0.1:$telnet_port" write B=0x81; then
    expect_out "" "write through rfc2217://"
fi
sleep 0.3
if run 0 --json -d "rfc2217://127.0.0.1:$telnet_port" batch -f "$batch_file"; then
    python3 -c '
import json, sys
lines = [json.loads(line) for line in open(sys.argv[1])]
assert lines[0]["type"] == "open" and lines[0]["ok"] is True, lines[0]
assert all(line["ok"] for line in lines), lines
assert len(lines) == 5, lines
' "$work/out" || fail "batch --json through rfc2217://: $(cat "$work/out")"
fi
expect_events "read-ports -> 5A 00 00
write-port B 81
read-ports -> 5A 00 00
$batch_events" "through ser2net"
kill "$ser2net_pid" 2>/dev/null || true
wait "$ser2net_pid" 2>/dev/null || true
ser2net_pid=
if run 3 -d "socket://127.0.0.1:$raw_port" read; then
    grep -q "127.0.0.1:$raw_port" "$work/err" || fail "no server: $(cat "$work/err")"
fi

if [[ $failures -gt 0 ]]; then
    echo "test-windows.sh: $failures failed" >&2
    exit 1
fi
echo "test-windows.sh: all passed"
