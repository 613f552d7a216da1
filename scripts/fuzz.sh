#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets into build-fuzz/ and runs each, one after the other, for the
# given number of seconds (default 60), starting from a scratch copy of its seed corpus.
# Prints the executions per target; fails when any target finds a crash, a leak, a hang or
# a broken property. Failing inputs are kept in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 [seconds-per-target]" >&2
    exit 2
fi

targets=(fuzz_numberfromtext fuzz_decimalboxvalue fuzz_hexboxvalue fuzz_editing)

scripts/install-deps.sh
scripts/install-deps.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARVEX_FUZZ=ON >/dev/null
cmake --build build-fuzz --target "${targets[@]}" -- -j"$(nproc)"

root=$(pwd)
artifacts="$root/build-fuzz/artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for target in "${targets[@]}"; do
    corpus="$scratch/$target"
    mkdir -p "$corpus"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    log="$scratch/$target.log"
    status=0
    # One input running for 30 s is a hang, such as a cascade that never ends.
    (cd "$scratch" && "$root/build-fuzz/tests/fuzz/$target" -max_total_time="$seconds" \
        -timeout=30 -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$corpus") >"$log" 2>&1 || status=$?
    runs=$(awk '/^stat::number_of_executed_units:/ { print $2 }' "$log")
    time=$(awk '/^Done [0-9]+ runs in/ { print $(NF-1) }' "$log")
    echo "$target: ${runs:-?} executions in ${time:-?} s"
    if [[ $status -ne 0 ]]; then
        failed+=("$target")
        tail -n 60 "$log"
        echo "$target failed; rerun an input with: build-fuzz/tests/fuzz/$target <file>"
    fi
done

if [[ ${#failed[@]} -gt 0 ]]; then
    echo "Failed: ${failed[*]} (inputs in build-fuzz/artifacts/)" >&2
    exit 1
fi
