#!/usr/bin/env bash
# The run command: sets up, builds, and runs the program's main job in a sample install
# directory under Wine. For now that is the launcher mode: the updater reads the sample
# zolt.ini, works out the full kit's address and starts its detached second copy; this script
# shows the command line that copy was started with.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"

. "$root/testbed/session.sh"
trap session_stop EXIT
session_start "$build_dir"

sample="$build_dir/sample-install"
rm -rf "$sample"
mkdir -p "$sample"
cp "$build_dir/bin/updater.exe" "$sample/"
printf '[universe]\r\nhost=127.0.0.1\r\nport=6670\r\n[General]\r\nUpgradeLaunch=zolt.exe\r\n' >"$sample/zolt.ini"
echo "run: sample install directory $sample"
echo "run: zolt.ini:"
sed 's/^/    /; s/\r$//' "$sample/zolt.ini"

sample_windows="Z:$(echo "$sample" | tr / '\\')"
echo "run: starting updater.exe without arguments (launcher mode), as a Windows shell would"
# Wine's process trace shows every process start with its exact command line.
trace=$(WINEDEBUG=+process wine "$build_dir/bin/run_limited.exe" "$sample_windows\\updater.exe" 2>&1 >/dev/null || true)
started=$(printf '%s\n' "$trace" | sed -n 's/.*CreateProcessInternalW app (null) cmdline L"\(.*upgrade\/.*\)"$/\1/p' | head -n 1)
if [ -z "$started" ]; then
  echo "run: the launcher mode started no second copy" >&2
  exit 1
fi
started=$(printf '%s' "$started" | sed 's/\\"/"/g; s/\\\\/\\/g')
echo "run: the launcher mode started its second copy with the command line:"
echo "    $started"
