# Shared by the benchmark scripts: a millisecond clock and the median of numbers on stdin.
now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Starts a display, the benchmarks' own Wine prefix and the test bed's update server, all
# stopped again when the script exits; sets server_dir and port (plain HTTP). Needs root and
# build_dir.
bench_start() {
  . "$root/testbed/session.sh"
  server_dir="$build_dir/bench-server"
  trap '"$root/testbed/server.sh" stop "$server_dir"; session_stop' EXIT
  session_start "$build_dir" "$build_dir/bench-wineprefix"
  "$root/testbed/server.sh" start "$server_dir" >/dev/null
  port=$(sed -n 's/^http=//p' "$server_dir/info")
}
# The curl.exe that setup built from the same libcurl as the program.
bench_curl_exe() {
  . "$root/scripts/deps.env"
  sed -n 's/^set(UPDATER_CURL_EXE "\(.*\)" CACHE.*/\1/p' "$UPDATER_DEPS_DIR/deps-cache.cmake"
}
