#!/bin/bash
# Installs what building, testing and the demo need on Debian 12, if missing.
# 32-bit Wine (wine32:i386) only where the machine executes 32-bit code: on a
# machine that cannot, it would break Wine's launcher for 64-bit programs too.
# The HTTP tests drive tsserve with players and tools nobody here wrote: mpv,
# GStreamer (gst-discoverer-1.0) and SiliconDust's hdhomerun_config with its
# library, libhdhomerun.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake make python3 binutils g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang lld llvm wine wine64 xvfb xauth googletest fonts-ipafont-gothic fonts-wine x11-apps
          imagemagick unzip curl ffmpeg fonts-dejavu-core mpv hdhomerun-config gstreamer1.0-plugins-base-apps
          gstreamer1.0-plugins-good gstreamer1.0-plugins-bad)
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
# binutils comes first: the 32-bit probe needs it.
if ! command -v as >/dev/null || ! command -v ld >/dev/null; then
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends binutils >/dev/null
fi

if "$root/scripts/probe32.sh" && ! installed wine32:i386; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: this machine runs 32-bit code; adding the i386 architecture for 32-bit Wine"
    $sudo_cmd dpkg --add-architecture i386
  fi
  missing+=(wine32:i386)
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
