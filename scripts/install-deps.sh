#!/usr/bin/env bash
# Installs the Debian 12 packages Kanalo needs to build, test and run. Safe to run again: it
# only calls apt when something is missing, and then updates the package lists once.
set -euo pipefail

PACKAGES=(
  cmake g++ make pkg-config clang clang-format
  qt6-base-dev libgl-dev
  libasound2-dev alsa-utils libjpeg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool imagemagick fonts-dejavu-core fonts-liberation qt6-translations-l10n
  dpkg-dev gzip lintian desktop-file-utils appstream
  qt6-websockets-dev libssl-dev libopus-dev chromium chromium-driver python3
  socat sox libhamlib-utils python3-hamlib multimon-ng espeak-ng libfftw3-dev libkissfft-dev
  pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-bin wireplumber dbus-daemon
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
