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
# A program that fails without a word never reached its own code: a test program prints its
# first line before any test runs. Wine, rarely, ends a fresh process that way; that start is
# reported and made once more, so that it is not taken for a test's verdict.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
for attempt in 1 2; do
  set +e
  wine "$@" 2>&1 | tee "$output"
  status=${PIPESTATUS[0]}
  set -e
  if [ "$status" -eq 0 ] || [ -s "$output" ] || [ "$attempt" -eq 2 ]; then
    exit "$status"
  fi
  echo "wine-run: $1 ended with exit code $status before it printed anything; starting it again"
done
