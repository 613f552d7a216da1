#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds and runs the whole test suite; --sanitize does both with AddressSanitizer and
# UndefinedBehaviorSanitizer. Fails when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh "$@"
build_dir=build
[[ "${1:-}" == "--sanitize" ]] && build_dir=build-asan
ctest --test-dir "$build_dir" --output-on-failure -j2
