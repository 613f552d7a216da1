#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
#
# Puts the licence header on every source, CMake and shell file of the tree that lacks one:
# "//" comments in .h, .cpp and .in files, "#" comments in CMakeLists.txt, .cmake and .sh
# files (and scripts without a suffix that start with a shell's #! line), after a #! line
# where there is one. Files that already name their licence are left alone, so it can run
# again at any time. With file arguments, only those files.
set -euo pipefail
cd "$(dirname "$0")/.."

copyright='SPDX-FileCopyrightText: the Zarvex Test developers'
license='SPDX-License-Identifier: MIT'

comment_for() {
    case "$1" in
    *.h | *.cpp | *.in) echo '//' ;;
    */CMakeLists.txt | CMakeLists.txt | *.cmake | *.sh) echo '#' ;;
    *)
        # Scripts such as .ci/run have no suffix.
        if head -n1 "$1" | grep -qE '^#!.*\b(ba)?sh\b'; then echo '#'; fi
        ;;
    esac
}

add_header() {
    local file=$1 prefix
    prefix=$(comment_for "$file")
    [[ -n "$prefix" ]] || return 0
    grep -q 'SPDX-License-Identifier:' "$file" && return 0
    local temporary
    temporary=$(mktemp "$file.XXXXXX")
    {
        if head -n1 "$file" | grep -q '^#!'; then
            head -n1 "$file"
            printf '%s %s\n%s %s\n' "$prefix" "$copyright" "$prefix" "$license"
            tail -n +2 "$file"
        else
            printf '%s %s\n%s %s\n' "$prefix" "$copyright" "$prefix" "$license"
            cat "$file"
        fi
    } >"$temporary"
    chmod --reference="$file" "$temporary"
    mv "$temporary" "$file"
    echo "$file"
}

if [[ $# -gt 0 ]]; then
    files=("$@")
elif git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t files < <(git ls-files --cached --others --exclude-standard |
        while read -r file; do [[ -f "$file" ]] && echo "$file"; done)
else
    mapfile -t files < <(find . -path './build*' -prune -o -path ./.git -prune -o -type f -print |
        sed 's|^\./||')
fi
# The fuzzers' seed inputs are data, not source.
for file in "${files[@]}"; do
    [[ "$file" == tests/fuzz/corpus/* ]] && continue
    add_header "$file"
done
