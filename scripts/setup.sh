#!/bin/bash
# Installs what building, testing and the demo need on Debian 12, if missing.
# 32-bit Wine (wine32:i386) only where the machine executes 32-bit code: on a
# machine that cannot, it would break Wine's launcher for 64-bit programs too.
# tsserve's HTTP library is cpp-httplib from Debian's source package: Debian
# ships its implementation only as a Linux library, so the full header comes
# from `apt-get source` into .deps/, where the build looks for it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
packages=(cmake make python3 binutils g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 clang lld llvm wine wine64 xvfb xauth googletest fonts-ipafont-gothic fonts-wine x11-apps
          imagemagick unzip curl ffmpeg fonts-dejavu-core dpkg-dev libgtest-dev libaribb24-dev)
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

# cpp-httplib's source, once per work tree, as Debian patched it.
httplib="$root/.deps/cpp-httplib"
if [ ! -f "$httplib/httplib.h" ]; then
  if ! grep -rqsE '^(deb-src|Types: *deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm bookworm-updates' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' '' \
      'Types: deb-src' 'URIs: http://deb.debian.org/debian-security' 'Suites: bookworm-security' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
      $sudo_cmd tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  fi
  echo "setup: fetching cpp-httplib's source into $httplib"
  $sudo_cmd apt-get update -qq
  work=$(mktemp -d)
  chmod 755 "$work"
  if ! (cd "$work" && apt-get source -qq cpp-httplib) >"$work/log" 2>&1 || ! ls "$work"/cpp-httplib-*/httplib.h >/dev/null 2>&1; then
    cat "$work/log" >&2
    echo "setup: could not get cpp-httplib's source" >&2
    rm -rf "$work"
    exit 1
  fi
  mkdir -p "$httplib"
  cp "$work"/cpp-httplib-*/httplib.h "$work"/cpp-httplib-*/LICENSE "$httplib/"
  sed -n '1,/^ --/p' "$work"/cpp-httplib-*/debian/changelog | head -n 1 > "$httplib/VERSION"
  rm -rf "$work"
fi
