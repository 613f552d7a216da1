#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds the utility and the board emulator (installing what they need) and starts the
# utility. When port number 3, the one the window starts with, names no device, an emulated
# board is put on it first, so the utility can be tried without a board; the emulator goes
# when the utility ends. The emulator runs as the user, so its pseudo-terminal is theirs;
# only the /dev/com3 link to it needs root, and is made with sudo or pkexec where there is
# one, or else by root with the command printed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
    echo "No display found: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi

scripts/build.sh zarvex-test zarvex-board-emulator

program=build/src/zarvex-test
emulator=build/tools/zarvex-board-emulator
link=/dev/com3

# Whether port 3 reaches a device, as the utility names it: /dev/com3 (a link to an unplugged
# board counts: it is somebody's), or else a UART at /dev/ttyS2. A link into /dev/pts whose pty
# is gone was left by an emulator that did not end cleanly and names nothing.
port3_names_a_device() {
    if [[ -L $link ]]; then
        local target
        target=$(readlink $link)
        [[ "$target" == /dev/pts/* && ! -e "$target" ]] && return 1
        return 0
    fi
    [[ -e $link ]] && return 0
    [[ -c /dev/ttyS2 ]] || return 1
    # The kernel keeps ttyS nodes for UARTs that are not fitted; their type reads 0.
    local type
    type=$(cat /sys/class/tty/ttyS2/type 2>/dev/null || echo 0)
    [[ "$type" != 0 ]]
}

if port3_names_a_device; then
    exec "$program"
fi

# The one step that needs root, for a user who is not: sudo (without a password where that
# is allowed, else asking on the terminal), or pkexec.
link_as_root() {
    local ln
    ln=$(command -v ln)
    if command -v sudo >/dev/null; then
        sudo -n "$ln" -sf "$1" $link 2>/dev/null && return 0
        if [[ -t 0 ]]; then
            echo "==> Linking $link to the emulated board needs root: sudo ln -sf $1 $link"
            sudo "$ln" -sf "$1" $link && return 0
        fi
    fi
    if command -v pkexec >/dev/null; then
        echo "==> Linking $link to the emulated board needs root: pkexec ln -sf $1 $link"
        pkexec "$ln" -sf "$1" $link && return 0
    fi
    return 1
}

emulator_pid=
device=
stop_emulator() {
    if [[ -n "$emulator_pid" ]]; then
        kill -TERM "$emulator_pid" 2>/dev/null || true
        wait "$emulator_pid" 2>/dev/null || true
        emulator_pid=
    fi
    # A link made for us is removed when that needs no password; one left behind names
    # nothing and is replaced next time.
    if [[ $(id -u) -ne 0 && -n "$device" && "$(readlink $link)" == "$device" ]] &&
        command -v sudo >/dev/null; then
        sudo -n "$(command -v rm)" -f $link 2>/dev/null || true
    fi
}
trap stop_emulator EXIT

# As root the emulator makes and removes the link itself. Its first line is its device,
# printed once the link, if any, is in place.
emulator_options=(--input A=5A --count C --count-interval 1000)
[[ $(id -u) -eq 0 ]] && emulator_options+=(--link $link)
exec {board_out}< <(exec "$emulator" "${emulator_options[@]}")
emulator_pid=$!
if ! read -r -t 10 device <&"$board_out"; then
    echo "Could not start the emulated board; starting the utility without it." >&2
    stop_emulator
    exec "$program"
fi

linked=yes
if [[ $(id -u) -ne 0 ]] && ! link_as_root "$device"; then
    linked=no
fi

if [[ $linked == yes ]]; then
    cat <<EOF
==> Port 3 names no device, so an emulated Zarvex board answers on port 3 now
    ($link -> $device): inputs A = 5A, port C counting up once a second.
    Click Connect, then toggle bits and poll. The board logs each command it receives
    below; it goes away when the utility ends.
EOF
else
    cat <<EOF
==> Port 3 names no device, so an emulated Zarvex board now serves $device, as you
    (inputs A = 5A, port C counting up once a second). Port 3 is a link to it that only
    root can make, and neither sudo nor pkexec made it. In another terminal, as root:

        ln -sf $device $link

    then click Connect in the window. The board logs each command it receives below;
    it goes away when the utility ends.
EOF
fi
sed -u 's/^/board: /' <&"$board_out" &

"$program"
