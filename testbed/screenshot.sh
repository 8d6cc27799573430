#!/usr/bin/env bash
# Takes a screenshot of the test bed's display: screenshot.sh FILE.png [WIDTHxHEIGHT+X+Y]
# Run inside a session (testbed/session.sh), which sets DISPLAY.
set -eu
file=$1
if [ -n "${2:-}" ]; then
  import -window root -crop "$2" "$file"
else
  import -window root "$file"
fi
