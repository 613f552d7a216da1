#!/usr/bin/python3
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Times the Python package against the emulator beside the zarvex program it drives.

Prints a markdown table: Board.read() in lockstep beside `zarvex --json batch` with the same
reads piped in, alternating round by round, and the time from Board(...) to its first
reading. Progress goes to stderr; the exit status is non-zero only when a measurement could
not be made.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

from zarvex import Board
from zarvex.emulator import Emulator

INPUTS = {"A": 0x5A, "B": 0x00, "C": 0x81}


def piped_batch(device, reads):
    """Reads per second of one `zarvex --json batch` with every read line piped in at once."""
    process = subprocess.Popen(
        ["zarvex", "--json", "batch", "-d", device],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,
    )
    if not process.stdout.readline().startswith(b'{"device"'):
        raise RuntimeError("zarvex batch did not open the port")
    writer = threading.Thread(target=lambda: process.stdin.write(b"read\n" * reads))
    start = time.perf_counter()
    writer.start()
    for _ in range(reads):
        if b'"inputs":{"A":90,"B":0,"C":129}' not in process.stdout.readline():
            raise RuntimeError("zarvex batch gave a wrong or missing reply")
    elapsed = time.perf_counter() - start
    writer.join()
    process.stdin.close()
    process.wait()
    return reads / elapsed


def lockstep_board(device, reads):
    """Reads per second of Board.read(), each waiting for its reply."""
    with Board(device=device) as board:
        start = time.perf_counter()
        for _ in range(reads):
            if board.read().a != 0x5A:
                raise RuntimeError("Board.read() gave a wrong reading")
        return reads / (time.perf_counter() - start)


def first_reading_ms(device):
    start = time.perf_counter()
    with Board(device=device) as board:
        board.read()
        elapsed = time.perf_counter() - start
    return elapsed * 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reads", type=int, default=2000, help="reads a round (2000)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds of each (7)")
    parser.add_argument("--starts", type=int, default=50, help="Board(...) starts timed (50)")
    options = parser.parse_args()

    piped, lockstep, starts = [], [], []
    with Emulator(inputs=INPUTS, extra_args=("--quiet",)) as emulator:
        device = emulator.device
        first_reading_ms(device)  # the page cache warmed, as for any later run
        for round_ in range(options.rounds):
            print(f"round {round_ + 1} of {options.rounds}", file=sys.stderr)
            piped.append(piped_batch(device, options.reads))
            lockstep.append(lockstep_board(device, options.reads))
        for _ in range(options.starts):
            starts.append(first_reading_ms(device))

    batch_rate = statistics.median(piped)
    board_rate = statistics.median(lockstep)
    start_ms = statistics.median(starts)
    ratio = board_rate / batch_rate
    print("| Figure | Median | Floor or goal | Met |")
    print("|---|---:|---|---|")
    print(f"| `zarvex --json batch` reads/s, {options.reads} piped (floor) | {batch_rate:,.0f}/s | - | - |")
    print(
        f"| `Board.read()` reads/s in lockstep | {board_rate:,.0f}/s ({ratio:.2f}x) "
        f"| at least 0.5x the floor | {'yes' if ratio >= 0.5 else 'no'} |"
    )
    print(
        f"| `Board(...)` to its first reading | {start_ms:.1f} ms "
        f"(fastest {min(starts):.1f}, slowest {max(starts):.1f}) | under 30 ms "
        f"| {'yes' if start_ms < 30 else 'no'} |"
    )
    print()
    print(f"{platform.node()}, {os.cpu_count()} cores, Python {platform.python_version()}, "
          f"load average {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (RuntimeError, OSError) as error:
        print(f"zarvex-python-bench: {error}", file=sys.stderr)
        sys.exit(1)
