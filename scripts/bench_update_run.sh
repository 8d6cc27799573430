#!/usr/bin/env bash
# Benchmark of what a user waits for: the whole update run of updater.exe (started with the
# limited token, as a Windows shell starts it, from a loopback server, no client running)
# against the same work done by hand under the same Wine: curl.exe from the same libcurl, then
# the LZMA SDK's reference extractor. Alternating runs, medians. Run by hand; prints figures.
#   kit (a) about 300 MB unpacked in 80 files      target: ratio at most 1.10
#   kit (b) 10,000 files of 1 to 8 KiB in 100 folders   target: ratio at most 1.30
#   kit (c) about 300 MB that decodes fast (incompressible binaries, well packed text)
#                                                  target: ratio at most 1.00
# The ratio leaves out the run's fixed pauses (the 250 ms settle of the first wait for the
# client and the 1000 ms before the restart): (whole run - 1250 ms) / by hand.
# Peak memory target: the archive's body plus its largest solid block plus a few MiB.
# UPDATER_EXE runs another build of the program (for figures before and after a change).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${UPDATER_BUILD_DIR:-$root/build}
runs=${RUNS:-3}
updater_exe=${UPDATER_EXE:-$build_dir/bin/updater.exe}
kits=${KITS:-kit_a.7z kit_b.7z kit_c.7z}
fixed_pauses_ms=1250

bash "$root/scripts/build.sh" >/dev/null
. "$root/scripts/bench_common.sh"
curl_exe=$(bench_curl_exe)
kit_dir="$build_dir/update-run-kits"
echo "bench: making the kits (once; kept in $kit_dir)"
blocks=$(python3 "$root/bench/make_kits.py" "$kit_dir")

bench_start

windows() { echo "Z:$(echo "$1" | tr / '\\')"; }
bench_exe="$build_dir/bin/update_run_bench.exe"
work="$build_dir/bench-update-run"
# The figures' line is the last line that starts with "exit="; the extractor's listing and
# anything else the programs print go before it.
figures() { grep '^exit=' | tail -n 1; }
# The disk's work of one run (writing back its files, deleting the last run's) must not fall
# into the next one's time.
settle() { sync; sleep 2; }
field() { echo "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

fresh_install() {
  rm -rf "$work" || { sleep 1; rm -rf "$work"; }  # the restarted client may still be writing its log
  mkdir -p "$work/cache"
  cp "$updater_exe" "$work/updater.exe"
  cp "$build_dir/bin/fake_client.exe" "$work/zolt.exe"
  printf '[Launch]\r\nExec=zolt\r\n' >"$work/zolt.ini"
}

for kit in $kits; do
  cp "$kit_dir/$kit" "$server_dir/files/$kit"
  url="http://127.0.0.1:$port/files/$kit"
  packed=$(stat -c %s "$kit_dir/$kit")
  declare -A phases=()
  totals=() hands=() peaks=()
  for run in $(seq "$runs"); do
    fresh_install
    settle
    line=$(wine "$bench_exe" updater "$(windows "$work")" "http://127.0.0.1:$port files/$kit \"zolt.exe\"" | figures)
    [ "$(field "$line" exit)" = 0 ] || { echo "the update run failed: $line" >&2; exit 1; }
    grep -q "Everything is Ok" "$work/upgrade.log" || { echo "the update run did not install $kit" >&2; exit 1; }
    totals+=("$(field "$line" total_ms)")
    peaks+=("$(field "$line" peak_mb)")
    for phase in window download save install exit; do
      phases[$phase]+="$(field "$line" ${phase}_ms) "
    done

    { rm -rf "$work" || { sleep 1; rm -rf "$work"; }; } && mkdir -p "$work"
    settle
    hand=$(wine "$bench_exe" byhand "$(windows "$work")" "$(windows "$curl_exe")" "$url" \
      "$(windows "$build_dir/bin/sdk_7z_reference.exe")" | figures)
    [ "$(field "$hand" exit)" = 0 ] || { echo "the run by hand failed: $hand" >&2; exit 1; }
    hands+=("$(field "$hand" total_ms)")
    echo "$kit run $run: updater.exe $line"
    echo "$kit run $run: by hand     $hand"
  done
  total=$(printf '%s\n' "${totals[@]}" | median)
  hand=$(printf '%s\n' "${hands[@]}" | median)
  peak=$(printf '%s\n' "${peaks[@]}" | median)
  block=$(echo "$blocks" | awk -v k="$kit" '$1 == k { print $2 }')
  case $kit in kit_a.7z) target=1.10 ;; kit_c.7z) target=1.00 ;; *) target=1.30 ;; esac
  echo
  echo "$kit ($packed bytes packed), medians of $runs alternating runs:"
  for phase in window download save install exit; do
    printf '  %-9s %6s ms\n' "$phase" "$(echo ${phases[$phase]} | tr ' ' '\n' | median)"
  done
  awk -v t="$total" -v h="$hand" -v f="$fixed_pauses_ms" -v g="$target" 'BEGIN {
    printf "  updater.exe whole run %d ms (%d ms without the fixed pauses), by hand %d ms\n", t, t - f, h
    printf "  ratio %.3f (target <= %s)\n", (t - f) / h, g }'
  awk -v p="$peak" -v s="$packed" -v b="$block" 'BEGIN {
    printf "  peak memory %.1f MiB; body %.1f MiB + largest solid block %.1f MiB = %.1f MiB\n", p, s / 1048576, b / 1048576, (s + b) / 1048576 }'
  echo
  unset phases
  rm -f "$server_dir/files/$kit"
done
