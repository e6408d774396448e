#!/usr/bin/env bash
# Set up, build and run every test: the normal build (build-tests/, warnings as errors), then
# the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/).
# The main command's build/ is left alone, so either command works after the other.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build-tests -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIO_WERROR=ON >/dev/null
cmake --build build-tests -j"$jobs"
ctest --test-dir build-tests --output-on-failure -j"$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFOLIO_SANITIZE=ON -DFOLIO_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp ctest --test-dir build-asan --output-on-failure -j"$jobs"

# Every fuzz target for a few seconds over its seed corpus, under the sanitizers.
scripts/fuzz.sh 4
