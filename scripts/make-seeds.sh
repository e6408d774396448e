#!/usr/bin/env bash
# Regenerates the committed seed corpus of the fuzz targets (fuzz/corpus/) with our generator.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-tests -G Ninja >/dev/null
cmake --build build-tests --target make_seeds
# Only the targets the generator writes are replaced: the archive and kept seeds are not
# generated and stay as committed.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
build-tests/fuzz/make_seeds "$scratch"
for dir in "$scratch"/*/; do
  name=$(basename "$dir")
  rm -rf "fuzz/corpus/$name"
  mv "$dir" "fuzz/corpus/$name"
done
