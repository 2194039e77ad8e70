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
  qt6-websockets-dev libssl-dev libopus-dev chromium chromium-driver python3 nodejs
  libmosquitto-dev mosquitto mosquitto-clients libshout3-dev libogg-dev icecast2 opus-tools
  socat sox libhamlib-dev libhamlib-utils python3-hamlib multimon-ng espeak-ng libfftw3-dev libkissfft-dev
  pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-bin wireplumber dbus-daemon
  locales libc-l10n
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The German locale: the system's error texts in German where the operator chose no language.
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
