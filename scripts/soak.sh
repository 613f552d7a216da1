#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Soak test: runs Continuous Poll in the real window (offscreen) against the board emulator
# for [minutes] (default 10), with random faults on the line: late, short, over-long,
# doubled and missing replies, noise, floods of unasked bytes, the board unplugged and
# plugged in again (with a new Connect), Connect while polling, and a user clicking and
# typing throughout. Reports the exchanges done, the timeouts, and resident memory at the
# start, after warm-up and at the end.
#
# Fails (non-zero) when a reading on a sound line is wrong, a reconnect fails, the window
# stalls or hangs, the driver crashes, or memory grows by more than the tolerance after
# warm-up.
#
# Environment:
#   ZARVEX_BUILD_DIR        build folder (default: build; configured if missing)
#   SOAK_SEED               random seed, to repeat a run (default: from the clock)
#   SOAK_TOLERANCE_KIB      allowed growth of resident memory after warm-up (default 512)
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-10}
if ! [[ "$minutes" =~ ^[0-9]+$ ]] || ((minutes < 1)); then
    echo "usage: $0 [minutes]" >&2
    exit 2
fi

build_dir=${ZARVEX_BUILD_DIR:-build}
if [[ ! -f "$build_dir/CMakeCache.txt" ]]; then
    scripts/install-deps.sh
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" --target zarvex-soak >/dev/null

seconds=$((minutes * 60))
options=(--duration "$seconds" --tolerance "${SOAK_TOLERANCE_KIB:-512}")
[[ -n "${SOAK_SEED:-}" ]] && options+=(--seed "$SOAK_SEED")

# The driver ends itself on time and watches its own event loop; this bound only catches a
# driver that cannot even do that.
set +e
QT_QPA_PLATFORM=offscreen timeout --kill-after=10 $((seconds + 180)) \
    "$build_dir/tests/zarvex-soak" "${options[@]}"
status=$?
set -e

case $status in
0) echo "soak: passed after $minutes min" ;;
1) echo "soak: FAILED (see above)" ;;
3) echo "soak: FAILED: the window hung" ;;
124 | 137) echo "soak: FAILED: the driver did not end on time" ;;
*)
    if ((status > 128)); then
        echo "soak: FAILED: the driver crashed (signal $((status - 128)))"
    else
        echo "soak: FAILED: exit status $status"
    fi
    ;;
esac
exit "$status"
