#!/usr/bin/env bash
# What joining a webtoon's slices into strips costs over making the same slices as pages:
#
#   bench/strips_compare.sh [FOLIOFORGE] [PAIRS]   (defaults: build/cli/folioforge, 3)
#
# Writes (once, into build-bench/strips/) an episode of 60 160 rows as 47 JPEG slices of
# 800 x 1280: panels of a fixed pseudo-random layout (some taller than a page, so that some
# cuts find no gutter), each a piece of a plasma texture in a black frame, between white
# gutters 40 to 160 rows high, cut across slices as a webtoon's are. Then PAIRS times in
# turn: `make --strips` against plain `make` of the same slices, and `make --split-spreads`
# (no slice is a spread) against plain `make`. Prints wall and CPU (user + sys) seconds of
# every run, the medians and the ratio of the medians, and the books' SHA-256 so that two
# builds can be checked to make the same books.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/cli/folioforge}
pairs=${2:-3}
im=/usr/bin/convert-im6.q16 # Debian's ImageMagick 6, never a site wrapper
dir=$root/build-bench/strips
slices=$dir/episode
out=$dir/out
[[ -x $bin ]] || { echo "no folioforge at $bin" >&2; exit 2; }

# --- the episode ------------------------------------------------------------------------
width=800 height=1280 count=47
if [[ ! -f $slices/.done ]]; then
    rm -rf "$slices"
    mkdir -p "$slices"
    # Two textures, from fixed seeds, to cut the panels' content from.
    "$im" -seed 4242 -size ${width}x1700 plasma:tomato-steelblue -blur 0x1 "$dir/tex0.png"
    "$im" -seed 1717 -size ${width}x1700 plasma:khaki-navy -blur 0x1 "$dir/tex1.png"
    # The layout: panels [top, bottom) in episode rows, from a fixed linear congruential
    # generator, so every run writes the same episode.
    state=12345
    rnd() { # rnd LO HI -> r in [LO, HI]
        state=$(((state * 1103515245 + 12345) % 2147483648))
        r=$(($1 + (state / 65536) % ($2 - $1 + 1)))
    }
    total=$((height * count))
    tops=() bottoms=()
    y=60
    while ((y < total)); do
        rnd 1 10
        if ((r <= 2)); then rnd 1150 1650; else rnd 280 1000; fi
        bottom=$((y + r))
        ((bottom > total - 20)) && bottom=$((total - 20))
        ((bottom > y + 20)) && { tops+=("$y"); bottoms+=("$bottom"); }
        rnd 40 160
        y=$((bottom + r))
    done
    for ((s = 0; s < count; s++)); do
        s0=$((s * height)) s1=$(((s + 1) * height))
        args=(-size "${width}x${height}" xc:white)
        for ((p = 0; p < ${#tops[@]}; p++)); do
            t=${tops[p]} b=${bottoms[p]}
            ((b <= s0 || t >= s1)) && continue
            a=$((t > s0 ? t : s0)) e=$((b < s1 ? b : s1))
            # The panel's rows of this slice, from its texture at the same offset.
            ty=$(((a - t + p * 37) % 1700))
            ((ty + e - a > 1700)) && ty=$((1700 - (e - a)))
            args+=("(" "$dir/tex$((p % 2)).png" -crop "740x$((e - a))+0+$ty" +repage ")"
                -geometry "+30+$((a - s0))" -composite)
            args+=(-fill none -stroke black -strokewidth 4
                -draw "rectangle 30,$((t - s0)) 770,$((b - 1 - s0))")
        done
        "$im" "${args[@]}" -quality 90 "$(printf '%s/%03d.jpg' "$slices" "$s")"
    done
    touch "$slices/.done"
fi

# --- timing -----------------------------------------------------------------------------
mkdir -p "$out"
declare -A wall cpu
# run NAME OPTIONS...: one make, its wall and CPU seconds appended to wall[NAME], cpu[NAME].
run() {
    local name=$1
    shift
    local t
    /usr/bin/time -o "$out/time" -f '%e %U %S' "$bin" make -q --overwrite \
        -o "$out/$name.QFB" "$@" "$slices" >/dev/null
    read -r e u s <"$out/time"
    wall[$name]+="$e "
    cpu[$name]+="$(echo "$u + $s" | bc) "
    printf '  %-8s wall %6.2f s  cpu %6.2f s\n' "$name" "$e" "$(echo "$u + $s" | bc)"
}
median() { tr ' ' '\n' | grep . | sort -g | awk '{v[NR] = $1} END {
    print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "$count slices of ${width}x$height, $pairs pairs each, $(nproc) cores, load: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((i = 1; i <= pairs; i++)); do
    echo "pair $i"
    run strips --strips
    run plain
    run spreads --split-spreads
    run plain2
done

report() { # report A B
    local wa wb ca cb
    wa=$(median <<<"${wall[$1]:-}") wb=$(median <<<"${wall[$2]:-}")
    ca=$(median <<<"${cpu[$1]:-}") cb=$(median <<<"${cpu[$2]:-}")
    printf '%-8s against %-7s wall %6.2f / %6.2f s = %.3f   cpu %6.2f / %6.2f s = %.3f\n' \
        "$1" "$2" "$wa" "$wb" "$(echo "$wa / $wb" | bc -l)" "$ca" "$cb" "$(echo "$ca / $cb" | bc -l)"
}
echo "medians:"
report strips plain
report spreads plain2
sha256sum "$out"/*.QFB | sed "s|$out/||"
