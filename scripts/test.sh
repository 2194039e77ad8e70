#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine if needed, builds everything and runs all tests.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build -DKANALO_BUILD_BENCH=ON
cd build && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 300
