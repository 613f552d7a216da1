#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Configures and builds into build/ (or build-asan/ with --sanitize): everything, or only the
# targets named after the options.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [[ "${1:-}" == "--sanitize" ]]; then
    build_dir=build-asan
    options=(-DCMAKE_BUILD_TYPE=Debug -DZARVEX_SANITIZE=ON)
    shift
fi
targets=()
[[ $# -gt 0 ]] && targets=(--target "$@")

scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja "${options[@]}" >/dev/null
cmake --build "$build_dir" "${targets[@]}" -- -j"$(nproc)"
