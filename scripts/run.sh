#!/usr/bin/env bash
# The run command: sets up, builds, and performs one whole update under Wine and Xvfb.
#   1. makes a sample install directory: zolt.ini, version 1 of a sample client tree, a cache,
#      and the stand-in client as zolt.exe;
#   2. shows the command line the launcher mode gives its second copy;
#   3. makes version 2 of the tree into a full kit with 7zz and serves it from the test bed's
#      update server slowly enough to watch (about 10 seconds);
#   4. runs that update (the launcher's command line with the local server in place of the
#      product's), takes screenshots of its window during the download and the installation,
#      and prints what changed, the log's verdict and the client's restart.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}

bash "$root/scripts/build.sh"
# The demo's kit is unsigned: a program built with a kit key would refuse it.
kit_key=$(sed -n 's/^UPDATER_KIT_PUBLIC_KEY:FILEPATH=//p' "$build_dir/CMakeCache.txt")
if [ -n "$kit_key" ]; then
  echo "run: $build_dir is built with the kit key $kit_key and would refuse the demo's unsigned kit;" \
    "build it without the key: UPDATER_KIT_PUBLIC_KEY= scripts/run.sh" >&2
  exit 1
fi

. "$root/testbed/session.sh"
server_dir="$build_dir/demo-server"
cleanup() { "$root/testbed/server.sh" stop "$server_dir"; session_stop; }
trap cleanup EXIT
session_start "$build_dir" "$build_dir/demo-wineprefix"
"$root/testbed/server.sh" start "$server_dir" >/dev/null
port=$(sed -n 's/^http=//p' "$server_dir/info")

sample="$build_dir/sample-install"
shots="$build_dir/demo-screenshots"
rm -rf "$sample" "$shots"
mkdir -p "$sample/bin" "$sample/cache" "$shots"
cp "$build_dir/bin/updater.exe" "$sample/"
cp "$build_dir/bin/fake_client.exe" "$sample/zolt.exe"
printf '[Launch]\r\nExec=zolt\r\n[universe]\r\nhost=127.0.0.1\r\nport=6670\r\n[General]\r\nUpgradeLaunch=zolt.exe\r\n' >"$sample/zolt.ini"
echo "client version 1" >"$sample/readme.txt"
echo "library 1.0" >"$sample/bin/client.dll"
echo "stale cache" >"$sample/cache/index.tmp"
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }

echo "run: sample install directory $sample (version 1)"
echo "run: the launcher mode (updater.exe without arguments) starts its second copy with:"
# Into a file, not a pipe: the detached copy would hold a pipe open for as long as it runs.
WINEDEBUG=+process wine "$build_dir/bin/run_limited.exe" "$(windows "$sample")\\updater.exe" \
  >/dev/null 2>"$build_dir/demo-trace.txt" || true
launched=$(sed -n 's/.*CreateProcessInternalW app (null) cmdline L"\(.*upgrade\/.*\)"$/\1/p' \
  "$build_dir/demo-trace.txt" | head -n 1 | sed 's/\\"/"/g; s/\\\\/\\/g')
echo "    ${launched:-<none>}"
sleep 1
# The second copy tries the product's own server, which this machine cannot reach; stop it.
pkill -f 'sample-install.updater.exe' 2>/dev/null || true
sleep 1

kit_tree=$(mktemp -d)
mkdir -p "$kit_tree/bin" "$kit_tree/data"
echo "client version 2" >"$kit_tree/readme.txt"
echo "library 2.0" >"$kit_tree/bin/client.dll"
head -c 400000 /dev/urandom >"$kit_tree/data/assets.bin"
(cd "$kit_tree" && 7zz a -bso0 -bsp0 "$server_dir/files/kitfull.rtp.7z" . && mv "$server_dir/files/kitfull.rtp.7z" "$server_dir/files/kitfull.rtp")
rm -rf "$kit_tree"
size=$(stat -c %s "$server_dir/files/kitfull.rtp")
rate=$((size / 10 + 1))
echo "run: version 2 as a full kit of $size bytes, served at $rate bytes a second"

# A program (not a client) holding readme.txt for a while, so that the installation waits
# visibly for it.
cp "$build_dir/bin/fake_client.exe" "$sample/holder.exe"
wine "$sample/holder.exe" --hold "$(windows "$sample")\\readme.txt" --stay 17000 >/dev/null 2>&1 &

base="http://127.0.0.1:$port"
args="$base files/kitfull.rtp?rate=$rate \"zolt.exe\""
echo "run: updating: updater.exe $args"
start=$(date +%s)
printf '"%s\\updater.exe" %s\n' "$(windows "$sample")" "$args" >"$build_dir/demo-command.txt"
wine "$build_dir/bin/run_limited.exe" "@$(windows "$build_dir/demo-command.txt")" >/dev/null 2>&1 &
updater=$!
sleep 5
"$root/testbed/screenshot.sh" "$shots/1-download.png"
sleep 8
"$root/testbed/screenshot.sh" "$shots/2-installation.png"
wait "$updater" || true
echo "run: the update took $(( $(date +%s) - start )) s"
sleep 1  # the restarted client records its start

echo
echo "What changed:"
echo "  readme.txt:     $(cat "$sample/readme.txt")"
echo "  bin/client.dll: $(cat "$sample/bin/client.dll")"
echo "  data/assets.bin: $( [ -f "$sample/data/assets.bin" ] && echo "new, $(stat -c %s "$sample/data/assets.bin") bytes" || echo missing)"
echo "  cache/:         $( [ -d "$sample/cache" ] && echo "still there" || echo "removed (full kit)")"
echo "  upgrade.rtp:    $( [ -f "$sample/upgrade.rtp" ] && echo "left behind" || echo "deleted")"
echo "The log's verdict: $(tr -d '\r' <"$sample/upgrade.log" | tail -n 1)"
echo "The client was restarted with: $(cat "$sample/zolt.exe.starts" 2>/dev/null || echo '<not restarted>')"
echo "Screenshots: $shots/1-download.png $shots/2-installation.png"
