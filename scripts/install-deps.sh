#!/usr/bin/env bash
# Installs, from Debian's own packages, what building, running and testing need.
# Usage: scripts/install-deps.sh [run|test|test-native]   (default: test, which is
# a superset; test-native leaves out the Windows cross-build and Wine)
set -euo pipefail

what=${1:-test}

run_packages=(
  cmake g++ make pkg-config
  libwxgtk3.2-dev libgtk-3-dev libatk1.0-dev
  libcurl4-openssl-dev ca-certificates
  picojson-dev
  libspeechd-dev speech-dispatcher speech-dispatcher-espeak-ng
  libx11-dev libxfixes-dev
  libwayland-dev libwayland-bin
)
test_packages=(
  googletest libgtest-dev
  clang libclang-rt-dev
  xvfb xauth xdotool xclip x11-utils xfce4-settings
  sway kwin-wayland mutter xwayland wl-clipboard wtype clipman gir1.2-gtk-3.0
  dbus at-spi2-core python3 python3-gi python3-pyatspi gir1.2-atspi-2.0
  openssl util-linux iproute2 procps
  dpkg-dev file lintian desktop-file-utils appstream
  debootstrap
)
windows_packages=(
  g++-mingw-w64-x86-64 wine wine64
  nsis icoutils librsvg2-bin
)

packages=("${run_packages[@]}")
case $what in
  test) packages+=("${test_packages[@]}" "${windows_packages[@]}") ;;
  test-native) packages+=("${test_packages[@]}") ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
