#!/usr/bin/env bash
# Regenerates the committed seed corpus of the fuzz targets (fuzz/corpus/) with our generator.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target make_seeds
rm -rf fuzz/corpus
build/fuzz/make_seeds fuzz/corpus
