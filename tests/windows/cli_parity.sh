#!/usr/bin/env bash
# The Windows orvanta-cli (under Wine) prints the same as the Linux one for every fixture
# capture: `decode` of each frame and `flow --read` with its call list, RTP flows and CSV
# export. Windows writes text output with CR LF line ends; those are turned into LF before
# comparing, nothing else is touched.
#   cli_parity.sh LINUX_CLI WINDOWS_CLI WINE_RUN DATA_DIR
# Exit 77 (skipped) when the Linux program has not been built.
set -uo pipefail
linux=$1 windows=$2 wine_run=$3 data=$4
if [ ! -x "$linux" ]; then
  echo "SKIP: no Linux orvanta-cli at $linux (scripts/test.sh builds it before the Windows suite)"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC
crlf() { sed 's/\r$//' "$@"; }
failed=0 compared=0
compare() {  # name, linux output, windows output
  if cmp -s "$2" "$3"; then
    compared=$((compared + 1))
  else
    echo "DIFFERS: $1"
    diff "$2" "$3" | head -20
    failed=1
  fi
}
shopt -s nullglob
captures=("$data"/pcaps/*.pcap "$data"/pcaps/*.pcapng "$data"/testnet-samples/*.pcap)
[ ${#captures[@]} -gt 0 ] || { echo "no fixture captures under $data"; exit 1; }
for f in "${captures[@]}"; do
  name=$(basename "$f")
  "$linux" decode "$f" >"$work/l.decode" 2>/dev/null
  lrc=$?
  "$wine_run" "$windows" decode "$f" 2>/dev/null | crlf >"$work/w.decode"
  wrc=${PIPESTATUS[0]}
  [ "$lrc" = "$wrc" ] || { echo "decode $name: exit $lrc on Linux, $wrc on Windows"; failed=1; }
  [ -s "$work/l.decode" ] || { echo "decode $name: no output on Linux"; failed=1; }
  compare "decode $name" "$work/l.decode" "$work/w.decode"

  "$linux" flow --read "$f" --csv "$work/l.csv" >"$work/l.flow" 2>/dev/null
  lrc=$?
  "$wine_run" "$windows" flow --read "$f" --csv "$work/w.csv" 2>/dev/null | crlf >"$work/w.flow"
  wrc=${PIPESTATUS[0]}
  [ "$lrc" = "$wrc" ] || { echo "flow $name: exit $lrc on Linux, $wrc on Windows"; failed=1; }
  compare "flow $name" "$work/l.flow" "$work/w.flow"
  # The CSV export is a file the program writes itself: byte for byte, line ends included.
  if [ -f "$work/l.csv" ] || [ -f "$work/w.csv" ]; then
    compare "flow csv $name" "$work/l.csv" "$work/w.csv"
  fi
  rm -f "$work"/l.csv "$work"/w.csv
done
echo "$compared outputs identical over ${#captures[@]} captures"
exit $failed
