#!/usr/bin/env bash
# Pages per second of `folioforge make` from the bench pages as a folder, as a CBZ (ZIP,
# members stored or deflated) and as a .tar.gz, alternating runs, and whether the books are
# all the same.
#
#   bench/archive_compare.sh [FOLIOFORGE] [RUNS] [JOBS]
#     (defaults: build/cli/folioforge, 5 runs, default jobs)
#
# The pages are made by folio_make_pages beside the binary (build/bench) into a scratch
# folder; the archives are written with Python's zipfile and tar.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ff=${1:-$root/build/cli/folioforge}
runs=${2:-5}
jobs=${3:-}
make_pages=$(dirname "$(dirname "$ff")")/bench/folio_make_pages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$make_pages" "$work/pages" >/dev/null
rm -f "$work/pages/pages.txt"
# Comic tools write CBZs both ways: members stored (JPEGs hardly shrink) or deflated.
(cd "$work/pages" && python3 -m zipfile -c "$work/deflated.cbz" ./* >/dev/null &&
    python3 -c 'import sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_STORED) as z:
    for f in sys.argv[2:]: z.write(f)' "$work/stored.cbz" ./* &&
    tar czf "$work/pages.tar.gz" ./*)
n=$(ls "$work/pages" | wc -l)
args=(make -q --overwrite)
[[ -n $jobs ]] && args+=(--jobs "$jobs")

run() { # source output -> "wall cpu" seconds
    /usr/bin/time -f '%e %U %S' -o "$work/time" "$ff" "${args[@]}" -o "$2" "$1"
    awk '{printf "%.2f %.2f\n", $1, $2 + $3}' "$work/time"
}

sources=(pages stored.cbz deflated.cbz pages.tar.gz)
declare -A wall cpu
for src in "${sources[@]}"; do run "$work/$src" "$work/warm" >/dev/null; done
for ((i = 0; i < runs; i++)); do
    for src in "${sources[@]}"; do
        read -r w c < <(run "$work/$src" "$work/$src.QFB")
        wall[$src]+="$w " cpu[$src]+="$c "
    done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
fw=$(echo "${wall[pages]}" | median) fc=$(echo "${cpu[pages]}" | median)
printf '%-13s %7s %8s %8s %7s %8s  %s\n' source "wall s" pages/s "x folder" "CPU s" "x folder" \
    "wall s of every run"
for src in "${sources[@]}"; do
    w=$(echo "${wall[$src]}" | median) c=$(echo "${cpu[$src]}" | median)
    awk -v s="$src" -v n="$n" -v w="$w" -v c="$c" -v fw="$fw" -v fc="$fc" -v all="${wall[$src]}" \
        'BEGIN {printf "%-13s %7.2f %8.1f %8.2f %7.2f %8.2f  %s\n", s, w, n / w, fw / w, c, fc / c, all}'
done
for src in stored.cbz deflated.cbz pages.tar.gz; do
    if cmp -s "$work/pages.QFB" "$work/$src.QFB"; then echo "$src: book byte-identical to the folder's"
    else echo "$src: book DIFFERS from the folder's"; fi
done
