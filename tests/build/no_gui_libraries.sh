#!/bin/sh
# no_gui_libraries.sh PROGRAM: fails when PROGRAM needs SDL2, PulseAudio, X11, OpenGL or
# Dear ImGui. Prints what it needs either way.
set -u
prog=$1
needed=$(objdump -p "$prog" | awk '/NEEDED/ {print $2}') || exit 1
echo "$needed"
bad=$(echo "$needed" | grep -E -i 'SDL2|pulse|X11|libGL|imgui|xcb' || true)
if [ -n "$bad" ]; then
  echo "the engine libraries pull in: $bad" >&2
  exit 1
fi
"$prog" >/dev/null
