#!/usr/bin/env bash
# Starts or stops the test bed's update server for a test run (CTest's fixture calls this).
# Usage: server.sh start|stop DIR   (DIR receives info, log, files/, server.pid)
set -eu
action=$1
dir=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
case "$action" in
  start)
    "$0" stop "$dir"
    mkdir -p "$dir/files"
    rm -f "$dir/info"
    # Bounded: the server ends by itself after two hours even if nobody stops it.
    nohup python3 "$here/update_server.py" --info "$dir/info" --files "$dir/files" --log "$dir/log" \
      --lifetime 7200 </dev/null >"$dir/server.out" 2>&1 &
    echo $! >"$dir/server.pid"
    for _ in $(seq 100); do
      [ -s "$dir/info" ] && { cat "$dir/info"; exit 0; }
      kill -0 "$(cat "$dir/server.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "server.sh: the update server did not start:" >&2
    cat "$dir/server.out" >&2
    exit 1
    ;;
  stop)
    if [ -f "$dir/server.pid" ]; then
      kill "$(cat "$dir/server.pid")" 2>/dev/null || true
      rm -f "$dir/server.pid"
    fi
    ;;
  *)
    echo "usage: server.sh start|stop DIR" >&2
    exit 2
    ;;
esac
