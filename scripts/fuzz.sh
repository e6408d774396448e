#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a bounded time over
# a scratch copy of its seed corpus. Usage: scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# A crash leaves its input in build-fuzz/findings/<target>/ and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-4}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(bmp ico tga pcx wbmp pnm pgx ras jpeg png gif tiff jpeg2000 webp heif jxl wmf emf loader probe page kept archive zip pdf djvu epub metadata)

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFOLIO_FUZZ=ON -DFOLIO_BUILD_TESTS=OFF -DFOLIO_BUILD_UI=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

status=0
for t in "${targets[@]}"; do
  work=build-fuzz/corpus/$t findings=build-fuzz/findings/$t
  mkdir -p "$work" "$findings"
  seeds=$t
  [ "$t" != probe ] || seeds=loader # the probe target reads the loader's inputs
  [ "$t" != zip ] || seeds=archive   # and the ZIP reader the archive target's
  cp -n fuzz/corpus/"$seeds"/* "$work"/ 2>/dev/null || true
  if ! ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
       LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
       build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2560 \
       -malloc_limit_mb=2560 -artifact_prefix="$findings"/ -print_final_stats=1 "$work" \
       >build-fuzz/fuzz_"$t".log 2>&1; then
    echo "fuzz_$t: FINDING (see build-fuzz/fuzz_$t.log and $findings)"
    status=1
  else
    echo "fuzz_$t: $(grep -E 'stat::number_of_executed_units' build-fuzz/fuzz_"$t".log | awk '{print $2}') runs, no finding"
  fi
done
exit $status
