#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds (installing what is missing) and runs the benchmark program; options go to it
# (--help lists them, e.g. --poll-seconds 5 for a quick run). Prints a markdown table.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
exec build/bench/zarvex-bench "$@"
