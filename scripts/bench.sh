#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds (installing what is missing) and runs the benchmark program; options go to it
# (--help lists them, e.g. --poll-seconds 5 for a quick run). Prints a markdown table.
# With --cli first, runs the zarvex command-line benchmark instead (e.g. --cli --watch-seconds 5);
# with --remote first, the benchmark of a board behind ser2net (e.g. --remote --rounds 2);
# with --python first, the Python package beside the zarvex program it drives.
set -euo pipefail
cd "$(dirname "$0")/.."

program=zarvex-bench
if [[ "${1:-}" == "--cli" ]]; then
    program=zarvex-cli-bench
    shift
elif [[ "${1:-}" == "--remote" ]]; then
    program=zarvex-remote-bench
    shift
elif [[ "${1:-}" == "--python" ]]; then
    shift
    scripts/build.sh zarvex zarvex-board-emulator
    PATH=$PWD/build/src:$PWD/build/tools:$PATH PYTHONPATH=$PWD/python PYTHONDONTWRITEBYTECODE=1 \
        exec /usr/bin/python3 bench/zarvex-python-bench.py "$@"
fi
scripts/build.sh
exec "build/bench/$program" "$@"
