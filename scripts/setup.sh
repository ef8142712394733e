#!/bin/bash
# Installs what building, testing and the demo need on Debian 12, if missing.
# 32-bit Wine (wine32:i386) only where the machine executes 32-bit code: on a
# machine that cannot, it would break Wine's launcher for 64-bit programs too.
# The HTTP tests drive tsserve with players and tools nobody here wrote: mpv,
# GStreamer (gst-discoverer-1.0) and SiliconDust's hdhomerun_config and its
# library, libhdhomerun4, which the tests load themselves (hdhomerun_config
# carries its own copy and does not bring it); the served guide is checked by
# the XMLTV project's validator, tv_validate_file (xmltv-util).
# tsserve's ARIB text decoder (libaribb24) and its HTTP server (GNU
# libmicrohttpd) come from Debian's source packages: Debian ships them only as
# Linux libraries, so their source comes from `apt-get source` into .deps/,
# where the build looks for it and compiles it for each target.
# clang's runtimes (libclang-rt-14-dev) and Debian's built GoogleTest
# (libgtest-dev) serve the native sanitizer and fuzzer runs of the
# stream-table library (tests/native).
# The recorders' API is tested with the client library front-ends use (npm
# `mirakurun`, the version EPGStation pins), run by Debian's Node (nodejs,
# npm) and installed into .deps/ without its install scripts, as is the TS
# parser front-ends count drops with (npm `aribts`).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake make python3 binutils g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang lld llvm wine wine64 xvfb xauth googletest fonts-ipafont-gothic fonts-wine x11-apps
          imagemagick unzip curl ffmpeg fonts-dejavu-core mpv vlc-bin vlc-plugin-base hdhomerun-config libhdhomerun4
          gstreamer1.0-plugins-base-apps
          gstreamer1.0-plugins-good gstreamer1.0-plugins-bad dpkg-dev libclang-rt-14-dev libgtest-dev libaribb24-dev
          xmltv-util)
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
# Tried again only where a wait mends it (scripts/apt-update.sh).
apt_update() {
  "$root/scripts/apt-update.sh"
}
apt_install() {
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
# A Node the machine has already (from elsewhere than Debian) is kept.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
# binutils comes first: the 32-bit probe needs it.
if ! command -v as >/dev/null || ! command -v ld >/dev/null; then
  apt_update
  apt_install binutils
fi

want32=0
if "$root/scripts/probe32.sh" && ! installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: this machine runs 32-bit code; adding the i386 architecture for 32-bit Wine"
    $sudo_cmd dpkg --add-architecture i386
  fi
  want32=1
fi
if [ ${#missing[@]} -gt 0 ] || [ "$want32" = 1 ]; then
  list=("${missing[@]}")
  [ "$want32" = 1 ] && list+=(wine32:i386)
  echo "setup: installing ${list[*]}"
  apt_update
  [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
  # 32-bit Wine on its own: where the i386 indexes could not be had, the
  # 64-bit tools are still installed and the i686 tests are skipped (test.sh says so).
  if [ "$want32" = 1 ] && ! apt_install wine32:i386; then
    echo "setup: 32-bit Wine (wine32:i386) could not be installed; the i686 build will be built but not run" >&2
  fi
fi

# Source packages come from the machine's deb-src entries; where it has none,
# they are taken from its own binary sources (the same mirror, proxy or
# snapshot, suites and keys).
deb_src_ready=0
ensure_deb_src() {
  [ "$deb_src_ready" = 1 ] && return
  if ! grep -rqsE '^(deb-src|Types: *deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    derived=$(python3 "$root/scripts/debsrc.py")
    if [ -z "$derived" ]; then
      echo "setup: APT has no binary package source to take source-package entries from" >&2
      exit 1
    fi
    echo "setup: adding source-package entries for APT's configured sources"
    printf '%s\n' "$derived" | $sudo_cmd tee /etc/apt/sources.list.d/tunerhost-deb-src.sources >/dev/null
  fi
  # A source of the machine's that serves no source packages only warns here;
  # whether each source came is checked where it is fetched.
  apt_update
  deb_src_ready=1
}

# A Debian source package unpacked in a new folder, $work:
# fetch_source PACKAGE FILE-IT-MUST-HOLD... Where the Debian revision's own
# small tarball cannot be had, apt has still fetched and checked the upstream
# tarball that Debian ships, and that is unpacked. Set-up ends if it fails.
fetch_source() {
  local package=$1
  shift
  ensure_deb_src >&2
  work=$(mktemp -d)
  chmod 755 "$work"
  (cd "$work" && apt-get source -qq "$package") >"$work/log" 2>&1 || true
  if ! ls -d "$work/$package"-*/ >/dev/null 2>&1 && ls "$work/${package}"_*.orig.tar.* >/dev/null 2>&1; then
    (cd "$work" && tar xf "${package}"_*.orig.tar.*) >>"$work/log" 2>&1 || true
  fi
  local src file
  src=$(ls -d "$work/$package"-*/ 2>/dev/null | head -n 1)
  for file in "$@"; do
    if [ -z "$src" ] || [ ! -f "$src/$file" ]; then
      cat "$work/log" >&2
      echo "setup: could not get the source of $package" >&2
      rm -rf "$work"
      exit 1
    fi
  done
}

# libaribb24's source (ARIB STD-B24 text to UTF-8), once per work tree.
aribb24="$root/.deps/aribb24"
if [ ! -f "$aribb24/src/decoder.c" ]; then
  echo "setup: fetching libaribb24's source into $aribb24"
  fetch_source aribb24 src/decoder.c COPYING
  src=$(ls -d "$work"/aribb24-*/ | head -n 1)
  mkdir -p "$aribb24"
  cp -r "$src/src" "$src/COPYING" "$src/README.md" "$aribb24/"
  sed -n 's/^Version: //p' "$work"/aribb24_*.dsc | head -n 1 > "$aribb24/VERSION"
  rm -rf "$work"
fi

# GNU libmicrohttpd's source (tsserve's HTTP server), once per work tree: the
# whole unpacked source package, which the build configures and compiles for
# each target (cmake/Microhttpd.cmake).
microhttpd="$root/.deps/libmicrohttpd"
if [ ! -f "$microhttpd/src/microhttpd/daemon.c" ]; then
  echo "setup: fetching libmicrohttpd's source into $microhttpd"
  fetch_source libmicrohttpd configure src/microhttpd/daemon.c COPYING
  src=$(ls -d "$work"/libmicrohttpd-*/ | head -n 1)
  rm -rf "$microhttpd"
  mkdir -p "$(dirname "$microhttpd")"
  cp -a "$src" "$microhttpd"
  sed -n 's/^Version: //p' "$work"/libmicrohttpd_*.dsc | head -n 1 > "$microhttpd/VERSION"
  rm -rf "$work"
fi

# nlohmann's JSON for C++ (tsserve's saved scan and guide, and its JSON
# documents), from Debian's source package `nlohmann-json3`: its single
# header is all the build needs, once per work tree.
nlohmann="$root/.deps/nlohmann-json"
if [ ! -f "$nlohmann/nlohmann/json.hpp" ]; then
  echo "setup: fetching nlohmann's JSON header into $nlohmann"
  fetch_source nlohmann-json3 single_include/nlohmann/json.hpp LICENSE.MIT
  src=$(ls -d "$work"/nlohmann-json3-*/ | head -n 1)
  mkdir -p "$nlohmann/nlohmann"
  cp "$src/single_include/nlohmann/json.hpp" "$nlohmann/nlohmann/"
  cp "$src/LICENSE.MIT" "$src/README.md" "$nlohmann/"
  sed -n 's/^Version: //p' "$work"/nlohmann-json3_*.dsc | head -n 1 > "$nlohmann/VERSION"
  rm -rf "$work"
fi

# The recorders' client library, once per work tree; the tests load its
# lib/client.js only.
mirakurun="$root/.deps/mirakurun-client"
if [ ! -f "$mirakurun/node_modules/mirakurun/lib/client.js" ]; then
  echo "setup: installing the mirakurun client library into $mirakurun"
  mkdir -p "$mirakurun"
  npm install --prefix "$mirakurun" --ignore-scripts --no-audit --no-fund --save-exact mirakurun@3.9.0-rc.4 >/dev/null
fi

# The TS parser front-ends use (npm `aribts`): the tests count a recording's
# drops with it and compare tsserve's logos with what its own logo extraction
# makes of the same broadcast; once per work tree.
aribts="$root/.deps/aribts"
if [ ! -f "$aribts/node_modules/aribts/sample/get_logo.js" ]; then
  echo "setup: installing the aribts TS parser into $aribts"
  mkdir -p "$aribts"
  npm install --prefix "$aribts" --ignore-scripts --no-audit --no-fund --save-exact aribts@2.1.12 >/dev/null
fi
