#!/usr/bin/env bash
# Set up, build, and run folioforge with the given arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"
exec build/cli/folioforge "$@"
