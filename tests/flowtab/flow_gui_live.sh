#!/bin/bash
# Real run of the Flow tab: the GUI under Xvfb inside a network namespace, monitoring its
# veth interface while SIPp places one call with RTP to a second namespace. The test clicks
# the call row and an arrow, keeps a screenshot of the ladder with the message text, exports
# CSV and pcap and checks both files.
#
#   flow_gui_live.sh ORVANTA_CONNECT ARTIFACT_DIR [DISPLAY_NUMBER]
#
# Exit 77 (skipped) when not root or when a needed tool is missing.
set -u
. "$(cd "$(dirname "$0")" && pwd)/../lib/x11.sh"

GUI_BIN=$1
ARTIFACTS=$2
DISPNUM=${3:-51}
export DISPLAY=":$DISPNUM"

NS_GUI="tx-ftgui-$$"
NS_PEER="tx-ftpeer-$$"
IF_GUI="txg$$"
IF_PEER="txp$$"
IP_GUI=10.77.0.1
IP_PEER=10.77.0.2
PASSWORD=$(test_password)

WORK=$(mktemp -d /tmp/flowtab-live.XXXXXX)
XVFB_PID=""
GUI_PID=""
UAS_PID=""

log() { echo "[flow_gui_live] $*"; }
fail() {
    log "FAIL: $*"
    [ -n "$GUI_PID" ] && [ -f "$WORK/gui.log" ] && sed 's/^/  gui: /' "$WORK/gui.log" | tail -20
    [ -f "$WORK/sipp/uac.log" ] && sed 's/^/  uac: /' "$WORK/sipp/uac.log" | tail -20
    exit 1
}

cleanup() {
    [ -n "$GUI_PID" ] && kill "$GUI_PID" 2>/dev/null
    [ -n "$UAS_PID" ] && kill "$UAS_PID" 2>/dev/null
    # The capture thread notices a stop within its one-second read time-out.
    for _ in $(seq 30); do
        { [ -z "$GUI_PID" ] || ! kill -0 "$GUI_PID" 2>/dev/null; } &&
            { [ -z "$UAS_PID" ] || ! kill -0 "$UAS_PID" 2>/dev/null; } && break
        sleep 0.1
    done
    [ -n "$GUI_PID" ] && kill -9 "$GUI_PID" 2>/dev/null
    [ -n "$UAS_PID" ] && kill -9 "$UAS_PID" 2>/dev/null
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
    ip netns del "$NS_GUI" 2>/dev/null
    ip netns del "$NS_PEER" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

[ "$(id -u)" = 0 ] || { log "SKIP: needs root (namespaces, capture)"; exit 77; }
for tool in Xvfb xdotool xdpyinfo import sipp tshark ip; do
    command -v "$tool" >/dev/null 2>&1 || { log "SKIP: $tool missing"; exit 77; }
done
[ -f /usr/share/sip-tester/g711a.pcap ] || { log "SKIP: SIPp's g711a.pcap missing"; exit 77; }
[ -x "$GUI_BIN" ] || fail "no executable $GUI_BIN"

# --- two namespaces joined by a veth pair ---
ip netns add "$NS_GUI" || fail "netns $NS_GUI"
ip netns add "$NS_PEER" || fail "netns $NS_PEER"
ip link add "$IF_GUI" type veth peer name "$IF_PEER" || fail "veth"
ip link set "$IF_GUI" netns "$NS_GUI"
ip link set "$IF_PEER" netns "$NS_PEER"
ip -n "$NS_GUI" addr add "$IP_GUI/24" dev "$IF_GUI"
ip -n "$NS_PEER" addr add "$IP_PEER/24" dev "$IF_PEER"
for ns in "$NS_GUI" "$NS_PEER"; do ip -n "$ns" link set lo up; done
ip -n "$NS_GUI" link set "$IF_GUI" up
ip -n "$NS_PEER" link set "$IF_PEER" up

# --- display ---
start_xvfb "$DISPLAY" "$WORK/xvfb.log" || fail "Xvfb $DISPLAY did not start"

# --- the GUI, from a copy so that its LOGS folder lands in the work folder ---
cp "$GUI_BIN" "$WORK/orvanta-connect"
(cd "$WORK" && exec ip netns exec "$NS_GUI" ./orvanta-connect >"$WORK/gui.log" 2>&1) &
GUI_PID=$!
WIN=""
for _ in $(seq 100); do
    WIN=$(xdotool search --name '^Orvanta Connect$' 2>/dev/null | head -1)
    [ -n "$WIN" ] && break
    sleep 0.1
done
[ -n "$WIN" ] || fail "no window"
sleep 1

# Window-relative click; the layout is the stock font at the default 1280 x 800 size.
click() { xdotool mousemove --window "$WIN" "$1" "$2" click 1; sleep "${3:-0.5}"; }
shot() { import -window root "$1"; }

# Unlock: focus the password field, type, Enter.
click 600 418 0.3
xdotool windowfocus --sync "$WIN"
xdotool type --delay 60 "$PASSWORD"
sleep 0.2
xdotool key --delay 60 Return
sleep 1

# Flow tab (third tab), then "INICIAR MONITORAMENTO" on the first device, which in this
# namespace is the veth end (libpcap lists running non-loopback interfaces first).
click 100 17 0.8
shot "$WORK/flow-idle.png"
click 720 48 1.0

# --- one SIPp call with RTP: callee echoes, caller plays a PCMA recording ---
mkdir -p "$WORK/sipp"
ln -s /usr/share/sip-tester "$WORK/sipp/pcap"
(cd "$WORK/sipp" && exec ip netns exec "$NS_PEER" sipp -sn uas -i "$IP_PEER" -p 5060 -mp 16000 -rtp_echo \
    -m 1 -nostdin -timeout 40s >"$WORK/sipp/uas.log" 2>&1) &
UAS_PID=$!
sleep 0.5
(cd "$WORK/sipp" && timeout 45 ip netns exec "$NS_GUI" sipp -sn uac_pcap "$IP_PEER:5060" -i "$IP_GUI" -p 5060 \
    -mp 18000 -m 1 -nostdin -timeout 35s >"$WORK/sipp/uac.log" 2>&1)
UAC_RC=$?
[ "$UAC_RC" = 0 ] || fail "SIPp caller ended with $UAC_RC"
sleep 1.5
shot "$WORK/flow-list.png"

# --- ladder: click the call row, then the INVITE arrow (first message) ---
click 60 91 0.8
shot "$WORK/flow-ladder-empty.png"
click 420 126 0.8
mkdir -p "$ARTIFACTS"
shot "$ARTIFACTS/flow-ladder.png"

# Back, export both files, stop.
click 32 40
click 507 48
click 611 48
shot "$ARTIFACTS/flow-exported.png"
click 105 48

# --- check the two files ---
CSV=$(ls "$WORK"/LOGS/flow/*.csv 2>/dev/null | head -1)
PCAP=$(ls "$WORK"/LOGS/flow/*.pcap 2>/dev/null | head -1)
[ -n "$CSV" ] || fail "no CSV written in LOGS/flow"
[ -n "$PCAP" ] || fail "no pcap written in LOGS/flow"
log "CSV: $(basename "$CSV"), pcap: $(basename "$PCAP")"
[[ $(basename "$CSV") =~ ^[0-9]{8}_[0-9]{6}\.csv$ ]] || fail "CSV name $(basename "$CSV")"
head -c 3 "$CSV" | od -An -tx1 | grep -q "ef bb bf" || fail "CSV has no byte order mark"
[ "$(head -1 "$CSV" | tail -c +4)" = "Hora;Method;From User;From IP;To User;To IP;Msgs;Call-ID;Estado;Origem Desl." ] \
    || fail "CSV header"
ROW=$(grep ";$IP_GUI;" "$CSV")
[ -n "$ROW" ] || fail "no call row in CSV: $(cat "$CSV")"
IFS=';' read -r _ method _ fromIp _ toIp msgs callId state origin <<<"$ROW"
[ "$method" = INVITE ] || fail "method $method"
[ "$fromIp" = "$IP_GUI" ] && [ "$toIp" = "$IP_PEER" ] || fail "addresses $fromIp $toIp"
[ "$state" = Terminated ] || fail "state $state"
[ "$origin" = "Softphone/PC" ] || fail "origin $origin"
[ "$msgs" -ge 8 ] || fail "only $msgs messages (SIP + 2 RTP flows expected)"
log "call $callId: $msgs messages, $state, $origin"

[ "$(tshark -r "$PCAP" -T fields -e frame.encap_type -c 1 2>/dev/null)" = 1 ] || fail "pcap link type is not Ethernet"
SIP_COUNT=$(tshark -r "$PCAP" -Y "sip.Call-ID == \"$callId\"" 2>/dev/null | wc -l)
RTP_COUNT=$(tshark -r "$PCAP" -d udp.port==16000,rtp -d udp.port==18000,rtp -Y rtp 2>/dev/null | wc -l)
[ "$SIP_COUNT" -ge 6 ] || fail "pcap holds $SIP_COUNT SIP messages of the call"
[ "$RTP_COUNT" -ge 100 ] || fail "pcap holds $RTP_COUNT RTP packets"
log "pcap: $SIP_COUNT SIP messages, $RTP_COUNT RTP packets"

# The screenshot must show the ladder with the selected (magenta) arrow and the message text
# in the right-hand panel: the panel holds far more lit pixels than with the placeholder.
[ -s "$ARTIFACTS/flow-ladder.png" ] || fail "no screenshot"
lit() { convert "$1" -crop 420x300+940+190 -colorspace Gray -threshold 40% -format "%[fx:mean]" info:; }
magenta() { convert "$1" -crop 820x700+110+160 -fill black +opaque "rgb(255,100,255)" -fill white -opaque "rgb(255,100,255)" -format "%[fx:mean]" info:; }
BEFORE=$(lit "$WORK/flow-ladder-empty.png")
AFTER=$(lit "$ARTIFACTS/flow-ladder.png")
log "message panel lit fraction: $BEFORE with the placeholder, $AFTER with the INVITE"
awk -v a="$AFTER" -v b="$BEFORE" 'BEGIN { exit !(a > 4 * b && a > 0.01) }' || fail "no message text in the panel"
MAG=$(magenta "$ARTIFACTS/flow-ladder.png")
awk -v m="$MAG" 'BEGIN { exit !(m > 0.0003) }' || fail "no magenta (selected) arrow: $MAG"
[ "$(magenta "$WORK/flow-ladder-empty.png")" = 0 ] || fail "magenta arrow before any selection"
log "screenshot: $ARTIFACTS/flow-ladder.png"
log "PASS"
exit 0
