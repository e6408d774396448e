#!/usr/bin/env bash
# Set up, build the program alone and run folioforge with the given arguments. Its build
# folder is its own (build/): the test command's settings (warnings as errors, sanitizers)
# never reach it, and it builds no tests, fuzzers, seeds or benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF -DFOLIO_WERROR=OFF \
  -DFOLIO_SANITIZE=OFF >/dev/null
cmake --build build -j"$(nproc)" --target folioforge
exec build/cli/folioforge "$@"
