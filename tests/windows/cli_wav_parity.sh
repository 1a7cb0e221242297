#!/usr/bin/env bash
# orvanta-cli flow --wav under Wine writes the same WAV files, byte for byte, as the Linux
# program does for the tone calls (G.711, G.722, Opus, GSM, G.729 without a decoder), and
# prints the same wav; lines (Windows writes "\" between folder and file, and CR LF).
#   cli_wav_parity.sh LINUX_CLI WINDOWS_CLI WINE_RUN MAKE_TONE_CALLS
# Exit 77 (skipped) without the Linux program, ffmpeg or sox.
set -uo pipefail
linux=$1 windows=$2 wine_run=$3 maker=$4
[ -x "$linux" ] || { echo "SKIP: no Linux orvanta-cli at $linux"; exit 77; }
for tool in ffmpeg sox python3; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$maker" "$work/tone.pcap" || { echo "make_tone_calls.py failed"; exit 1; }
cd "$work"
"$linux" flow --read tone.pcap --wav lin >l.out 2>/dev/null || { echo "Linux run failed"; exit 1; }
"$wine_run" "$windows" flow --read tone.pcap --wav win 2>/dev/null | sed 's/\r$//' >w.out
grep '^wav;' l.out | sed 's#;lin/#;DIR/#' >l.wav
grep '^wav;' w.out | sed 's#;win\\#;DIR/#' >w.wav
failed=0
cmp -s l.wav w.wav || { echo "the wav; lines differ"; diff l.wav w.wav | head -20; failed=1; }
[ "$(grep -c '' l.wav)" -ge 10 ] || { echo "too few streams: $(grep -c '' l.wav)"; failed=1; }
n=0
for f in lin/*.wav; do
  name=$(basename "$f")
  if cmp -s "$f" "win/$name"; then n=$((n + 1)); else echo "DIFFERS: $name"; failed=1; fi
done
echo "$n WAV files identical"
[ "$n" -gt 0 ] || failed=1
exit $failed
