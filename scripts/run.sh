#!/usr/bin/env bash
# Builds the utility (installing what it needs) and starts it. When port number 3, the one
# the window starts with, names no device and we are root, an emulated board is put on it
# first, so the utility can be tried without a board; the emulator goes when the utility ends.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi

program=build/src/zarvex-test
emulator=build/tools/zarvex-board-emulator

# Whether port 3 reaches a device, as the utility names it: /dev/com3 (a link to an unplugged
# board counts: it is somebody's), or else a UART at /dev/ttyS2. A link into /dev/pts whose pty
# is gone was left by an emulator that did not end cleanly and names nothing.
port3_names_a_device() {
    if [[ -L /dev/com3 ]]; then
        local target
        target=$(readlink /dev/com3)
        [[ "$target" == /dev/pts/* && ! -e "$target" ]] && return 1
        return 0
    fi
    [[ -e /dev/com3 ]] && return 0
    [[ -c /dev/ttyS2 ]] || return 1
    # The kernel keeps ttyS nodes for UARTs that are not fitted; their type reads 0.
    local type
    type=$(cat /sys/class/tty/ttyS2/type 2>/dev/null || echo 0)
    [[ "$type" != 0 ]]
}

if port3_names_a_device; then
    exec "$program"
fi

if [[ $(id -u) -ne 0 ]]; then
    cat >&2 <<EOF
Port 3 names no device on this machine. To try the utility without a board, run this as root
(sudo $0): an emulated board then answers on port 3. Or start one yourself, as root:
    $emulator --link /dev/com3 --count C
EOF
    exec "$program"
fi

emulator_pid=
stop_emulator() {
    if [[ -n "$emulator_pid" ]]; then
        kill -TERM "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
        emulator_pid=
    fi
}
trap stop_emulator EXIT

# The emulator's first line is its device, printed once the /dev/com3 link is in place.
exec {board_out}< <(exec "$emulator" --link /dev/com3 --input A=5A --count C)
emulator_pid=$!
if ! read -r -t 10 device <&"$board_out"; then
    echo "Could not start the emulated board; starting the utility without it." >&2
    stop_emulator
    exec "$program"
fi
cat <<EOF
==> Port 3 names no device, so an emulated Zarvex board answers on port 3 now
    (/dev/com3 -> $device): inputs A = 5A, port C counting up.
    Click Connect, then toggle bits and poll. The board logs each command it receives
    below; it goes away when the utility ends.
EOF
sed -u 's/^/board: /' <&"$board_out" &

"$program"
