#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Runs every test program of build/ under valgrind's memcheck: fails on any invalid access,
# use of uninitialised memory or definite leak. Installs valgrind when missing. Slow: each
# suite runs some 20 to 50 times slower than usual.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v valgrind >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends valgrind
fi
scripts/build.sh
mkdir -p build/valgrind

export QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false'
failed=()
for test in build/tests/tst_*; do
    [[ -x "$test" && -f "$test" ]] || continue
    name=$(basename "$test")
    log=build/valgrind/$name.log
    printf '%-20s ' "$name"
    if valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite \
        --show-leak-kinds=definite --track-origins=yes --num-callers=40 \
        --suppressions=tests/valgrind.supp --error-exitcode=99 \
        "$test" >"$log" 2>&1; then
        echo "clean ($(grep -o 'definitely lost: [0-9,]* bytes' "$log" | tail -1))"
    else
        echo "FAILED, see $log"
        failed+=("$name")
    fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "Not clean under memcheck: ${failed[*]}" >&2
    exit 1
fi
