#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian 12 machine.
# Safe to run again: installed packages and an existing Wine prefix are kept.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  clang libclang-rt-14-dev clang-format
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
  wine wine64
  xvfb xauth xdotool xclip x11-utils imagemagick fonts-dejavu-core
  libboost1.81-dev libssl-dev openssl nlohmann-json3-dev
  libgtest-dev googletest libbenchmark-dev
  libjpeg-turbo-progs libjpeg62-turbo-dev curl bc
  tesseract-ocr tesseract-ocr-tur
  ccache dpkg-dev adduser systemd strace iproute2 ca-certificates gpg python3
  libhiredis-dev redis-server haproxy
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The Wine prefix lives outside the source tree. (GoogleTest for MinGW is built from
# /usr/src/googletest by the windows preset itself, so it always matches the toolchain.)
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/wine-prefix.sh"
echo "setup: done"
