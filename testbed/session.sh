# Sourced by the scripts that run Windows programs: starts a display and a Wine prefix of the
# test bed's own, and stops them again. Never touches the user's own ~/.wine.
#   session_start BUILD_DIR [PREFIX]   exports DISPLAY, WINEPREFIX (default BUILD_DIR/wineprefix),
#                                      WINEDEBUG, WINEDLLOVERRIDES
#   session_stop              stops wineserver and Xvfb (safe to call twice)

session_xvfb_pid=""
session_keep_alive_pid=""

session_start() {
  local build_dir=$1
  # Repeatable code pages and formats: C.UTF-8 gives ANSI code page 1252 under Wine.
  export LC_ALL=${UPDATER_TEST_LOCALE:-C.UTF-8} LANG=${UPDATER_TEST_LOCALE:-C.UTF-8}
  export WINEPREFIX="${2:-$build_dir/wineprefix}"
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64

  local fd_file
  fd_file=$(mktemp)
  # -displayfd picks a free display number and writes it once the server is ready.
  Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  session_xvfb_pid=$!
  local waited=0
  while [ ! -s "$fd_file" ]; do
    if ! kill -0 "$session_xvfb_pid" 2>/dev/null || [ $waited -ge 100 ]; then
      echo "session: Xvfb did not start" >&2
      rm -f "$fd_file"
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  export DISPLAY=":$(head -n 1 "$fd_file")"
  rm -f "$fd_file"

  # A fresh prefix for every session: no registry value, INI file or scratch folder of an
  # earlier run can change the outcome.
  if [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true  # a server left over from an interrupted run
    wineserver -w 2>/dev/null || true
  fi
  rm -rf "$WINEPREFIX"
  if ! wineboot -i >"$build_dir/wineboot.log" 2>&1; then
    echo "session: wineboot failed; see $build_dir/wineboot.log" >&2
    return 1
  fi
  wineserver -w
  # Without a window manager Wine draws the windows' captions itself only when told to.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
  wineserver -w
  # A persistent server for the prefix: each program start then takes milliseconds, not seconds.
  wineserver -p
  wine "$build_dir/bin/keep_alive.exe" </dev/null >/dev/null 2>&1 &
  session_keep_alive_pid=$!
  local tries=0
  until pgrep -f 'C:.windows.system32.services.exe' >/dev/null; do
    tries=$((tries + 1))
    if [ $tries -ge 200 ]; then
      echo "session: Wine's services did not start" >&2
      return 1
    fi
    sleep 0.05
  done
}

session_stop() {
  if [ -n "${WINEPREFIX:-}" ]; then
    wineserver -k 2>/dev/null || true
  fi
  if [ -n "$session_keep_alive_pid" ]; then
    wait "$session_keep_alive_pid" 2>/dev/null || true
    session_keep_alive_pid=""
  fi
  if [ -n "$session_xvfb_pid" ]; then
    kill "$session_xvfb_pid" 2>/dev/null || true
    wait "$session_xvfb_pid" 2>/dev/null || true
    session_xvfb_pid=""
  fi
}
