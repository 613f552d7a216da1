#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds the Debian packages from debian/ with debhelper and pybuild, in build-deb/ (installing
# what the build needs), checks them and prints their paths:
#   zarvex          zarvex and zarvex-board-emulator, on Qt Core and Serial Port only, the
#                   README and the examples
#   zarvex-test     the window, its desktop entry, AppStream data and icons
#   python3-zarvex  the Python module and its pytest plugin
# The checks: each package's dependencies, lintian on the packages and the .changes and
# .buildinfo (no error, no warning), the AppStream data and the desktop entry, a manual page
# for every program, the pytest plugin's entry point, and that the installed README needs
# nothing from the source tree.
#   --install  also installs them with apt and checks that man finds each page, appstreamcli
#              finds the component, the window starts (offscreen), Python imports the module
#              and finds the plugin, and the labgrid example passes as a new user runs it
#   --purge    then purges them again and checks that nothing of them is left
set -euo pipefail
cd "$(dirname "$0")/.."

install=no
purge=no
for arg in "$@"; do
    case "$arg" in
    --install) install=yes ;;
    --purge) install=yes purge=yes ;;
    *)
        echo "usage: $0 [--install] [--purge]" >&2
        exit 2
        ;;
    esac
done

fail() {
    echo "package.sh: $*" >&2
    exit 1
}

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || fail "installing packages needs root (or sudo)"
    as_root=(sudo)
fi

# debian/control's Build-Depends, the tools that check the result and what the labgrid
# example needs.
scripts/install-deps.sh debhelper dpkg-dev g++ cmake ninja-build qt6-base-dev \
    libcli11-dev nlohmann-json3-dev libtomlplusplus-dev dh-python pybuild-plugin-pyproject \
    python3-all python3-setuptools \
    lintian appstream desktop-file-utils man-db python3-pytest python3-labgrid ser2net

# Debian's Python, whatever else comes first on the path.
python=/usr/bin/python3
source=$(dpkg-parsechangelog -S Source)
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
names=(zarvex zarvex-test python3-zarvex)
app_id=example.c_seed_6e6d4cd5.zarvex_test
out=build-deb
changes=$out/${source}_${version}_${arch}.changes
declare -A deb=(
    [zarvex]=$out/zarvex_${version}_${arch}.deb
    [zarvex-test]=$out/zarvex-test_${version}_${arch}.deb
    [python3-zarvex]=$out/python3-zarvex_${version}_all.deb
)

# dpkg-buildpackage works in the tree it is given and writes beside it, so it gets a copy of
# this one as it stands, without build directories and what Python leaves behind.
rm -rf "$out"
mkdir -p "$out/$source-$version"
excludes=(--exclude-vcs --exclude='./build*' --exclude='./obj-*' --exclude=./.cache
    --exclude=./Testing --exclude=./debian/.debhelper --exclude=./debian/tmp
    --exclude=./debian/debhelper-build-stamp --exclude=./debian/files
    --exclude='./debian/*.substvars' --exclude='./debian/*.debhelper.log'
    --exclude=./.pybuild --exclude=./python/build --exclude='*.egg-info'
    --exclude=__pycache__ --exclude=.pytest_cache)
for name in "${names[@]}"; do
    excludes+=(--exclude="./debian/$name")
done
tar -c "${excludes[@]}" . | tar -x -C "$out/$source-$version"
if [[ " ${DEB_BUILD_OPTIONS:-} " != *" parallel="* ]]; then
    DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)"
    export DEB_BUILD_OPTIONS
fi
# Debian's tools only, as in a build chroot: pybuild runs python3.X from the path, and another
# Python first on it (pyenv, a virtualenv) has none of Debian's build modules.
(cd "$out/$source-$version" && PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg-buildpackage -us -uc -b) \
    >"$out/build.log" 2>&1 ||
    fail "dpkg-buildpackage failed; the end of $out/build.log:
$(tail -30 "$out/build.log")"
for name in "${names[@]}"; do
    [[ -f "${deb[$name]}" ]] || fail "no ${deb[$name]} was built"
done
[[ -f "$changes" ]] || fail "no $changes was built"

# field PACKAGE FIELD: the field of the built package, on one line.
field() {
    dpkg-deb -f "${deb[$1]}" "$2" | tr '\n' ' ' | sed 's/ *$//'
}
# names_all PACKAGE FIELD PACKAGE...: fails unless the field names each package (any version).
names_all() {
    local name=$1 key=$2 value
    value=$(field "$name" "$key")
    shift 2
    # The names the field gives, one a line, without versions or architectures.
    local names
    names=$(tr ',|' '\n\n' <<<"$value" | sed 's/^ *//; s/[ :(].*//')
    for wanted in "$@"; do
        grep -qxF -- "$wanted" <<<"$names" || fail "$name: $key lacks $wanted: $value"
    done
}
# names_none PACKAGE FIELD REGEX: fails when a package the field names matches.
names_none() {
    local value
    value=$(field "$1" "$2")
    [[ ", $value," =~ [,|]\ *($3)[\ ,:] ]] && fail "$1: $2 names ${BASH_REMATCH[1]}: $value"
    return 0
}
# The programs need the C and C++ runtimes only, no Qt and nothing of a window.
names_all zarvex Depends libc6 libstdc++6 libgcc-s1
names_none zarvex Depends 'libqt6[a-z0-9-]*|qt6-[a-z0-9-]*|libgl[a-z0-9-]*|libx[a-z0-9-]*'
names_all zarvex-test Depends libqt6widgets6 qt6-qpa-plugins
names_none zarvex-test Depends 'libqt6serialport6'
# The window runs without the programs; apt still brings them along.
names_none zarvex-test Depends zarvex
names_all zarvex-test Recommends zarvex
# An arch:all package on an arch:any one of the same source: a binNMU of zarvex must not
# make python3-zarvex uninstallable, so no "=".
[[ $(field python3-zarvex Architecture) == all ]] ||
    fail "python3-zarvex is not Architecture: all"
[[ ", $(field python3-zarvex Depends)," == *", zarvex (>= $version),"* ]] ||
    fail "python3-zarvex: Depends lacks zarvex (>= $version): $(field python3-zarvex Depends)"
names_all python3-zarvex Depends python3
names_all python3-zarvex Suggests python3-pytest python3-labgrid

echo "lintian:"
lintian --display-info --fail-on error,warning "$changes" | sed 's/^/    /' ||
    fail "lintian reports errors or warnings"
for name in "${names[@]}"; do
    grep -q " $(basename "${deb[$name]}")\$" "$changes" || fail "$changes does not list $name"
done

contents=$out/contents
for name in "${names[@]}"; do
    mkdir -p "$contents/$name"
    dpkg-deb -x "${deb[$name]}" "$contents/$name"
done
echo "appstreamcli validate:"
appstreamcli validate --no-net "$contents/zarvex-test/usr/share/metainfo/$app_id.metainfo.xml" |
    sed 's/^/    /' || fail "appstreamcli does not accept the AppStream data"
desktop-file-validate "$contents/zarvex-test/usr/share/applications/$app_id.desktop" ||
    fail "desktop-file-validate does not accept the desktop entry"
# Every program has its manual page, in the same package.
programs=()
for name in "${names[@]}"; do
    [[ -d "$contents/$name/usr/bin" ]] || continue
    for path in "$contents/$name"/usr/bin/*; do
        program=$(basename "$path")
        [[ -f "$contents/$name/usr/share/man/man1/$program.1.gz" ]] ||
            fail "$name: no manual page $program.1.gz"
        programs+=("$program")
    done
done
[[ ${#programs[@]} -eq 3 ]] || fail "expected three programs, found: ${programs[*]}"
# pytest loads the plugin through this entry point.
entry_points=("$contents"/python3-zarvex/usr/lib/python3/dist-packages/zarvex-*.dist-info/entry_points.txt)
[[ -f "${entry_points[0]}" ]] || fail "python3-zarvex: no dist-info with entry_points.txt"
awk '/^\[/ { group = $0 } group == "[pytest11]" && /^zarvex *= *zarvex\.pytest_plugin *$/ { found = 1 }
    END { exit !found }' "${entry_points[0]}" ||
    fail "python3-zarvex: no pytest11 entry point zarvex = zarvex.pytest_plugin"
doc=$contents/zarvex/usr/share/doc/zarvex
readme=$doc/README.md
[[ -f "$readme.gz" ]] && gunzip "$readme.gz"
[[ -f "$readme" ]] || fail "no README in /usr/share/doc/zarvex"
if grep -nE '\]\([^):]*\)|(^|[ `(])(\./)?(scripts|build[a-z-]*|docs|bench|tests|tools|src|\.ci)/' \
    "$readme"; then
    fail "the installed README names files of the source tree (above); mark those parts" \
        "<!-- source tree --> ... <!-- /source tree --> in README.md"
fi
for example in 99-zarvex.rules ser2net.yaml zarvex-bridge@.service zarvex-bridge.conf; do
    [[ -e "$doc/examples/$example" ]] || fail "zarvex: no example $example"
done
[[ -f "$doc/examples/labgrid/conftest.py" ]] || fail "zarvex: no labgrid example"
for name in "${names[@]}"; do
    echo "${deb[$name]}"
done
[[ $install == yes ]] || exit 0

export DEBIAN_FRONTEND=noninteractive
packages=()
for name in "${names[@]}"; do
    packages+=("./${deb[$name]}")
done
"${as_root[@]}" apt-get install -y -q --reinstall "${packages[@]}" >/dev/null
test -f "/usr/share/applications/$app_id.desktop"
test -f /usr/share/icons/hicolor/scalable/apps/zarvex-test.svg
/usr/bin/zarvex-board-emulator --version
/usr/bin/zarvex --version
# Some minimal images tell dpkg to leave out manual pages; the packages still have them.
if grep -qs '^path-exclude=*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
    echo "dpkg leaves out manual pages on this machine (/etc/dpkg/dpkg.cfg.d); not asking man."
else
    for program in "${programs[@]}"; do
        man -w "$program" >/dev/null || fail "man does not find $program"
    done
fi
"${as_root[@]}" appstreamcli refresh-cache --force >/dev/null
appstreamcli get "$app_id" >/dev/null || fail "appstreamcli does not find $app_id"
# Still running after two seconds means it started and is waiting for the user.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 /usr/bin/zarvex-test || status=$?
[[ $status -eq 124 ]] || fail "the installed zarvex-test did not start (exit status $status)"

# As a new user would: the installed programs and module only, nothing of this tree.
user_dir=$(mktemp -d)
trap 'rm -rf "$user_dir"' EXIT
as_user=(env -u PYTHONPATH -u ZARVEX_PORT PATH=/usr/bin:/bin:/usr/sbin:/sbin)
(cd "$user_dir" && "${as_user[@]}" "$python" -c '
import importlib.metadata, zarvex
assert zarvex.__file__.startswith("/usr/lib/python3/dist-packages/"), zarvex.__file__
plugins = importlib.metadata.entry_points(group="pytest11", name="zarvex")
assert [p.value for p in plugins] == ["zarvex.pytest_plugin"], plugins
') || fail "the installed module zarvex or its pytest plugin entry point is missing"
cp -r /usr/share/doc/zarvex/examples/labgrid "$user_dir/labgrid"
echo "The labgrid example, copied to $user_dir/labgrid:"
(cd "$user_dir/labgrid" && "${as_user[@]}" "$python" -m pytest 2>&1) | sed 's/^/    /' ||
    fail "the installed labgrid example fails"
# The README's pytest example, as a user copies it from the installed README.
mkdir "$user_dir/readme"
zcat -f /usr/share/doc/zarvex/README.md* |
    awk '/^```python$/ { inside = 1; next } /^```$/ { inside = 0 } inside' \
        >"$user_dir/readme/test_readme.py"
grep -q zarvex_emulator "$user_dir/readme/test_readme.py" ||
    fail "the installed README has no pytest example with zarvex_emulator"
echo "The README's pytest example:"
(cd "$user_dir/readme" && "${as_user[@]}" "$python" -m pytest 2>&1) | sed 's/^/    /' ||
    fail "the README's pytest example fails on the installed packages"
echo "Installed ${names[*]}; man finds their pages, appstreamcli the component, the window" \
    "starts, the labgrid example and the README's pytest example pass."
[[ $purge == yes ]] || exit 0

files=$(dpkg-query -L "${names[@]}")
"${as_root[@]}" apt-get purge -y -q "${names[@]}" >/dev/null
"${as_root[@]}" appstreamcli refresh-cache --force >/dev/null
for name in "${names[@]}"; do
    if dpkg-query -L "$name" >/dev/null 2>&1; then
        fail "dpkg still lists files of $name after the purge"
    fi
done
left=()
while read -r path; do
    # Directories such as /usr/bin are shared; any that were ours alone must be gone.
    [[ -e "$path" || -L "$path" ]] || continue
    [[ -d "$path" && ! -L "$path" && "$path" != *zarvex* ]] && continue
    left+=("$path")
done <<<"$files"
[[ ${#left[@]} -eq 0 ]] || fail "left behind after the purge: ${left[*]}"
if appstreamcli get "$app_id" >/dev/null 2>&1; then
    fail "appstreamcli still finds $app_id after the purge"
fi
echo "Purged ${names[*]}; nothing of them is left."
