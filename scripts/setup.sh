#!/bin/bash
# Installs what building, testing and the demo need on Debian 12, if missing.
set -euo pipefail
packages=(cmake make python3 g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang lld llvm wine wine64 xvfb xauth googletest fonts-ipafont-gothic x11-apps imagemagick unzip)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
