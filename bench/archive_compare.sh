#!/usr/bin/env bash
# Pages per second of `folioforge make` from the bench pages as a folder, as a CBZ (ZIP,
# deflated) and as a .tar.gz, alternating runs, and whether the three books are the same.
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
(cd "$work/pages" && python3 -m zipfile -c "$work/pages.cbz" ./* >/dev/null &&
    tar czf "$work/pages.tar.gz" ./*)
n=$(ls "$work/pages" | wc -l)
args=(make -q --overwrite)
[[ -n $jobs ]] && args+=(--jobs "$jobs")

run() { # source output -> wall seconds
    local t0 t1
    t0=$(date +%s.%N)
    "$ff" "${args[@]}" -o "$2" "$1"
    t1=$(date +%s.%N)
    awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}'
}

declare -A times
for src in pages pages.cbz pages.tar.gz; do run "$work/$src" "$work/warm" >/dev/null; done
for ((i = 0; i < runs; i++)); do
    for src in pages pages.cbz pages.tar.gz; do
        times[$src]+="$(run "$work/$src" "$work/$src.QFB") "
    done
done

median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
folder=$(echo "${times[pages]}" | median)
printf '%-14s %8s %8s %8s  %s\n' source "median s" pages/s "x folder" "all runs (s)"
for src in pages pages.cbz pages.tar.gz; do
    m=$(echo "${times[$src]}" | median)
    printf '%-14s %8.2f %8.1f %8.2f  %s\n' "$src" "$m" "$(awk -v n="$n" -v m="$m" 'BEGIN {print n / m}')" \
        "$(awk -v f="$folder" -v m="$m" 'BEGIN {print f / m}')" "${times[$src]}"
done
for src in pages.cbz pages.tar.gz; do
    if cmp -s "$work/pages.QFB" "$work/$src.QFB"; then echo "$src: book byte-identical to the folder's"
    else echo "$src: book DIFFERS from the folder's"; fi
done
