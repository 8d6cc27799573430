#!/usr/bin/env bash
# Makes docs/progress-window.png: the progress window of a real update by updater.exe, the
# download screenshot of the run command (scripts/run.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}
shot="$build_dir/demo-screenshots/1-download.png"
rm -f "$shot"
bash "$root/scripts/run.sh"
[ -f "$shot" ] || { echo "window_screenshot: the run took no download screenshot" >&2; exit 1; }
mkdir -p "$root/docs"
cp "$shot" "$root/docs/progress-window.png"
echo "wrote docs/progress-window.png"
