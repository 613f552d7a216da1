#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Packs the Windows build (scripts/build-windows.sh, run first unless --no-build) into
# zarvex-VERSION-windows-x64.zip in build-windows/, and prints its path: zarvex.exe, the README
# as installed (without what only works in the source tree), the licence, the manual page as
# text and the examples.
set -euo pipefail
cd "$(dirname "$0")/.."

build=yes
for arg in "$@"; do
    case "$arg" in
    --no-build) build=no ;;
    *)
        echo "usage: $0 [--no-build]" >&2
        exit 2
        ;;
    esac
done
[[ $build == yes ]] && scripts/build-windows.sh

build_dir=build-windows
exe=$build_dir/zarvex.exe
[[ -f $exe ]] || {
    echo "package-windows.sh: $exe is missing: run scripts/build-windows.sh" >&2
    exit 1
}
version=$(sed -n 's/^set(ZARVEX_VERSION_TEXT "\(.*\)")$/\1/p' CMakeLists.txt)
[[ -n $version ]] || {
    echo "package-windows.sh: no ZARVEX_VERSION_TEXT in CMakeLists.txt" >&2
    exit 1
}
name=zarvex-$version-windows-x64
stage=$build_dir/$name
zip_file=$build_dir/$name.zip
rm -rf "$stage" "$zip_file"
mkdir -p "$stage"

cp "$exe" "$stage/"
# The README as packaging/CMakeLists.txt installs it on Linux: without the parts between
# <!-- source tree --> and <!-- /source tree -->, images and links into the tree. Windows
# readers get CRLF line ends.
python3 - README.md "$stage/README.txt" <<'PY'
import re
import sys

text = open(sys.argv[1], encoding="utf-8").read()
text = re.sub(r"<!-- source tree -->.*?<!-- /source tree -->", "", text, flags=re.S)
text = re.sub(r"!\[[^]]*\]\([^)]*\)\n?", "", text)
text = re.sub(r"\[([^]]*)\]\(([^):]*)\)", r"\1", text)
text = re.sub(r"\n\n\n+", "\n\n", text)
open(sys.argv[2], "w", encoding="utf-8", newline="\r\n").write(text)
PY
python3 - LICENSES/MIT.txt "$stage/LICENSE.txt" <<'PY'
import sys

text = open(sys.argv[1], encoding="utf-8").read()
open(sys.argv[2], "w", encoding="utf-8", newline="\r\n").write(text)
PY
# The examples serve the host the board hangs on (a serial server, a bridge, a test setup), which
# is often not the Windows machine itself.
cp -r examples/. "$stage/examples/"
find "$stage/examples" \( -name __pycache__ -o -name .pytest_cache \) -prune -exec rm -rf {} +
# The manual page as text, where this machine can render it.
if command -v man >/dev/null && command -v col >/dev/null; then
    MANWIDTH=80 man -l packaging/man/zarvex.1 2>/dev/null | col -bx |
        python3 -c 'import sys; sys.stdout.reconfigure(newline="\r\n"); sys.stdout.write(sys.stdin.read())' \
            >"$stage/zarvex.txt"
    [[ -s $stage/zarvex.txt ]] || rm -f "$stage/zarvex.txt"
fi

(cd "$build_dir" && python3 -m zipfile -c "$name.zip" "$name/")
python3 -m zipfile -l "$zip_file" >/dev/null
rm -rf "$stage"
echo "$zip_file"
