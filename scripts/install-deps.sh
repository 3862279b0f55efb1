#!/usr/bin/env bash
# Installs every Debian package that building and testing Flashmere needs.
# Idempotent: returns at once when everything is present.
#   scripts/install-deps.sh           what the Linux presets need
#   scripts/install-deps.sh windows   the Windows cross compiler, Wine and
#                                     the installer tools for the windows-*
#                                     presets
set -euo pipefail

linux_packages=(
  cmake g++ ninja-build pkg-config
  qt6-base-dev qt6-serialport-dev qt6-multimedia-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
  xvfb xauth fonts-wqy-microhei socat
  clang libclang-rt-14-dev clang-format
  desktop-file-utils valgrind dpkg-dev file python3
)
windows_packages=(g++-mingw-w64-x86-64-posix wine64 libgtest-dev libcli11-dev qt6-base-dev-tools
                  nsis unzip python3-markdown xvfb xauth xdotool imagemagick)

case "${1:-linux}" in
  linux) packages=("${linux_packages[@]}") ;;
  windows) packages=("${windows_packages[@]}") ;;
  *) echo "usage: $0 [linux|windows]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
