#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds the station and starts it.
# Extra arguments go to the station (e.g. -platform offscreen).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DKANALO_BUILD_TESTS=OFF
exec build/app/kanalo "$@"
