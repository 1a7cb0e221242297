#!/usr/bin/env bash
# The HOME, Check IP and Som tabs of the real orvanta-connect under a private Xvfb, with a
# private PulseAudio server (virtual microphone fed by a tone) and a loopback check-IP server.
# Unlocks with the password, uses each tab as a user would and keeps a screenshot of each:
#   tab_screenshots.sh <orvanta-connect> <artifact-dir> [display]
set -u
app_src=$1 artifacts=$2 display=${3:-:81}
here=$(cd "$(dirname "$0")" && pwd)

work=$(mktemp -d)
xvfb_pid="" pulse_pid="" tone_pid="" server_pid="" app_pid=""
cleanup() {
  for p in $app_pid $tone_pid $server_pid $pulse_pid $xvfb_pid; do kill "$p" 2>/dev/null; done
  sleep 0.3
  for p in $app_pid $tone_pid $server_pid $pulse_pid $xvfb_pid; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/app.err" ] && sed 's/^/app: /' "$work/app.err" >&2; exit 1; }
. "$here/../lib/x11.sh"
password=$(test_password)
require_tools Xvfb xdotool xdpyinfo import pulseaudio pactl paplay sox openssl python3
mkdir -p "$artifacts"
export LSAN_OPTIONS="suppressions=$here/../app/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

# --- sound: null sink "spk" (output), "mic" (input) fed through the null sink "micsrc"
export XDG_RUNTIME_DIR=$work/run HOME=$work/home
mkdir -p -m 700 "$XDG_RUNTIME_DIR/pulse" && mkdir -p "$HOME"
export PULSE_SERVER=unix:$XDG_RUNTIME_DIR/pulse/native
pulseaudio --daemonize=no --exit-idle-time=-1 -n --disallow-exit \
  --load="module-native-protocol-unix auth-anonymous=1 socket=$XDG_RUNTIME_DIR/pulse/native" \
  --load="module-null-sink sink_name=spk" --load="module-null-sink sink_name=micsrc" \
  --load="module-remap-source master=micsrc.monitor source_name=mic" >"$work/pulse.log" 2>&1 &
pulse_pid=$!
wait_for 10 pactl info || fail "PulseAudio did not start"
pactl set-default-source mic && pactl set-default-sink spk && pactl set-source-volume mic 65% || fail "pactl"
sox -n -r 44100 -c 1 -b 16 "$work/tone.wav" synth 30 sine 440 vol 0.7 || fail "sox"
paplay --device=micsrc "$work/tone.wav" &
tone_pid=$!

# --- check-IP endpoint on loopback (plain HTTP answers; HTTPS is refused)
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 || fail "openssl"
echo '{"https": {"mode": "close"}, "http": {"mode": "answer", "status": 200, "body": "<p>Current IP Address: 203.0.113.7</p>\n"}}' >"$work/conf.json"
coproc SERVER { exec python3 "$here/../lib/checkip_server.py" "$work/conf.json" "$work/requests.log" "$work/cert.pem" "$work/key.pem"; }
server_pid=$SERVER_PID
read -r -t 10 port <&"${SERVER[0]}" || fail "check-IP server did not start"

# --- display and application (a copy, so that its LOGS folder lands in the work folder)
export DISPLAY=$display
start_xvfb "$DISPLAY" "$work/xvfb.log"; rc=$?
xvfb_pid=${XVFB_PID:-}
[ $rc -eq 0 ] || fail "Xvfb $DISPLAY did not start"
cp "$app_src" "$work/orvanta-connect"
( cd "$work" && exec env ORVANTA_DEBUG_LOG="$work/trace.log" ORVANTA_CHECKIP_HOST="127.0.0.1:$port" \
    "$work/orvanta-connect" >"$work/app.out" 2>"$work/app.err" ) &
app_pid=$!

wait_for 40 main_window || fail "no main window (app alive: $(kill -0 $app_pid 2>/dev/null && echo yes || echo no))"
win=$(main_window)
sleep 0.5
xdotool windowfocus --sync "$win" || fail "cannot focus the window"
click() { xdotool mousemove --window "$win" "$1" "$2" sleep 0.15 click 1; sleep 0.3; }
shot() { import -window root "$artifacts/$1" || fail "screenshot $1 failed"; }

# Unlock: the password field sits left of "DESBLOQUEAR" in the dialog centred on the client.
click 560 420
xdotool type --delay 50 "$password"
xdotool key --delay 50 Return
wait_for 5 grep -q Unlocked "$work/trace.log" || fail "password + Enter did not unlock"

# HOME is the first tab. Its first drawing gathers the facts at once.
sleep 0.8
shot tab-home.png

# Check IP: tab label at (156, 18); the full-width button at 0.3 x the height.
click 156 18
click 640 265
wait_for 10 test -s "$work/LOGS/flow/checkip.csv" || fail "no history line after VERIFICAR MEU IP"
grep -q ';203.0.113.7;http://127.0.0.1:' "$work/LOGS/flow/checkip.csv" || fail "history: $(cat "$work/LOGS/flow/checkip.csv")"
sleep 0.3
shot tab-checkip.png

# Som: tab label at (208, 18); "INICIAR GRAVACAO" at (109, 128).
click 208 18
sleep 0.3
shot tab-som.png
click 109 128
wait_for 5 sh -c 'pactl list short source-outputs | grep -q protocol-native' || fail "recording did not open the microphone"
sleep 1.2
shot tab-som-recording.png
click 109 128   # "PARAR GRAVACAO" takes the same place
wait_for 5 sh -c '! pactl list short source-outputs | grep -q protocol-native' || fail "stopping did not release the microphone"

xdotool key --delay 60 ctrl+q
n=50
while kill -0 "$app_pid" 2>/dev/null && [ $n -gt 0 ]; do sleep 0.1; n=$((n - 1)); done
kill -0 "$app_pid" 2>/dev/null && fail "Ctrl+Q did not end the program"
wait "$app_pid"; rc=$?; app_pid=""
[ $rc -eq 0 ] || fail "exit code $rc"
echo "PASS screenshots in $artifacts"
