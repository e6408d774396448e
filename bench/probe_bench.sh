#!/usr/bin/env bash
# What adding pages costs against making the book, on 540 pages (the page set ten times):
#   - `folioforge probe` (headers only) against `folioforge probe --decode` (every picture
#     decoded in full, as adding pages did before the header probes), one process each;
#   - the window up with all 540 rows in (folio_window_bench: main window started with the
#     540 files on its command line, offscreen), against `folioforge make` of the same book
#     (default jobs).
#
#   bench/probe_bench.sh [RUNS]     (default 3 runs; BUILD=dir to use another build)
#
# Page files are read once before timing, so every row sees a warm page cache. Prints one
# line per run (wall and CPU seconds) and the medians.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bench}
runs=${1:-3}

if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF
fi
cmake --build "$build" -j2 --target folioforge folio_make_pages folio_window_bench >/dev/null
folioforge=$build/cli/folioforge
window=$build/bench/folio_window_bench
pagedir=$build/pages
[[ -f $pagedir/pages.txt ]] || "$build/bench/folio_make_pages" "$pagedir" >/dev/null

tmp=$(mktemp -d "${TMPDIR:-/tmp}/folio-probe-bench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$tmp} # Qt wants one; mktemp made it private

# Ten names for every page (links, so the set costs no disk), in book order; the names sort
# naturally in that order too, as the window sorts what it is given.
files=() book=()
for r in 0 1 2 3 4 5 6 7 8 9; do
    n=0
    while IFS=$'\t' read -r kind path; do
        n=$((n + 1))
        link=$(printf '%s/r%d_%03d_%s' "$tmp" "$r" "$n" "$(basename "$path")")
        ln -s "$path" "$link"
        files+=("$link")
        if [[ $kind == gray ]]; then book+=("$link"); else book+=(--color "$link"); fi
    done <"$pagedir/pages.txt"
done
echo "pages: ${#files[@]} ($(nproc) cores)"
cat "${files[@]}" >/dev/null

# timed CMD... : "WALL CPU" seconds of one run (CPU: user + system), output discarded.
timed() {
    local TIMEFORMAT='%R %U %S' t
    t=$({ time "$@" >/dev/null 2>&1; } 2>&1)
    awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}

# The answers must agree before the times mean anything: same sizes either way, every row in.
"$folioforge" probe "${files[@]}" >"$tmp/probe.txt"
"$folioforge" probe --decode "${files[@]}" >"$tmp/decode.txt"
cmp -s "$tmp/probe.txt" "$tmp/decode.txt" || { echo "probe and probe --decode disagree" >&2; exit 1; }
if grep -q $'\t-$' "$tmp/probe.txt"; then echo "a page was not probed" >&2; exit 1; fi

# On a shared machine the wall times swing with the load; CPU seconds are steadier.
printf '%-6s %17s %17s %17s %17s\n' run "decode wall/CPU" "probe wall/CPU" "window wall/CPU" \
    "make wall/CPU"
rows_d=() rows_p=() rows_w=() rows_m=()
for ((i = 1; i <= runs; i++)); do
    read -r dw dc < <(timed "$folioforge" probe --decode "${files[@]}")
    read -r pw pc < <(timed "$folioforge" probe "${files[@]}")
    # The window's own clock: from entering main to its first event-loop turn with the rows in.
    QT_QPA_PLATFORM=offscreen "$window" "${files[@]}" >"$tmp/window.out" 2>/dev/null
    read -r ww rows <"$tmp/window.out"
    [[ $rows == "${#files[@]}" ]] || { echo "the window showed $rows rows" >&2; exit 1; }
    read -r _ wc < <(timed env QT_QPA_PLATFORM=offscreen "$window" "${files[@]}")
    read -r mw mc < <(timed "$folioforge" make -q --overwrite -o "$tmp/book.QFB" "${book[@]}")
    printf '%-6s %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f %8.3f\n' "$i" "$dw" "$dc" "$pw" "$pc" \
        "$ww" "$wc" "$mw" "$mc"
    rows_d+=("$dw $dc") rows_p+=("$pw $pc") rows_w+=("$ww $wc") rows_m+=("$mw $mc")
done

# median COLUMN ROWS... : the median of column 1 (wall) or 2 (CPU).
median() {
    local c=$1
    shift
    printf '%s\n' "$@" | awk -v c="$c" '{ print $c }' | sort -g |
        awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}
for c in 1 2; do
    d=$(median $c "${rows_d[@]}") p=$(median $c "${rows_p[@]}")
    w=$(median $c "${rows_w[@]}") m=$(median $c "${rows_m[@]}")
    what=$([[ $c == 1 ]] && echo wall || echo CPU)
    printf 'median %s: decode %.3f s, probe %.3f s, window %.3f s, make %.3f s\n' "$what" \
        "$d" "$p" "$w" "$m"
    printf '  probe %.1fx quicker than probe --decode; window up in %.3f of the make time\n' \
        "$(awk -v a="$d" -v b="$p" 'BEGIN { print a / b }')" \
        "$(awk -v a="$w" -v b="$m" 'BEGIN { print a / b }')"
done
