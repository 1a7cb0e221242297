#!/usr/bin/env bash
# The call player of the Windows build on WinMM, under Wine with its PulseAudio driver: a
# private PulseAudio server with a null sink as the only output, parec recording its monitor
# while oc_win_play_call plays the tone call pcma-1@tone (1000 Hz left, 440 Hz right, 2 s)
# to its end and then again, stopped half a second in; check_tones.py judges the recording.
#   pulse_playback.sh PLAYER WINE_RUN MAKE_TONE_CALLS CHECK_TONES
# Exit 77 (skipped) without pulseaudio, parec, Wine's PulseAudio driver, ffmpeg or sox.
set -uo pipefail
player=$1 wine_run=$2 maker=$3 checker=$4
for tool in pulseaudio parec pactl ffmpeg sox python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
winepulse=$(find /usr/lib /usr/lib64 /opt -path '*x86_64-windows/winepulse.drv' 2>/dev/null | head -n1)
[ -n "$winepulse" ] || { echo "SKIP: Wine's PulseAudio driver (winepulse.drv) is not installed"; exit 77; }

work=$(mktemp -d)
chmod 700 "$work"
server="" recorder=""
cleanup() {
  [ -n "$recorder" ] && kill "$recorder" 2>/dev/null
  [ -n "$server" ] && kill "$server" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$work/server.log" ] && tail -5 "$work/server.log"; exit 1; }

python3 "$maker" "$work/tone.pcap" >/dev/null || fail "make_tone_calls.py failed"

# The server's socket, state, runtime files and cookie all in the private folder; clients (pactl,
# parec, and Wine's driver inside the Windows program) find it by PULSE_SERVER alone.
mkdir -p "$work/pulse" "$work/home"
export PULSE_SERVER=unix:$work/pulse/native PULSE_RUNTIME_PATH=$work/pulse XDG_RUNTIME_DIR=$work \
  PULSE_COOKIE=$work/pulse/cookie
HOME=$work/home pulseaudio --daemonize=no --exit-idle-time=-1 -n --disallow-exit --use-pid-file=no \
  "--load=module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/native" \
  "--load=module-null-sink sink_name=spk norewinds=1" >"$work/server.log" 2>&1 &
server=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || fail "the private PulseAudio server did not start"
pactl set-default-sink spk || fail "pactl set-default-sink spk failed"

parec --device=spk.monitor --format=s16le --rate=44100 --channels=2 --raw --latency-msec=20 \
  >"$work/spk.raw" 2>"$work/parec.log" &
recorder=$!
sleep 0.4

# Wine picks its PulseAudio driver when it reaches a server; with a driver named in the
# prefix's registry (HKCU\Software\Wine\Drivers, Audio) other than pulse this would fail.
cd "$work"
"$wine_run" "$player" tone.pcap pcma-1@tone 2>"$work/wine.log" | sed 's/\r$//' | tee play.out
played=${PIPESTATUS[0]}
sleep 0.3
kill "$recorder"
wait "$recorder" 2>/dev/null
recorder=""
[ "$played" -eq 0 ] || fail "the player under Wine failed (exit $played): $(grep -v -e wine32 -e libvulkan wine.log | tail -5)"
python3 "$checker" spk.raw 1000 440 2.0
