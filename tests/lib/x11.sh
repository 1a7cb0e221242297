# Shell helpers shared by the real-window tests. Source it: . "$(dirname "$0")/../lib/x11.sh"

# wait_for SECONDS COMMAND...: runs COMMAND every 100 ms until it succeeds; 1 on time-out.
wait_for() {
  local t=$1; shift
  local n=$((t * 10))
  while [ $n -gt 0 ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.1; n=$((n - 1)); done
  return 1
}

# start_xvfb DISPLAY LOGFILE: starts a private Xvfb, waits until it answers, sets XVFB_PID.
# -noreset: an X server resets when its last client leaves and refuses connections while it
# does, so the readiness probe below would otherwise make the program's own connection fail
# at random. Returns 1 when the display is taken or the server does not come up.
start_xvfb() {
  local display=$1 log=$2
  local lock=/tmp/.X${display#:}-lock
  # A lock left by a server that died without cleaning up names a process that is gone.
  if [ -e "$lock" ] && ! kill -0 "$(tr -d ' ' <"$lock" 2>/dev/null)" 2>/dev/null; then
    rm -f "$lock" "/tmp/.X11-unix/X${display#:}"
  fi
  # A server still shutting down on this display would answer the probe and then vanish.
  wait_for 5 test ! -e "$lock" || return 1
  Xvfb "$display" -screen 0 1600x1000x24 -nolisten tcp -noreset >"$log" 2>&1 &
  XVFB_PID=$!
  wait_for 10 xdpyinfo -display "$display" || return 1
  kill -0 "$XVFB_PID" 2>/dev/null
}

# main_window: prints the id of the program's 1280-pixel main window (its class is shared by
# the tray icon's window); 1 while there is none.
main_window() {
  local w
  for w in $(xdotool search --classname '^orvanta-connect$' 2>/dev/null); do
    xwininfo -id "$w" 2>/dev/null | grep -q 'Width: 1280' && { echo "$w"; return 0; }
  done
  return 1
}

# test_password: prints the access password the real-window tests type. It is kept in clear
# text in one place only, the C++ helper beside this file.
test_password() {
  sed -n 's/^inline constexpr const char\* kTestPassword = "\(.*\)";$/\1/p' "$(dirname "${BASH_SOURCE[0]:-$0}")/TestPassword.h"
}

# require_tools TOOL...: exits 77 (ctest: skipped) naming the first tool not on PATH.
require_tools() {
  local t
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || { echo "SKIP: $t is missing" >&2; exit 77; }
  done
}
