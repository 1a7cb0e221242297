#!/usr/bin/env bash
# Runs one Windows program of the build under Wine, in the build's own Wine prefix
# (build-windows/wine, created on first use), quietly and without Wine's Mono/Gecko
# installers. wpcap.dll beside the program is the savefile-only libpcap built from source:
# Wine's own wpcap.dll cannot open savefiles.
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
set -euo pipefail
# Wine's server and services outlive this script: they must not inherit descriptors from the
# caller (a test lock taken with flock would otherwise stay held until they end).
for fd in /proc/$$/fd/*; do
  n=${fd##*/}
  if [ "$n" -gt 2 ] 2>/dev/null; then eval "exec $n>&-" 2>/dev/null || true; fi
done
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${OC_WINEPREFIX:-$ROOT/build-windows/wine}
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;wpcap=n,b"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  flock "$WINEPREFIX.lock" bash -c '[ -f "$WINEPREFIX/system.reg" ] || wineboot -i' >/dev/null 2>&1
fi
# A server that lingers a minute after its last program spares each later start the
# server's own set-up (~3 s -> ~0.05 s); scripts/test.sh stops it when the suite ends.
# When the server is new (status 0; 2 if one runs already), its services (services.exe,
# winedevice, rpcss) are started here with no terminal: started by the program they would
# hold its standard error open until the server ends, a minute after the program.
if wineserver -p60 </dev/null >/dev/null 2>&1; then
  wineboot </dev/null >/dev/null 2>&1 || true
fi
exec wine "$@"
