#!/bin/bash
# The Flow tab of the real program under Xvfb with a call between two full-length IPv6
# addresses (the IPv6 fixture rewritten by long_ipv6_capture.py): imports it, keeps
# screenshots of the call list, the ladder with the INVITE selected and an RTP stream's
# report, and checks that the CSV export holds both addresses whole.
#
#   flow_ipv6_screenshots.sh ORVANTA_CONNECT ARTIFACT_DIR PCAP_DIR [DISPLAY_NUMBER]
#
# Exit 77 (skipped) when a needed tool is missing.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../lib/x11.sh"

app_src=$1 artifacts=$2 pcaps=$3
export DISPLAY=":${4:-54}"
caller=fd12:3456:789a:bcde:f012:3456:789a:bcde
callee=fdfe:dcba:9876:5432:10fe:dcba:9876:5432

work=$(mktemp -d /tmp/flow-ipv6-shots.XXXXXX)
xvfb_pid="" app_pid=""
cleanup() {
  for p in $app_pid $xvfb_pid; do kill "$p" 2>/dev/null; done
  sleep 0.3
  for p in $app_pid $xvfb_pid; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/app.err" ] && sed 's/^/app: /' "$work/app.err" | tail -20 >&2; exit 1; }
require_tools Xvfb xdotool xdpyinfo xwininfo import python3
mkdir -p "$artifacts" "$work/LOGS/flow"
export LSAN_OPTIONS="suppressions=$here/../app/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

# The capture waits in the folder the import panel lists.
python3 "$here/long_ipv6_capture.py" "$pcaps/11_ipv6_call_caller_bye.pcap" "$work/LOGS/flow/ipv6_long.pcap" ||
  fail "cannot write the long-address capture"

start_xvfb "$DISPLAY" "$work/xvfb.log"; rc=$?
xvfb_pid=${XVFB_PID:-}
[ $rc -eq 0 ] || fail "Xvfb $DISPLAY did not start"
cp "$app_src" "$work/orvanta-connect"
( cd "$work" && exec env ORVANTA_DEBUG_LOG="$work/trace.log" "$work/orvanta-connect" >"$work/app.out" 2>"$work/app.err" ) &
app_pid=$!
wait_for 40 main_window || fail "no main window"
win=$(main_window)
sleep 0.5
xdotool windowfocus --sync "$win" || fail "cannot focus the window"
# Window-relative clicks; the layout is the stock font at the default 1280 x 800 size.
click() { xdotool mousemove --window "$win" "$1" "$2" sleep 0.15 click 1; sleep "${3:-0.4}"; }
shot() { import -window "$win" "$1" || fail "screenshot $1 failed"; }

click 560 420
xdotool type --delay 50 "$(test_password)"
xdotool key --delay 50 Return
wait_for 5 grep -q Unlocked "$work/trace.log" || fail "password + Enter did not unlock"

click 100 17 0.8
# "Importar PCAP", then the only file of the list under the path field, then "Carregar".
click 1020 48 0.6
click 200 121
click 556 94 1.5
shot "$artifacts/flow-ipv6-list.png"
# Hover the From cell: the address is cut at the column's edge, the tooltip holds it whole.
xdotool mousemove --window "$win" 300 131; sleep 0.5
shot "$artifacts/flow-ipv6-list-hover.png"
# The ladder of the call.
click 60 131 0.8
shot "$artifacts/flow-ipv6-ladder.png"
# The INVITE (first arrow): its text in the panel, wrapped, addresses and all.
click 420 126 0.6
shot "$artifacts/flow-ipv6-invite.png"
# The first RTP arrow: the stream report, whose two "[address]:port" columns are wider than
# the panel; it scrolls sideways.
click 420 286 0.6
shot "$artifacts/flow-ipv6-report.png"

# Back to the list, "Exportar CSV": the row names both parties by their whole addresses.
click 32 40 0.6
click 1122 48 0.8
csv=$(ls "$work"/LOGS/flow/*.csv 2>/dev/null | head -1)
[ -n "$csv" ] || fail "no CSV written in LOGS/flow"
grep -q ";sipp;$caller;service;$callee;10;1-21566@$caller;" "$csv" || fail "CSV row: $(tail -n +2 "$csv")"

xdotool key --delay 60 ctrl+q
n=50
while kill -0 "$app_pid" 2>/dev/null && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
kill -0 "$app_pid" 2>/dev/null && fail "Ctrl+Q did not end the program"
wait "$app_pid"; rc=$?; app_pid=""
[ $rc -eq 0 ] || fail "exit code $rc"
echo "PASS screenshots in $artifacts: flow-ipv6-list.png, flow-ipv6-list-hover.png, flow-ipv6-ladder.png, flow-ipv6-invite.png, flow-ipv6-report.png"
