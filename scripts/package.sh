#!/usr/bin/env bash
# Builds the Debian package of the station into build/ (kanalo_VERSION_ARCH.deb).
# Install it with: sudo apt install ./build/kanalo_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DKANALO_BUILD_TESTS=OFF >/dev/null
cmake --build build-pkg -j"$(nproc)"
(cd build-pkg && cpack -G DEB >/dev/null)
mkdir -p build
deb=$(ls -t build-pkg/kanalo_*.deb | head -n 1)
cp "$deb" build/
echo "build/$(basename "$deb")"
