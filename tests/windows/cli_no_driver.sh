#!/usr/bin/env bash
# Without the capture driver's wpcap.dll the program still starts: every capture command
# of orvanta-cli.exe ends with exit 2 and names the missing driver, the others still work.
#   cli_no_driver.sh WINDOWS_CLI WINE_RUN CAPTURE
set -uo pipefail
cli=$1 wine_run=$2 capture=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
cp "$cli" "$work/orvanta-cli.exe"   # no wpcap.dll beside it, none in System32\Npcap
cp "$(dirname "$cli")/libspandsp-2.dll" "$work/"   # shipped beside the program
for args in "devices" "decode $capture" "flow --read $capture" "mtr 127.0.0.1 --cycles 1"; do
  # shellcheck disable=SC2086
  "$wine_run" "$work/orvanta-cli.exe" $args >"$work/out" 2>"$work/err"
  rc=$?
  [ $rc = 2 ] || fail "'$args' exited $rc: $(cat "$work/err")"
  grep -q "Npcap nao encontrado" "$work/err" || fail "'$args' did not name the missing driver: $(cat "$work/err")"
done
echo "without wpcap.dll: devices, decode, flow and mtr exit 2 naming the driver"
