#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Installs the Debian packages needed to build, run and test the utility, or those named
# as arguments instead; installs nothing when they are all present.
set -euo pipefail

packages=(
    g++ cmake ninja-build
    libcli11-dev nlohmann-json3-dev # zarvex and the emulator: options and JSON, header-only
    libtomlplusplus-dev # zarvex's board files, header-only
    qt6-base-dev qt6-qpa-plugins # the window
    fonts-dejavu-core fonts-liberation2
    xvfb # the test of a lost X server
    ser2net # the tests of boards on other machines
    python3-serial # the benchmark of boards on other machines, beside pyserial's client
    python3-pytest python3-labgrid # the Python module's tests and the labgrid example
    reuse # every file's copyright and licence: reuse lint
)
[[ $# -gt 0 ]] && packages=("$@")

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "Please install as root: apt-get install ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
