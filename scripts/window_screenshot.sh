#!/usr/bin/env bash
# Makes docs/progress-window.png: the progress window as the program's own window code draws
# it under Xvfb, with a status line, a detail line and a half-full bar.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}
bash "$root/scripts/build.sh" >/dev/null
. "$root/testbed/session.sh"
trap session_stop EXIT
session_start "$build_dir" "$build_dir/screenshot-wineprefix"
work=$(mktemp -d)
cp "$build_dir/bin/window_demo.exe" "$work/"
(cd "$work" && wine ./window_demo.exe --status "Receiving 12.50 MB" --detail "About 40 seconds remaining" \
  --progress 0.5 --stay 8000 &)
sleep 4
mkdir -p "$root/docs"
"$root/testbed/screenshot.sh" "$root/docs/progress-window.png" 530x210+90+90
rm -rf "$work"
echo "wrote docs/progress-window.png"
