#!/usr/bin/env bash
# Builds the utility (installing what it needs) and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display found: run this from a desktop session (or under xvfb-run)." >&2
    exit 1
fi
exec build/src/zarvex-test
