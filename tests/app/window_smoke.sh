#!/usr/bin/env bash
# Real-window tests of orvanta-connect under a private Xvfb (no window manager).
#   window_smoke.sh <mode> <orvanta-connect> <oc_x11_close> <artifact-dir> [display] [oc_x11_drop pcap-dir]
# modes:
#   smoke      window appears, password + Enter unlocks, screenshots, Ctrl+Q exits with 0
#   tray       with trayer: close hides to a docked icon, double click and the menu item
#              restore, a dying tray restores the hidden window, a new tray re-docks
#   notray     no tray host: close keeps the window reachable (not hidden)
#   nodisplay  no DISPLAY: exit code 1 and "Failed to initialize GUI"
#   drop       a capture dropped by XDND: refused on the lock screen, imported in Flow after unlocking
set -u
mode=$1 app=$2 closer=$3 artifacts=$4 display=${5:-:71} dropper=${6:-} pcaps=${7:-}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
xvfb_pid="" trayer_pid="" app_pid=""
cleanup() {
  local p n
  for p in $app_pid $trayer_pid $xvfb_pid; do
    kill "$p" 2>/dev/null || continue
    # Wait until it is really gone, so the next test can take the same display.
    n=30
    while kill -0 "$p" 2>/dev/null && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
    kill -9 "$p" 2>/dev/null
    wait "$p" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*" >&2
  for f in app.err trayer.log xvfb.log trace.log; do [ -s "$work/$f" ] && sed "s/^/$f: /" "$work/$f" >&2; done
  if [ -n "$app_pid" ]; then
    if kill -0 "$app_pid" 2>/dev/null; then
      echo "app: still running, state $(awk '{print $3}' /proc/$app_pid/stat 2>/dev/null)" >&2
    else
      wait "$app_pid"; echo "app: exited with $?" >&2
    fi
  fi
  [ -n "${DISPLAY:-}" ] && xwininfo -root -children 2>/dev/null | sed 's/^/X: /' >&2
  exit 1
}
. "$here/../lib/x11.sh"
password=$(test_password)
mkdir -p "$artifacts"
# Leaks inside the X, GL and SDL libraries are theirs, not ours.
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

if [ "$mode" = nodisplay ]; then
  ( cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY "$app" >"$work/app.out" 2>"$work/app.err" )
  rc=$?
  [ $rc -eq 1 ] || fail "exit code $rc without a display, expected 1"
  grep -q "Failed to initialize GUI" "$work/app.err" || fail "no 'Failed to initialize GUI' message"
  echo "PASS nodisplay"; exit 0
fi

require_tools Xvfb xdotool xdpyinfo xwininfo
[ "$mode" = tray ] && require_tools trayer
export DISPLAY=$display
start_xvfb "$DISPLAY" "$work/xvfb.log"; rc=$?
xvfb_pid=${XVFB_PID:-}
[ $rc -eq 0 ] || fail "Xvfb $DISPLAY did not start (display taken?)"

if [ "$mode" = tray ]; then
  trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  wait_for 10 xdotool search --classname '^panel$' || fail "trayer did not start"
fi

( cd "$work" && exec env ORVANTA_DEBUG_LOG="$work/trace.log" "$app" >"$work/app.out" 2>"$work/app.err" ) &
app_pid=$!

map_state() { xwininfo -id "$1" 2>/dev/null | sed -n 's/.*Map State: //p'; }
is_viewable() { [ "$(map_state "$1")" = IsViewable ]; }
is_unmapped() { [ "$(map_state "$1")" = IsUnMapped ]; }
alive() { kill -0 "$app_pid" 2>/dev/null; }
tray_icon() { xdotool search --classname '^orvanta-connect-tray$' 2>/dev/null | head -1; }
icon_docked() {
  local i; i=$(tray_icon); [ -n "$i" ] || return 1
  xwininfo -id "$i" -children | grep -q 'Parent window id:.*the root window' && return 1
  is_viewable "$i"
}
# Absolute centre of the tray icon (xdotool's --window offsets are unreliable for embedded windows).
icon_centre() {
  local i x y; i=$(tray_icon)
  x=$(xwininfo -id "$i" | sed -n 's/.*Absolute upper-left X: *//p')
  y=$(xwininfo -id "$i" | sed -n 's/.*Absolute upper-left Y: *//p')
  echo "$((x + 11)) $((y + 11))"
}
quit_with_ctrl_q() {
  local w=$1 chord=${2:-ctrl+q}
  xdotool windowfocus --sync "$w" || fail "cannot focus the window"
  xdotool key --delay 60 "$chord"
  local n=50
  while alive && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
  alive && fail "Ctrl+Q did not end the process within 5 s"
  wait "$app_pid"; local rc=$?
  app_pid=""
  [ $rc -eq 0 ] || fail "exit code $rc after Ctrl+Q, expected 0"
}

wait_for 20 main_window || fail "no window titled 'Orvanta Connect' appeared"
win=$(main_window)
title=$(xdotool getwindowname "$win")
[ "$title" = "Orvanta Connect" ] || fail "window title is '$title'"
wait_for 10 is_viewable "$win" || fail "window not mapped"
geometry=$(xwininfo -id "$win" | sed -n 's/.*Absolute upper-left [XY]: *//p' | tr '\n' ' ')
[ "$geometry" = "100 100 " ] || fail "window at $geometry, expected 100 100"

case "$mode" in
smoke)
  sleep 0.5  # a few frames, so the lock dialog is drawn
  import -window root "$artifacts/app_lock_screen.png" || fail "screenshot failed"
  xdotool windowfocus --sync "$win" || fail "cannot focus the window"
  # The password field sits left of "DESBLOQUEAR" in the dialog centred on the 1280x800 client.
  xdotool mousemove --window "$win" 560 420 click 1
  sleep 0.2
  xdotool type --delay 50 "$password"
  # A quick tap: press and release reach the program in one batch of events, which the
  # GUI library alone would never see as a press.
  xdotool key --delay 0 Return
  wait_for 5 grep -q Unlocked "$work/trace.log" || fail "password + Enter did not unlock"
  sleep 0.3
  import -window root "$artifacts/app_unlocked.png" || fail "screenshot failed"
  quit_with_ctrl_q "$win"
  ;;
tray)
  wait_for 10 icon_docked || fail "tray icon did not dock"
  "$closer" "$win"
  wait_for 5 is_unmapped "$win" || fail "close did not hide the window"
  sleep 0.3
  alive || fail "process ended on close"
  icon_docked || fail "icon not docked while hidden"
  import -window root -crop 300x60+1300+0 "$artifacts/app_tray_icon.png"
  read -r ix iy < <(icon_centre)
  xdotool mousemove "$ix" "$iy" sleep 0.2 click --repeat 2 --delay 120 1
  wait_for 5 is_viewable "$win" || fail "double click on the icon did not map the window"

  # Right click: the one-item menu restores as well.
  "$closer" "$win"
  wait_for 5 is_unmapped "$win" || fail "second close did not hide the window"
  xdotool mousemove "$ix" "$iy" sleep 0.2 click 3
  wait_for 5 xdotool search --classname '^orvanta-connect-tray-popup$' || fail "no tray menu"
  menu=$(xdotool search --classname '^orvanta-connect-tray-popup$' | tail -1)
  mx=$(xwininfo -id "$menu" | sed -n 's/.*Absolute upper-left X: *//p')
  my=$(xwininfo -id "$menu" | sed -n 's/.*Absolute upper-left Y: *//p')
  import -window root -crop 300x60+1300+0 "$artifacts/app_tray_menu.png"
  xdotool mousemove $((mx + 20)) $((my + 8)) sleep 0.1 click 1
  wait_for 5 is_viewable "$win" || fail "menu item did not map the window"

  # The tray dies while the window is hidden: the window comes back by itself.
  "$closer" "$win"
  wait_for 5 is_unmapped "$win" || fail "third close did not hide the window"
  kill "$trayer_pid"; wait "$trayer_pid" 2>/dev/null; trayer_pid=""
  wait_for 5 is_viewable "$win" || fail "window stayed hidden after the tray died"
  # A tray that starts later gets the icon again.
  trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.log" 2>&1 &
  trayer_pid=$!
  wait_for 10 icon_docked || fail "icon did not re-dock in a new tray"
  quit_with_ctrl_q "$win"
  ;;
notray)
  sleep 0.5
  "$closer" "$win"
  sleep 1
  alive || fail "process ended on close"
  is_viewable "$win" || fail "without a tray host the window was hidden (unreachable)"
  # From the lock screen, with the right-hand Ctrl.
  quit_with_ctrl_q "$win" Control_R+q
  ;;
drop)
  # A name with a blank and a non-ASCII letter: the URI carries both percent-encoded.
  capture="$work/captura de chamada é.pcap"
  cp "$pcaps/01_basic_call_caller_bye.pcap" "$capture"
  sleep 0.5
  "$dropper" "$win" "$capture" || fail "the window did not take the drop on the lock screen"
  wait_for 5 grep -qF "Dropped file ignored while locked: $capture" "$work/trace.log" \
    || fail "a drop on the lock screen was not refused"
  xdotool windowfocus --sync "$win" || fail "cannot focus the window"
  xdotool mousemove --window "$win" 560 420 click 1
  sleep 0.2
  xdotool type --delay 50 "$password"
  xdotool key --delay 0 Return
  wait_for 5 grep -q Unlocked "$work/trace.log" || fail "password + Enter did not unlock"
  "$dropper" "$win" "$capture" || fail "the window did not take the drop"
  wait_for 5 grep -qF "Dropped file $capture: import started" "$work/trace.log" || fail "the dropped capture was not imported"
  sleep 0.5
  import -window root "$artifacts/app_dropped_capture.png" || fail "screenshot failed"
  quit_with_ctrl_q "$win"
  ;;
*) fail "unknown mode $mode" ;;
esac
echo "PASS $mode"
