#!/usr/bin/env bash
# Benchmark of the download client against curl.exe built from the same libcurl, both under
# Wine, on loopback from the test bed's update server. Run by hand; prints figures and ratios.
#   wall-time ratio download client / curl.exe for a 256 MiB body (target at most 1.10)
#   peak memory of the download client (target at most 1.10 x body + 32 MiB)
#   CPU time of the download client for a 1 MiB/s trickle over 20 s (target at most 5% of a core)
#   peak memory when a resumed download starts over on a larger file (target as above)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}
runs=${RUNS:-5}
size=$((256 << 20))

bash "$root/scripts/build.sh" >/dev/null
. "$root/scripts/bench_common.sh"
curl_exe=$(bench_curl_exe)
bench_start
url="http://127.0.0.1:$port/bytes/$size"

client_walls=() curl_walls=() peaks=()
for run in $(seq "$runs"); do
  start=$(now_ms)
  line=$(wine "$build_dir/bin/download_bench.exe" "$url")
  client_walls+=($(( $(now_ms) - start )))
  case "$line" in *"status=0 bytes=$size "*) ;; *) echo "download client failed: $line" >&2; exit 1 ;; esac
  peaks+=("$(echo "$line" | sed -n 's/.*peak_mb=\([0-9.]*\).*/\1/p')")
  start=$(now_ms)
  wine "$curl_exe" -s -o NUL "$url"
  curl_walls+=($(( $(now_ms) - start )))
  echo "run $run: download client ${client_walls[-1]} ms (peak ${peaks[-1]} MiB), curl.exe ${curl_walls[-1]} ms"
done

client=$(printf '%s\n' "${client_walls[@]}" | median)
curl=$(printf '%s\n' "${curl_walls[@]}" | median)
peak=$(printf '%s\n' "${peaks[@]}" | median)
echo
echo "256 MiB over loopback, medians of $runs alternating runs (whole process, Wine start included):"
awk -v a="$client" -v b="$curl" 'BEGIN { printf "  wall time: download client %d ms, curl.exe %d ms, ratio %.3f (target <= 1.10)\n", a, b, a / b }'
awk -v p="$peak" 'BEGIN { printf "  peak memory: %.1f MiB = %.3f x body; limit 1.10 x body + 32 MiB = %.1f MiB (met: %s)\n", p, p / 256, 1.10 * 256 + 32, (p <= 1.10 * 256 + 32) ? "yes" : "no" }'

echo
echo "trickle: 20 MiB at 1 MiB/s"
line=$(wine "$build_dir/bin/download_bench.exe" "http://127.0.0.1:$port/bytes/$((20 << 20))?rate=1048576")
echo "  $line"
echo "$line" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } printf "  CPU: %d ms over %d ms = %.2f%% of one core (target <= 5%%)\n", v["cpu_ms"], v["wall_ms"], 100 * v["cpu_ms"] / v["wall_ms"] }'

echo
echo "start-over: 192 of 256 MiB, then the server has a 320 MiB file (If-Range fails: 200)"
line=$(wine "$build_dir/bin/download_bench.exe" "http://127.0.0.1:$port/bytes/$size?cutonce=$((192 << 20))&then=$((320 << 20))")
echo "  $line"
echo "$line" | awk '{ for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } printf "  peak memory: %.1f MiB = %.3f x the new body; limit 1.10 x body + 32 MiB = %.1f MiB (met: %s)\n", v["peak_mb"], v["peak_mb"] / 320, 1.10 * 320 + 32, (v["peak_mb"] <= 1.10 * 320 + 32) ? "yes" : "no" }'
