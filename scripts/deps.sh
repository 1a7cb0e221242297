#!/usr/bin/env bash
# Installs the Debian packages this project needs, only those that are missing.
#   scripts/deps.sh build   libraries and tools to build and run the application
#   scripts/deps.sh test    the above plus everything the test suite starts
#   scripts/deps.sh windows the cross compilers, Wine and what the Windows sources need
set -euo pipefail

BUILD_PKGS=(build-essential cmake pkg-config libimgui-dev libsdl2-dev libgl-dev libx11-dev
            libpcap-dev libcurl4-openssl-dev libpulse-dev xdg-utils libssl-dev libjemalloc-dev
            nlohmann-json3-dev libspandsp-dev libgsm1-dev libopus-dev)
TEST_PKGS=(clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
           xvfb xdotool x11-utils imagemagick trayer
           iproute2 iputils-ping python3 tcpdump tcpreplay tshark mtr-tiny sip-tester sngrep
           pulseaudio pulseaudio-utils sox openssl curl ca-certificates libcap2-bin
           ffmpeg)

# The -posix MinGW compilers (std::thread and std::mutex need them), Wine to run the
# tests, and what fetching and building the Debian source packages of ImGui and libpcap needs.
WINDOWS_PKGS=(g++-mingw-w64-x86-64 gcc-mingw-w64-x86-64 mingw-w64-tools binutils-mingw-w64-x86-64
              wine64 wine flex bison dpkg-dev googletest cmake xvfb xdotool x11-utils imagemagick
              python3 zip unzip nlohmann-json3-dev)

case "${1:-build}" in
  build) want=("${BUILD_PKGS[@]}") ;;
  test) want=("${BUILD_PKGS[@]}" "${TEST_PKGS[@]}") ;;
  windows) want=("${WINDOWS_PKGS[@]}") ;;
  *) echo "usage: $0 [build|test|windows]" >&2; exit 2 ;;
esac

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
