#!/usr/bin/env bash
# Cross-builds the Windows x64 version on this Debian machine with MinGW-w64:
#   build-windows/bin/orvanta-connect.exe, orvanta-cli.exe  statically linked programs
#   build-windows/bin/wpcap.dll   libpcap without a capture driver (savefiles only), for the
#                                 tests under Wine; never shipped
#   build-windows/bin/libspandsp-2.dll  spandsp's G.711 and G.722 (LGPL: a DLL beside the program)
#   dist/orvanta-connect-win64.zip  the portable package
# Debian ships Dear ImGui's core, libpcap and the voice codecs (opus, libgsm, spandsp) for
# Windows only as source packages: they are fetched with `apt-get source` into
# build-windows/src and built here.
#   scripts/build-windows.sh [--no-package]
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=$ROOT/build-windows
SRC=$OUT/src
DEPS=$OUT/deps
PACKAGE=1
[ "${1:-}" = "--no-package" ] && PACKAGE=0

scripts/deps.sh windows

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

# apt-get source needs deb-src entries for the mirrors and suites the deb entries use.
ensure_deb_src() {
  if apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -q '^Sources$'; then
    return
  fi
  local list=/etc/apt/sources.list.d/orvanta-deb-src.sources
  echo "Adding deb-src entries ($list)" >&2
  {
    # deb822 files: repeat every stanza whose Types name deb, with Types deb-src.
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && [ "$f" != "$list" ] || continue
      awk 'BEGIN { RS = ""; ORS = "\n\n" }
           { n = split($0, lines, "\n"); deb = 0; out = ""
             for (i = 1; i <= n; i++) {
               if (lines[i] ~ /^Types:/) {
                 m = split(lines[i], t, /[ \t]+/)
                 for (j = 2; j <= m; j++) { if (t[j] == "deb") deb = 1; if (t[j] == "deb-src") deb = -1 }
                 lines[i] = "Types: deb-src"
               }
               out = out lines[i] "\n"
             }
             if (deb == 1) print out }' "$f"
    done
    # one-line sources.list entries
    if [ -f /etc/apt/sources.list ]; then
      awk '$1=="deb" { $1=""; sub(/^ /,""); n=split($0,a," "); printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:", a[1], a[2];
             for(i=3;i<=n;i++) printf " %s", a[i]; printf "\n\n" }' /etc/apt/sources.list | grep -v '^URIs: \[' || true
    fi
  } | $SUDO tee "$list" >/dev/null
  $SUDO apt-get update -q >&2
}

fetch_source() {  # package, folder glob
  local pkg=$1
  if ! compgen -G "$SRC/$pkg-[0-9]*/" >/dev/null; then
    ensure_deb_src
    mkdir -p "$SRC"
    # A mirror that lacks the Debian part of a package still serves its upstream tarball:
    # that one is unpacked instead (the Debian patches touch nothing built here).
    (cd "$SRC" && { apt-get source -q --download-only "$pkg" >&2 || true; } &&
     if ! dpkg-source -x "$pkg"_*.dsc >&2; then
       local orig version
       orig=$(compgen -G "${pkg}_*.orig.tar.*" | head -n1)
       version=${orig#${pkg}_}; version=${version%.orig.tar.*}
       mkdir -p "$pkg-$version" && tar xf "$orig" -C "$pkg-$version" --strip-components=1
     fi)
  fi
  compgen -G "$SRC/$pkg-[0-9]*/" | head -n1 | sed 's:/$::'
}

IMGUI_SRC=$(fetch_source imgui)
PCAP_SRC=$(fetch_source libpcap)
OPUS_SRC=$(fetch_source opus)
GSM_SRC=$(fetch_source libgsm)
SPANDSP_SRC=$(fetch_source spandsp)
TOOLCHAIN=$ROOT/cmake/mingw-w64.cmake
MINGW_CC=x86_64-w64-mingw32-gcc-posix
mkdir -p "$DEPS"

# libopus (BSD), static, through its configure script (1.3.1's CMake files are incomplete).
if [ ! -f "$DEPS/opus/lib/libopus.a" ]; then
  echo "Building libopus for Windows" >&2
  rm -rf "$OUT/opus-build" && mkdir -p "$OUT/opus-build"
  (cd "$OUT/opus-build" && PKG_CONFIG_LIBDIR=$DEPS/empty-pkgconfig CC=$MINGW_CC "$OPUS_SRC/configure" \
     --host=x86_64-w64-mingw32 --prefix="$DEPS/opus" --disable-shared --enable-static --disable-doc \
     --disable-extra-programs --disable-stack-protector >/dev/null &&
   # configure adds -D_FORTIFY_SOURCE=2, whose checked memcpy MinGW has only in libssp.
   sed -i 's/-D_FORTIFY_SOURCE=2//' Makefile && make -j2 >/dev/null && make install >/dev/null)
fi

# libgsm (permissive), static: the library's sources as its Makefile lists them, without the
# toast program.
if [ ! -f "$DEPS/gsm/lib/libgsm.a" ]; then
  echo "Building libgsm for Windows" >&2
  rm -rf "$OUT/gsm-build" && mkdir -p "$OUT/gsm-build" "$DEPS/gsm/lib" "$DEPS/gsm/include"
  for f in add code debug decode long_term lpc preprocess rpe gsm_destroy gsm_decode gsm_encode gsm_explode \
           gsm_implode gsm_create gsm_print gsm_option short_term table; do
    $MINGW_CC -O2 -DNeedFunctionPrototypes=1 -DSASR -DWAV49 -I"$GSM_SRC/inc" -c "$GSM_SRC/src/$f.c" \
      -o "$OUT/gsm-build/$f.o"
  done
  x86_64-w64-mingw32-ar rcs "$DEPS/gsm/lib/libgsm.a" "$OUT"/gsm-build/*.o
  cp "$GSM_SRC/inc/gsm.h" "$DEPS/gsm/include/"
fi

# spandsp (LGPL 2.1) as a DLL beside the program: the G.711 and G.722 sources, G.711's
# packet loss concealment and what they use. Its configure needs libtiff for the fax parts,
# which this program does not use; the codecs need only the few facts of config.h below.
# A DLL built from another list of parts (an older build tree) is built again.
SPANDSP_PARTS="g711 g722 plc vector_int"
if [ ! -f "$DEPS/spandsp/bin/libspandsp-2.dll" ] || [ "$(cat "$DEPS/spandsp/parts" 2>/dev/null)" != "$SPANDSP_PARTS" ]; then
  echo "Building spandsp (G.711, G.722, concealment) for Windows" >&2
  rm -rf "$OUT/spandsp-build" && mkdir -p "$OUT/spandsp-build" "$DEPS/spandsp/bin" "$DEPS/spandsp/lib" \
    "$DEPS/spandsp/include"
  {
    for h in STDINT_H INTTYPES_H STDLIB_H STRING_H MATH_H LRINT LRINTF SINF COSF TANF ASINF ACOSF ATANF \
             ATAN2F CEILF FLOORF POWF EXPF LOGF LOG10F; do
      echo "#define HAVE_$h 1"
    done
  } >"$OUT/spandsp-build/config.h"
  parts=()
  for p in $SPANDSP_PARTS; do parts+=("$SPANDSP_SRC/src/$p.c"); done
  $MINGW_CC -O2 -shared -DHAVE_CONFIG_H -DLIBSPANDSP_EXPORTS -I"$OUT/spandsp-build" -I"$SPANDSP_SRC/src" \
    "${parts[@]}" \
    -o "$DEPS/spandsp/bin/libspandsp-2.dll" -Wl,--out-implib,"$DEPS/spandsp/lib/libspandsp.dll.a" -static-libgcc
  cp -r "$SPANDSP_SRC/src/spandsp" "$DEPS/spandsp/include/"
  echo "$SPANDSP_PARTS" >"$DEPS/spandsp/parts"
fi

# libpcap with the null capture type: reads and writes savefiles, opens no device. Named
# wpcap.dll so that it stands in for the capture driver's library under Wine.
if [ ! -f "$DEPS/pcap/bin/wpcap.dll" ]; then
  echo "Building libpcap for Windows" >&2
  mkdir -p "$DEPS/empty-pkgconfig"
  PKG_CONFIG_LIBDIR=$DEPS/empty-pkgconfig cmake -S "$PCAP_SRC" -B "$OUT/libpcap-build" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$DEPS/pcap" -DPCAP_TYPE=null -DLIBRARY_NAME=wpcap \
    -DENABLE_REMOTE=OFF -DDISABLE_DBUS=ON -DDISABLE_RDMA=ON -DDISABLE_DPDK=ON \
    -DDISABLE_BLUETOOTH=ON -DDISABLE_NETMAP=ON -DDISABLE_SNF=ON -DDISABLE_TC=ON \
    -DBUILD_WITH_LIBNL=OFF -DUSE_STATIC_RT=ON \
    -DCMAKE_SHARED_LINKER_FLAGS="-static-libgcc" >/dev/null
  cmake --build "$OUT/libpcap-build" -j2 --target wpcap >&2
  mkdir -p "$DEPS/pcap/bin" "$DEPS/pcap/include"
  cp -r "$PCAP_SRC/pcap" "$DEPS/pcap/include/"
  cp "$PCAP_SRC/pcap.h" "$DEPS/pcap/include/"
  cp "$OUT/libpcap-build/run/wpcap.dll" "$DEPS/pcap/bin/"
fi

# GoogleTest from Debian's source copy, built with the same cross compilers.
if [ ! -f "$DEPS/gtest/lib/libgtest.a" ]; then
  echo "Building GoogleTest for Windows" >&2
  cmake -S /usr/src/googletest -B "$OUT/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$DEPS/gtest" -Dgtest_disable_pthreads=OFF >/dev/null
  cmake --build "$OUT/gtest-build" -j2 >&2
  cmake --install "$OUT/gtest-build" >/dev/null
fi

# nlohmann-json is header-only and the same for both systems: the Debian package's headers.
if [ ! -f "$DEPS/json/include/nlohmann/json.hpp" ] || [ /usr/include/nlohmann/json.hpp -nt "$DEPS/json/include/nlohmann/json.hpp" ]; then
  rm -rf "$DEPS/json" && mkdir -p "$DEPS/json/include"
  cp -r /usr/include/nlohmann "$DEPS/json/include/"
fi

# The program icon, drawn by the same code as the Linux window and tray icon.
if [ ! -f "$DEPS/orvanta.ico" ] || [ src/platform/gui/AppIcon.cpp -nt "$DEPS/orvanta.ico" ]; then
  g++ -std=c++20 -O1 -Isrc scripts/make-icon.cpp src/platform/gui/AppIcon.cpp -o "$DEPS/make-icon"
  "$DEPS/make-icon" "$DEPS/orvanta.ico"
fi

cmake -S . -B "$OUT" -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
  -DOC_IMGUI_SOURCE_DIR="$IMGUI_SRC" -DOC_WINDOWS_DEPS="$DEPS" -DOC_BUILD_BENCH=ON -DOC_BUILD_GUI=ON >/dev/null
cmake --build "$OUT" -j2
cp "$DEPS/pcap/bin/wpcap.dll" "$DEPS/spandsp/bin/libspandsp-2.dll" "$OUT/bin/"

if [ "$PACKAGE" = 1 ]; then
  STAGE=$OUT/package/orvanta-connect-win64
  rm -rf "$OUT/package" && mkdir -p "$STAGE/licencas"
  cp "$OUT/bin/orvanta-connect.exe" "$OUT/bin/orvanta-cli.exe" "$OUT/bin/libspandsp-2.dll" "$STAGE/"
  x86_64-w64-mingw32-strip "$STAGE"/*.exe "$STAGE"/*.dll
  cp "$ROOT/packaging/windows/LEIAME.txt" "$STAGE/"
  cp "$IMGUI_SRC/LICENSE.txt" "$STAGE/licencas/dear-imgui.txt"
  cp "$PCAP_SRC/LICENSE" "$STAGE/licencas/libpcap.txt"
  cp "$OPUS_SRC/COPYING" "$STAGE/licencas/opus.txt"
  cp "$GSM_SRC/COPYRIGHT" "$STAGE/licencas/libgsm.txt"
  cp "$SPANDSP_SRC/COPYING" "$STAGE/licencas/spandsp.txt"
  cp /usr/share/doc/nlohmann-json3-dev/copyright "$STAGE/licencas/nlohmann-json.txt"
  cp /usr/share/doc/mingw-w64-common/copyright "$STAGE/licencas/mingw-w64.txt"
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$STAGE/licencas/gcc-runtime.txt" 2>/dev/null \
    || cp /usr/share/doc/gcc-mingw-w64-x86-64/copyright "$STAGE/licencas/gcc-runtime.txt"
  mkdir -p "$ROOT/dist"
  rm -f "$ROOT/dist/orvanta-connect-win64.zip"
  (cd "$OUT/package" && zip -q -r -X "$ROOT/dist/orvanta-connect-win64.zip" orvanta-connect-win64)
  echo "Package: dist/orvanta-connect-win64.zip ($(stat -c %s "$ROOT/dist/orvanta-connect-win64.zip") bytes)" >&2
fi
