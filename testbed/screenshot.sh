#!/usr/bin/env bash
# Takes a screenshot of the test bed's display: screenshot.sh FILE.png [WIDTHxHEIGHT+X+Y]
# Without a rectangle it keeps the part of the screen that holds every window shown (the
# progress window and any message box, with a small margin); with none shown, the whole screen.
# Run inside a session (testbed/session.sh), which sets DISPLAY.
set -eu
file=$1
margin=6

# shown_windows_rectangle: WIDTHxHEIGHT+X+Y around the mapped top-level windows, or nothing.
# Without a window manager Wine's top-level windows are the root's own children.
shown_windows_rectangle() {
  local screen_w screen_h found=0 left=0 top=0 right=0 bottom=0 id x y w h state
  read -r screen_w screen_h < <(xwininfo -root | awk '/^  Width:/ {w=$2} /^  Height:/ {h=$2} END {print w, h}')
  for id in $(xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p'); do
    read -r x y w h state < <(xwininfo -id "$id" 2>/dev/null | awk '
      /Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4}
      /^  Width:/ {w=$2} /^  Height:/ {h=$2} /Map State:/ {s=$3}
      END {print x, y, w, h, s}') || continue
    # Wine keeps 1x1 helper windows; they are never what the picture is about.
    [ "$state" = IsViewable ] && [ "$w" -gt 1 ] && [ "$h" -gt 1 ] || continue
    if [ $found -eq 0 ]; then left=$x top=$y right=$((x + w)) bottom=$((y + h)) found=1; fi
    if [ "$x" -lt "$left" ]; then left=$x; fi
    if [ "$y" -lt "$top" ]; then top=$y; fi
    if [ $((x + w)) -gt $right ]; then right=$((x + w)); fi
    if [ $((y + h)) -gt $bottom ]; then bottom=$((y + h)); fi
  done
  [ $found -eq 1 ] || return 0
  left=$((left - margin)); top=$((top - margin)); right=$((right + margin)); bottom=$((bottom + margin))
  [ $left -ge 0 ] || left=0
  [ $top -ge 0 ] || top=0
  [ $right -le "$screen_w" ] || right=$screen_w
  [ $bottom -le "$screen_h" ] || bottom=$screen_h
  echo "$((right - left))x$((bottom - top))+$left+$top"
}

rectangle=${2:-$(shown_windows_rectangle)}
if [ -n "$rectangle" ]; then
  import -window root -crop "$rectangle" +repage "$file"
else
  echo "screenshot: no window is shown; $file is the whole screen" >&2
  import -window root "$file"
fi
