#!/usr/bin/env bash
# Installs the Debian packages this project needs, only those that are missing.
#   scripts/deps.sh build   libraries and tools to build and run the application
#   scripts/deps.sh test    the above plus everything the test suite starts
set -euo pipefail

BUILD_PKGS=(build-essential cmake pkg-config libimgui-dev libsdl2-dev libgl-dev libx11-dev
            libpcap-dev libcurl4-openssl-dev libpulse-dev xdg-utils libssl-dev)
TEST_PKGS=(clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
           xvfb xdotool x11-utils imagemagick trayer
           iproute2 iputils-ping python3 tcpdump tcpreplay tshark mtr-tiny sip-tester sngrep
           pulseaudio pulseaudio-utils sox openssl curl ca-certificates libcap2-bin)

want=("${BUILD_PKGS[@]}")
if [ "${1:-build}" = "test" ]; then want+=("${TEST_PKGS[@]}"); fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer for it.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q >&2
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
