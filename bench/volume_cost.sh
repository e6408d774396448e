#!/usr/bin/env bash
# What cutting a book into volumes costs over making the volumes by hand, measured in ways a
# busy machine moves little: a folder of PAGES pages (the bench pages again and again) made
# with --max-pages LIMIT into three volumes, against three makes of the volumes' own page
# ranges, in alternated pairs.
#  - cpu: CPU seconds (user + system, /usr/bin/time) of each side, PAIRS pairs;
#  - callgrind: instructions each side runs in user space (valgrind --tool=callgrind, the
#    three makes by hand summed), one pair.
# Checks that every volume is byte-identical to its book made by hand.
#
#   bench/volume_cost.sh [FOLIOFORGE] [cpu|callgrind] [PAIRS] [PAGES] [LIMIT]
#     (defaults: build/cli/folioforge, cpu, 8 pairs, 600 pages, 200 a volume)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ff=$(realpath "${1:-$root/build/cli/folioforge}")
mode=${2:-cpu}
pairs=${3:-8}
total=${4:-600}
limit=${5:-200}
make_pages=$(dirname "$(dirname "$ff")")/bench/folio_make_pages
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$make_pages" pages >/dev/null
rm -f pages/pages.txt
pics=(pages/*)
n=${#pics[@]}
mkdir big
for ((i = 0; i < total; i++)); do
    p=${pics[$((i % n))]}
    ln -s "$work/$p" "big/$(printf 'p%04d' "$i").${p##*.}"
done
cat big/* >/dev/null

extra=(-q --overwrite)
"$ff" make -o vols --title big --max-pages "$limit" big "${extra[@]}"
vols=(vols-*.QFB)
count=${#vols[@]}
ranges=()
first=0
for v in "${vols[@]}"; do
    c=$("$ff" inspect "$v" | awk '/^pages:/ {print $2}')
    ranges+=("$first $c")
    first=$((first + c))
done
mapfile -t all < <(ls big/*)

cpu() { # command... -> user + system seconds
    /usr/bin/time -f '%U %S' -o time "$@" >/dev/null
    awk '{printf "%.2f", $1 + $2}' time
}
instructions() { # command... -> instructions run in user space
    valgrind --tool=callgrind --callgrind-out-file=cg.out "$@" >/dev/null 2>cg.err
    awk '/^summary:/ {print $2}' cg.out
}
measure() { if [[ $mode == cpu ]]; then cpu "$@"; else instructions "$@"; fi; }
volumes() { measure "$ff" make -o vols --title big --max-pages "$limit" big "${extra[@]}"; }
byhand() {
    local k=0 sum=0 from c one
    for r in "${ranges[@]}"; do
        k=$((k + 1))
        read -r from c <<<"$r"
        one=$(measure "$ff" make -o "hand-$k" --title "big ($k/$count)" "${all[@]:from:c}" \
            "${extra[@]}")
        sum=$(awk -v a="$sum" -v b="$one" -v f="$fmt" 'BEGIN {printf f, a + b}')
    done
    echo "$sum"
}

fmt=%.2f
[[ $mode == callgrind ]] && pairs=1 fmt=%.0f
echo "$total pages, --max-pages $limit: $count volumes; $mode, $pairs pairs," \
    "load $(cut -d' ' -f1-3 /proc/loadavg)"
ratios=""
for ((i = 0; i < pairs; i++)); do
    a=$(volumes)
    b=$(byhand)
    ratio=$(awk -v a="$a" -v b="$b" 'BEGIN {printf "%.4f", a / b}')
    ratios+="$ratio "
    echo "pair $((i + 1)): volumes $a, by hand $b, ratio $ratio"
done
echo "ratios sorted: $(echo "$ratios" | tr ' ' '\n' | grep . | sort -n | tr '\n' ' ')"
echo "load at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
same=0
for ((k = 1; k <= count; k++)); do cmp -s "${vols[k - 1]}" "hand-$k.QFB" && same=$((same + 1)); done
echo "volumes byte-identical to the books made by hand: $same of $count"
