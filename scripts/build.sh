#!/usr/bin/env bash
# Sets up the dependencies (scripts/setup.sh) and builds the program, the tests and the
# test-bed tools into build/ (or $UPDATER_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
. "$root/scripts/deps.env"
build_dir=${UPDATER_BUILD_DIR:-$root/build}

bash "$root/scripts/setup.sh"
echo "build: configuring $build_dir"
options=()
if [ -n "${UPDATER_KIT_PUBLIC_KEY+set}" ]; then  # set and empty: back to a program without a key
  options+=("-DUPDATER_KIT_PUBLIC_KEY=${UPDATER_KIT_PUBLIC_KEY:+$(realpath -m -- "$UPDATER_KIT_PUBLIC_KEY")}")
fi
if [ -n "${UPDATER_KIT_PRODUCT+set}" ]; then  # the product that kits must name, with the key
  options+=("-DUPDATER_KIT_PRODUCT=$UPDATER_KIT_PRODUCT")
fi
cmake -S "$root" -B "$build_dir" -C "$UPDATER_DEPS_DIR/deps-cache.cmake" "${options[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$root/testbed/wine-run.sh;$build_dir/wineprefix" >/dev/null
echo "build: compiling"
cmake --build "$build_dir" -j"$(nproc)" -- --no-print-directory
