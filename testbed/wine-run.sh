#!/usr/bin/env bash
# Runs a Windows program of the build under Wine, in the test bed's own prefix.
# Usage: wine-run.sh PREFIX PROGRAM [ARGS...]  (CTest's emulator for the cross-built tests)
set -eu
export WINEPREFIX=$1
shift
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -d "$WINEPREFIX" ]; then
  echo "wine-run: no Wine prefix at $WINEPREFIX; run the tests through scripts/test.sh" >&2
  exit 1
fi
exec wine "$@"
