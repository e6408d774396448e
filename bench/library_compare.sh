#!/usr/bin/env bash
# Whole libraries and volumes, timed against what a user would otherwise run:
#  1. `convert` of 18 deflated CBZs (each the bench pages) against one `make` of the same 18
#     CBZs into one book: pages per second of each, and whether every converted book is
#     byte-identical to `make --title STEM` of its CBZ;
#  2. `make` of a 2350-page folder, cut into three volumes, against three `make`s of the same
#     pages by hand (the volumes' own page ranges), and whether the bytes agree.
# Alternating runs, medians of wall seconds.
#
#   bench/library_compare.sh [FOLIOFORGE] [RUNS] [JOBS]
#     (defaults: build/cli/folioforge, 5 runs, default jobs)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ff=$(realpath "${1:-$root/build/cli/folioforge}")
runs=${2:-5}
jobs=${3:-}
make_pages=$(dirname "$(dirname "$ff")")/bench/folio_make_pages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$make_pages" pages >/dev/null
rm -f pages/pages.txt
n=$(ls pages | wc -l)
mkdir lib
for i in $(seq -w 1 18); do
    (cd pages && python3 -m zipfile -c "$work/lib/vol$i.cbz" ./* >/dev/null)
done
# 2350 pages: the bench pages again and again, as links in one folder.
mkdir big
pics=(pages/*)
for i in $(seq 0 2349); do
    p=${pics[$((i % n))]}
    ln -s "$work/$p" "big/$(printf 'p%04d' "$i").${p##*.}"
done

extra=(-q --overwrite)
[[ -n $jobs ]] && extra+=(--jobs "$jobs")
timed() { # command... -> "wall cpu" seconds
    /usr/bin/time -f '%e %U %S' -o time "$ff" "$@" "${extra[@]}" >/dev/null
    awk '{print $1, $2 + $3}' time
}
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# Volume page ranges, from the volumes' own page counts.
"$ff" make -o vols big "${extra[@]}"
ranges=()
first=0
for v in vols-1.QFB vols-2.QFB vols-3.QFB; do
    count=$("$ff" inspect "$v" | awk '/^pages:/ {print $2}')
    ranges+=("$first $count")
    first=$((first + count))
done
byhand() { # -> "wall cpu" seconds of the three makes
    local k=0 wall=0 cpu=0 w c
    for r in "${ranges[@]}"; do
        k=$((k + 1))
        read -r from count <<<"$r"
        read -r w c < <(timed make -o "hand-$k" --title "big ($k/3)" \
            $(ls big/* | tail -n +$((from + 1)) | head -n "$count"))
        wall=$(awk -v a="$wall" -v b="$w" 'BEGIN {print a + b}')
        cpu=$(awk -v a="$cpu" -v b="$c" 'BEGIN {print a + b}')
    done
    echo "$wall $cpu"
}

convert_w="" make_w="" vol_w="" hand_w="" convert_c="" make_c="" vol_c="" hand_c=""
for ((i = 0; i < runs; i++)); do
    read -r w c < <(timed convert -d conv lib/*.cbz)
    convert_w+="$w " convert_c+="$c "
    read -r w c < <(timed make -o one lib/*.cbz)
    make_w+="$w " make_c+="$c "
    read -r w c < <(timed make -o vols --title big big)
    vol_w+="$w " vol_c+="$c "
    read -r w c < <(byhand)
    hand_w+="$w " hand_c+="$c "
done
pages=$((18 * n))
cw=$(echo "$convert_w" | median) mw=$(echo "$make_w" | median)
vw=$(echo "$vol_w" | median) hw=$(echo "$hand_w" | median)
awk -v p="$pages" -v c="$cw" -v m="$mw" 'BEGIN {
    printf "convert of 18 CBZs: %.2f s, %.1f pages/s; one make of them: %.2f s, %.1f pages/s; ratio %.3f\n",
        c, p / c, m, p / m, m / c }'
awk -v v="$vw" -v h="$hw" 'BEGIN {
    printf "2350 pages as 3 volumes: %.2f s; 3 makes by hand: %.2f s; cost of the split %+.1f%%\n",
        v, h, (v / h - 1) * 100 }'
awk -v c="$(echo "$convert_c" | median)" -v m="$(echo "$make_c" | median)" \
    -v v="$(echo "$vol_c" | median)" -v h="$(echo "$hand_c" | median)" 'BEGIN {
    printf "CPU seconds: convert %.2f, make %.2f (ratio %.3f); volumes %.2f, by hand %.2f (%+.1f%%)\n",
        c, m, m / c, v, h, (v / h - 1) * 100 }'
echo "wall s of each run: convert $convert_w/ make $make_w/ volumes $vol_w/ by hand $hand_w"

same=0
for f in lib/*.cbz; do
    stem=$(basename "$f" .cbz)
    "$ff" make -q -o "check-$stem" --title "$stem" "$f"
    cmp -s "check-$stem.QFB" "conv/$stem.QFB" && same=$((same + 1))
done
echo "converted books byte-identical to make --title STEM of their CBZ: $same of 18"
vsame=0
for k in 1 2 3; do cmp -s "vols-$k.QFB" "hand-$k.QFB" && vsame=$((vsame + 1)); done
echo "volumes byte-identical to the books made by hand: $vsame of 3"
