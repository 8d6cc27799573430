#!/usr/bin/env bash
# The test command: sets everything up on a fresh Debian 12 machine, builds, and runs every
# test under Wine with a display of its own. Exits non-zero when anything fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"

. "$root/testbed/session.sh"
trap session_stop EXIT
echo "test: starting the display and the Wine prefix"
session_start "$build_dir"
echo "test: running the tests"
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error "$@"
