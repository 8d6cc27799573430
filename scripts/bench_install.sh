#!/usr/bin/env bash
# Benchmark of the archive installer under Wine against the LZMA SDK's own extractor (built
# from the same sources the same way) and native 7zz x -mmt1. Run by hand; prints figures.
#   kit (a), 300 MB in 80 files: installer / reference at most 1.15; peak memory at most the
#            largest solid block + 64 MiB
#   kit (b), 10,000 files of 4 KB: installer / reference at most 2.0
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}
runs=${RUNS:-5}

bash "$root/scripts/build.sh" >/dev/null
echo "bench: making the kits (once; kept in $build_dir/bench-kits)"
blocks=$(python3 "$root/bench/make_kits.py" "$build_dir/bench-kits")

. "$root/testbed/session.sh"
trap session_stop EXIT
session_start "$build_dir" "$build_dir/bench-wineprefix"

out="$build_dir/bench-install"
. "$root/scripts/bench_common.sh"
fresh() { rm -rf "$out"; mkdir -p "$out"; cp "$build_dir/bench-kits/$1" "$out/upgrade.rtp"; }

for kit in kit_a.7z kit_b.7z; do
  installer=() reference=() native=() peaks=()
  for run in $(seq "$runs"); do
    fresh "$kit"
    start=$(now_ms)
    line=$(cd "$out" && wine "$build_dir/bin/install_bench.exe" upgrade.rtp)
    installer+=($(( $(now_ms) - start )))
    case "$line" in result=0*) ;; *) echo "installer failed: $line" >&2; exit 1 ;; esac
    peaks+=("$(echo "$line" | sed -n 's/.*peak_mb=\([0-9.]*\).*/\1/p')")

    fresh "$kit"
    start=$(now_ms)
    (cd "$out" && wine "$build_dir/bin/sdk_7z_reference.exe" x upgrade.rtp >/dev/null)
    reference+=($(( $(now_ms) - start )))

    fresh "$kit"
    start=$(now_ms)
    (cd "$out" && 7zz x -mmt1 -bso0 -bsp0 upgrade.rtp)
    native+=($(( $(now_ms) - start )))
    echo "$kit run $run: installer ${installer[-1]} ms (peak ${peaks[-1]} MiB), reference ${reference[-1]} ms, 7zz ${native[-1]} ms"
  done
  a=$(printf '%s\n' "${installer[@]}" | median)
  r=$(printf '%s\n' "${reference[@]}" | median)
  n=$(printf '%s\n' "${native[@]}" | median)
  p=$(printf '%s\n' "${peaks[@]}" | median)
  block=$(echo "$blocks" | awk -v k="$kit" '$1 == k { print $2 }')
  target=$([ "$kit" = kit_a.7z ] && echo 1.15 || echo 2.0)
  echo
  echo "$kit, medians of $runs alternating runs (whole process; Wine start included for the first two):"
  awk -v a="$a" -v r="$r" -v n="$n" -v t="$target" 'BEGIN { printf "  installer %d ms, reference %d ms, native 7zz %d ms\n  installer / reference %.3f (target <= %s), installer / native 7zz %.2f\n", a, r, n, a / r, t, a / n }'
  awk -v p="$p" -v b="$block" 'BEGIN { printf "  peak memory %.1f MiB; largest solid block %.1f MiB + 64 MiB = %.1f MiB (met: %s)\n", p, b / 1048576, b / 1048576 + 64, (p <= b / 1048576 + 64) ? "yes" : "no" }'
  echo
done
