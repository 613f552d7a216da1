#!/usr/bin/env bash
# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Builds the Debian package from debian/ with debhelper, in build-deb/ (installing what the
# build needs), checks it and prints its path. The checks: its dependencies name the Qt
# libraries it links, lintian reports no error and no warning, the AppStream data and the
# desktop entry validate, and the installed README needs nothing from the source tree.
#   --install  also installs it with apt and checks that man finds each page, appstreamcli
#              finds the component and the installed utility starts (offscreen)
#   --purge    then purges it again and checks that nothing of it is left
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

# debian/control's Build-Depends, and the tools that check the result.
scripts/install-deps.sh debhelper dpkg-dev g++ cmake ninja-build qt6-base-dev \
    qt6-serialport-dev lintian appstream desktop-file-utils man-db

name=zarvex-test
app_id=example.c_seed_6e6d4cd5.zarvex_test
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -q DEB_HOST_ARCH)
out=build-deb
package=$out/${name}_${version}_${arch}.deb

# dpkg-buildpackage works in the tree it is given and writes beside it, so it gets a copy of
# this one as it stands, without build directories.
rm -rf "$out"
mkdir -p "$out/$name-$version"
tar -c --exclude-vcs --exclude='./build*' --exclude='./obj-*' --exclude=./.cache \
    --exclude=./Testing --exclude=./debian/.debhelper --exclude="./debian/$name" . |
    tar -x -C "$out/$name-$version"
(cd "$out/$name-$version" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 ||
    fail "dpkg-buildpackage failed; the end of $out/build.log:
$(tail -30 "$out/build.log")"
[[ -f "$package" ]] || fail "no $package was built"

depends=$(dpkg-deb -f "$package" Depends)
for library in libqt6serialport6 libqt6widgets6; do
    [[ ", $depends," =~ ,\ $library[\ ,] ]] || fail "Depends lacks $library: $depends"
done

echo "lintian:"
lintian --display-info --fail-on error,warning "$package" | sed 's/^/    /' ||
    fail "lintian reports errors or warnings"

contents=$out/contents
dpkg-deb -x "$package" "$contents"
echo "appstreamcli validate:"
appstreamcli validate --no-net "$contents/usr/share/metainfo/$app_id.metainfo.xml" |
    sed 's/^/    /' || fail "appstreamcli does not accept the AppStream data"
desktop-file-validate "$contents/usr/share/applications/$app_id.desktop" ||
    fail "desktop-file-validate does not accept the desktop entry"
# Every program has its manual page.
mapfile -t programs < <(ls "$contents/usr/bin")
for program in "${programs[@]}"; do
    [[ -f "$contents/usr/share/man/man1/$program.1.gz" ]] || fail "no manual page $program.1.gz"
done
readme=$contents/usr/share/doc/$name/README.md
[[ -f "$readme.gz" ]] && gunzip "$readme.gz"
[[ -f "$readme" ]] || fail "no README in /usr/share/doc/$name"
if grep -nE '\]\([^):]*\)|(^|[ `(])(\./)?(scripts|build[a-z-]*|docs|bench|tests|tools|src|\.ci)/' \
    "$readme"; then
    fail "the installed README names files of the source tree (above); mark those parts" \
        "<!-- source tree --> ... <!-- /source tree --> in README.md"
fi
echo "$package"
[[ $install == yes ]] || exit 0

export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get install -y -q --reinstall "./$package" >/dev/null
test -f "/usr/share/applications/$app_id.desktop"
test -f /usr/share/icons/hicolor/scalable/apps/zarvex-test.svg
/usr/bin/zarvex-board-emulator --version
# Some minimal images tell dpkg to leave out manual pages; the package still has them.
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
echo "Installed $package; man finds its pages, appstreamcli its component, and it starts."
[[ $purge == yes ]] || exit 0

files=$(dpkg-query -L "$name")
"${as_root[@]}" apt-get purge -y -q "$name" >/dev/null
"${as_root[@]}" appstreamcli refresh-cache --force >/dev/null
if dpkg-query -L "$name" >/dev/null 2>&1; then
    fail "dpkg still lists files of $name after the purge"
fi
left=()
while read -r path; do
    # Directories such as /usr/bin are shared; any that were ours alone must be gone.
    [[ -e "$path" || -L "$path" ]] || continue
    [[ -d "$path" && ! -L "$path" && "$path" != *"/$name"* ]] && continue
    left+=("$path")
done <<<"$files"
[[ ${#left[@]} -eq 0 ]] || fail "left behind after the purge: ${left[*]}"
if appstreamcli get "$app_id" >/dev/null 2>&1; then
    fail "appstreamcli still finds $app_id after the purge"
fi
echo "Purged $name; nothing of it is left."
