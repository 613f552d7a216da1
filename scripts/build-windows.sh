#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Cross-builds zarvex.exe for 64-bit Windows with Debian's MinGW-w64 into build-windows/
# (installing the compiler and the header-only libraries it needs when they are missing):
# build-windows/zarvex.exe, statically linked, needs no DLL beside it. The window is built too
# when the toolchain finds a Qt 6 for Windows, which Debian does not have.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-windows
scripts/install-deps.sh g++-mingw-w64-x86-64-posix cmake ninja-build libcli11-dev \
    nlohmann-json3-dev libtomlplusplus-dev
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake >/dev/null
# At most two compilers at a time: MinGW's are heavy.
cmake --build "$build_dir" --target zarvex -- -j2
ls -l "$build_dir/zarvex.exe"
