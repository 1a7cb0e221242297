#!/usr/bin/env bash
# orvanta-connect.exe under Wine in a private Xvfb: the window titled "Orvanta Connect"
# appears with the lock screen, the password unlocks it and the tabs are drawn (screenshots
# kept), the close box hides it while the process keeps running, and a double click on its
# icon in the notification area brings it back.
#   gui_window.sh WINDOWS_GUI WINE_RUN ARTIFACT_DIR DISPLAY X11_CLOSE
# X11_CLOSE is the Linux suite's oc_x11_close (a window manager's close request).
set -uo pipefail
gui=$1 wine_run=$2 artifacts=$3 display=$4 x11_close=$5
[ -x "$x11_close" ] || { echo "SKIP: no $x11_close (scripts/test.sh builds it first)"; exit 77; }
. "$(dirname "$0")/../lib/x11.sh"
work=$(mktemp -d)
app=""
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
mkdir -p "$artifacts"
start_xvfb "$display" "$work/xvfb.log" || fail "Xvfb did not start on $display"
export DISPLAY=$display

# A Wine server that earlier programs of the suite started without a display keeps a desktop
# without one, and a window made there never shows: this program gets a server of its own.
prefix=${OC_WINEPREFIX:-$(cd "$(dirname "$wine_run")/.." && pwd)/build-windows/wine}
WINEPREFIX=$prefix wineserver -k 2>/dev/null
WINEPREFIX=$prefix wineserver -w 2>/dev/null

cp "$gui" "$work/orvanta-connect.exe"
cp "$(dirname "$gui")/libspandsp-2.dll" "$work/"   # shipped beside the program
"$wine_run" "$work/orvanta-connect.exe" >"$work/app.log" 2>&1 &
app=$!
window() { xdotool search --onlyvisible --name '^Orvanta Connect$' 2>/dev/null | head -n1; }
# Functions, so that wait_for asks again each time (a "$(window)" argument is read once).
window_shown() { test -n "$(window)"; }
window_gone() { test -z "$(window)"; }
wait_for 90 window_shown || fail "no visible window titled Orvanta Connect: $(tail -5 "$work/app.log")"
w=$(window)
sleep 3
import -window root "$artifacts/windows-locked.png"

# Unlock: the password field has the keyboard focus on the lock screen.
xdotool windowfocus --sync "$w" 2>/dev/null || true
xdotool mousemove --window "$w" 640 400 mousedown 1; sleep 0.2; xdotool mouseup 1
xdotool type --delay 80 "$(test_password)"
xdotool key --delay 80 Return
sleep 3
import -window root "$artifacts/windows-tabs.png"
changed=$(compare -metric AE "$artifacts/windows-locked.png" "$artifacts/windows-tabs.png" null: 2>&1 | cut -d' ' -f1)
[ "${changed%.*}" -gt 1000 ] 2>/dev/null || fail "the screen did not change after the password ($changed pixels)"

# The close box hides the window; the program keeps running.
"$x11_close" "$w" || fail "could not send the close request"
wait_for 20 window_gone || fail "the window is still visible after close"
kill -0 "$app" 2>/dev/null || fail "the program ended on close"
# Back from the notification area: Wine draws it as its own "Wine System Tray" window, with
# our icon (16x16 at least) in its first slot.
tray=$(xdotool search --name '^Wine System Tray$' 2>/dev/null | head -n1)
[ -n "$tray" ] || fail "no notification area window"
xdotool mousemove --window "$tray" 8 8 click --repeat 2 --delay 100 1
wait_for 20 window_shown || fail "a double click on the tray icon did not bring the window back"
sleep 2
import -window root "$artifacts/windows-restored.png"
echo "window titled Orvanta Connect, unlocked ($changed pixels changed), hidden on close, back from the tray"
