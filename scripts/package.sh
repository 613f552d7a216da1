#!/usr/bin/env bash
# Builds the Debian package into build/ (installing what the build needs) and prints its path.
# With --install it also installs the package with apt and checks that the installed
# utility starts (on the offscreen platform) and that the emulator runs.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
(cd build && cpack -G DEB >/dev/null)
package=$(ls -t build/zarvex-test_*.deb | head -1)
echo "$package"
[[ "${1:-}" == "--install" ]] || exit 0

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --reinstall "./$package" >/dev/null
test -f /usr/share/applications/zarvex-test.desktop
test -f /usr/share/icons/hicolor/32x32/apps/zarvex-test.png
/usr/bin/zarvex-board-emulator --help >/dev/null
# Still running after two seconds means it started and is waiting for the user.
status=0
QT_QPA_PLATFORM=offscreen timeout 2 /usr/bin/zarvex-test || status=$?
if [[ $status -ne 124 ]]; then
    echo "The installed zarvex-test did not start (exit status $status)." >&2
    exit 1
fi
echo "Installed $package; /usr/bin/zarvex-test starts."
