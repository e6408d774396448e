#!/usr/bin/env bash
# Speed of folioforge against its decode floor and other image tools, all doing the same
# page work (turn left if portrait, gray if marked, scale to 640 high, JPEG Q 50/80) on one
# reproducible page set, one run after another.
#
#   bench/compare.sh [PAGEDIR]      (default PAGEDIR: build-bench/pages)
#
# Prints a table and writes the raw numbers to build-bench/compare.tsv. Every peer runs one
# thread per process (OpenMP and libvips threads pinned to 1), so "1 process" means one
# core, like folioforge --jobs 1; the two-process rows run two processes at once, each on
# every other page, against folioforge's default job count.
#
# Figures are only as steady as the machine: with the kernel's autogroup scheduling, a
# busy other session (even at nice 15) leaves this one about one core whatever it runs, so
# on a loaded machine compare CPU seconds rather than the two-process wall times.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-bench
self=$root/bench/compare.sh
convert_im6=/usr/bin/convert-im6.q16 # Debian's ImageMagick 6, never a site wrapper

# One single-threaded stream of page-by-page command-line tool runs:
#   compare.sh --stream vips|gm|im WORKLIST OUTDIR
# WORKLIST lines: kind, width, height, horizontal and vertical scale, path (tab-separated).
# Sizes and scales are worked out beforehand, so only image work is timed.
if [[ ${1:-} == --stream ]]; then
    tool=$2 list=$3 out=$4
    work=$(mktemp -d "$out/.work.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    n=0
    while IFS=$'\t' read -r kind w h hs vs path; do
        n=$((n + 1))
        o=$(printf '%s/%03d.jpg' "$out" "$n")
        q=80 gray=()
        if [[ $kind == gray ]]; then q=50 gray=(-colorspace Gray); fi
        ok=1
        case $tool in
        vips)
            # .v files: libvips' own uncompressed format, the cheapest hand-over between steps.
            cur=$path
            if ((h > w)); then
                vips rot "$cur" "$work/r.v" d270 || ok=0
                cur=$work/r.v
            fi
            if ((ok)) && [[ $kind == gray ]]; then
                vips colourspace "$cur" "$work/g.v" b-w || ok=0
                cur=$work/g.v
            fi
            if ((ok)); then
                vips resize "$cur" "${o}[Q=$q]" "$hs" --vscale "$vs" --kernel linear || ok=0
            fi
            rm -f "$work"/*.v
            ;;
        gm) # '-90<' turns by -90 (left) only when width < height.
            gm convert "$path" -rotate '-90<' "${gray[@]}" -filter Box -resize x640 \
                -quality "$q" "$o" || ok=0
            ;;
        im)
            "$convert_im6" "$path" -rotate '-90<' "${gray[@]}" -filter Box -resize x640 \
                -quality "$q" "$o" || ok=0
            ;;
        esac
        if ((!ok)); then
            echo "$tool: cannot read $path" >&2
            rm -f "$o"
        fi
    done <"$list"
    exit 0
fi

pagedir=${1:-$build/pages}
ncpu=$(env -u OMP_NUM_THREADS -u OMP_THREAD_LIMIT nproc) # nproc honours those variables
export OMP_NUM_THREADS=1 MAGICK_THREAD_LIMIT=1 VIPS_CONCURRENCY=1

# --- build and page set ---------------------------------------------------------------
if [[ ! -f $build/build.ninja ]]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF
fi
targets=(folioforge folio_make_pages folio_floor folio_fast_psnr)
have_vips_peer=0
if pkg-config --exists vips; then
    targets+=(folio_vips_peer)
    have_vips_peer=1
fi
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
folioforge=$build/cli/folioforge
if [[ ! -f $pagedir/pages.txt ]]; then
    "$build/bench/folio_make_pages" "$pagedir"
fi
pages=$pagedir/pages.txt
npages=$(wc -l <"$pages")

tmp=$(mktemp -d "${TMPDIR:-/tmp}/folio-compare.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# Halves for the two-process rows: every other page, so both get a similar mix.
awk 'NR % 2 == 1' "$pages" >"$tmp/pages.a"
awk 'NR % 2 == 0' "$pages" >"$tmp/pages.b"

# Work list for the command-line streams; a page vipsheader cannot read gets size 0 0 and
# is then reported by the stream.
while IFS=$'\t' read -r kind path; do
    w=$(vipsheader -f width "$path" 2>/dev/null || echo 0)
    h=$(vipsheader -f height "$path" 2>/dev/null || echo 0)
    awk -v k="$kind" -v w="$w" -v h="$h" -v p="$path" 'BEGIN {
        W = w; H = h; if (h > w) { W = h; H = w }
        if (H == 0) { printf "%s\t0\t0\t1\t1\t%s\n", k, p; exit }
        t = int((W * 1280 + H) / (2 * H))   # round(W * 640 / H)
        printf "%s\t%d\t%d\t%.10f\t%.10f\t%s\n", k, w, h, t / W, 640 / H, p }'
done <"$pages" >"$tmp/work"
awk 'NR % 2 == 1' "$tmp/work" >"$tmp/work.a"
awk 'NR % 2 == 0' "$tmp/work" >"$tmp/work.b"

ours=()
while IFS=$'\t' read -r kind path; do
    if [[ $kind == gray ]]; then ours+=("$path"); else ours+=(--color "$path"); fi
done <"$pages"

# --- timing -------------------------------------------------------------------------
# Rows: label, processes, wall s, cpu s, peak KB (sum over processes), pages written.
rows=()
fmt='%e %U %S %M'

# The last line of a /usr/bin/time -o file is the figures (a failed command adds a line
# before them).
times_of() { tail -n1 "$1"; }

# outputs KEY DIR... : pages written, and the pages a peer reported it could not read.
outputs() {
    local key=$1 n=0 d
    shift
    for d in "$@"; do n=$((n + $(find "$d" -maxdepth 1 -name '*.jpg' | wc -l))); done
    if ((n < npages)); then
        echo "  $key: $((npages - n)) of $npages pages not written:" >&2
        grep -h -i 'cannot\|skipped\|error' "$tmp/$key".*log 2>/dev/null | sed 's/^/    /' >&2 || true
    fi
    echo "$n"
}

# run1 KEY LABEL CMD... : one process.
run1() {
    local key=$1 label=$2 wall usr sys rss
    shift 2
    /usr/bin/time -f "$fmt" -o "$tmp/$key.time" "$@" >"$tmp/$key.1.log" 2>&1 || true
    read -r wall usr sys rss < <(times_of "$tmp/$key.time")
    cpu=$(awk -v a="$usr" -v b="$sys" 'BEGIN { printf "%.2f", a + b }')
    last=("$label" 1 "$wall" "$cpu" "$rss")
}

# run2 KEY LABEL CMD... : two processes at once, CMD LIST.a OUT.a and CMD LIST.b OUT.b
# (LIST is pages or work, by $list_kind). Wall from the start of both to the end of the
# last; CPU and peak memory summed over both.
run2() {
    local key=$1 label=$2 t0 t1 pa pb ua sa ra ub sb rb
    shift 2
    mkdir -p "$tmp/$key.a" "$tmp/$key.b"
    t0=$(date +%s.%N)
    /usr/bin/time -f "$fmt" -o "$tmp/$key.a.time" "$@" "$tmp/$list_kind.a" "$tmp/$key.a" \
        >"$tmp/$key.a.log" 2>&1 &
    pa=$!
    /usr/bin/time -f "$fmt" -o "$tmp/$key.b.time" "$@" "$tmp/$list_kind.b" "$tmp/$key.b" \
        >"$tmp/$key.b.log" 2>&1 &
    pb=$!
    wait "$pa" || true
    wait "$pb" || true
    t1=$(date +%s.%N)
    read -r _ ua sa ra < <(times_of "$tmp/$key.a.time")
    read -r _ ub sb rb < <(times_of "$tmp/$key.b.time")
    last=("$label" 2 "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')"
        "$(awk -v a="$ua" -v b="$sa" -v c="$ub" -v d="$sb" 'BEGIN { printf "%.2f", a + b + c + d }')"
        "$((ra + rb))")
}

record() { rows+=("$(printf '%s\t' "${last[@]}")$1"); }

# peer KEY LABEL LISTKIND CMD... : the one-process and the two-process row of a peer;
# LISTKIND "pages" hands it pages.txt, "work" the work list.
peer() {
    local key=$1 label=$2 list=$pages
    list_kind=$3
    shift 3
    [[ $list_kind == work ]] && list=$tmp/work
    mkdir -p "$tmp/$key.1"
    run1 "$key.1" "$label" "$@" "$list" "$tmp/$key.1"
    record "$(outputs "$key.1" "$tmp/$key.1")"
    check "$label" "$tmp/$key.1"
    run2 "$key.2" "$label" "$@"
    record "$(outputs "$key.2" "$tmp/$key.2.a" "$tmp/$key.2.b")"
}

# Sanity of a peer's output, once per peer: the first colour page, the first gray page and
# the last page must be 640 high, landscape, one band exactly when gray.
check() {
    local label=$1 dir=$2 n kind w h b want bad=0 checked=0
    for n in $(awk -F'\t' '$1 == "color" && !c++ { print NR } $1 == "gray" && !g++ { print NR }
                           END { print NR }' "$pages"); do
        kind=$(sed -n "${n}p" "$pages" | cut -f1)
        f=$(printf '%s/%03d.jpg' "$dir" "$n")
        [[ -f $f ]] || continue
        w=$(vipsheader -f width "$f") h=$(vipsheader -f height "$f") b=$(vipsheader -f bands "$f")
        checked=$((checked + 1))
        want=3
        [[ $kind == gray ]] && want=1
        if ((h != 640 || w <= h || b != want)); then
            echo "  sanity $label: page $n ($kind) came out ${w}x${h}, $b band(s)" >&2
            bad=1
        fi
    done
    ((bad)) || echo "  sanity $label: pages checked ($checked): 640 high, landscape, gray as marked" >&2
}

# Warm up: the page files into the page cache and the processor out of its idle clock, so
# the first timed row is not the one that pays for it.
cat "$pagedir"/* >/dev/null
"$build/bench/folio_floor" --jobs 1 "$pages" >/dev/null

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg); $npages pages, $(du -sm --apparent-size "$pagedir" | cut -f1) MB in $pagedir" >&2

# a, b: folioforge, one job and its default (one per processor).
run1 ours1 "folioforge --jobs 1" "$folioforge" make -q --overwrite --jobs 1 -o "$tmp/ours1.QFB" "${ours[@]}"
ours_pages() { "$folioforge" inspect "$1" 2>/dev/null | awk '/^pages:/ { print $2 }' || echo 0; }
record "$(ours_pages "$tmp/ours1.QFB")"
run1 ours2 "folioforge (default jobs: $ncpu)" "$folioforge" make -q --overwrite -o "$tmp/ours2.QFB" "${ours[@]}"
last[1]=$ncpu
record "$(ours_pages "$tmp/ours2.QFB")"
grep -h 'skipped' "$tmp"/ours*.log >&2 || true
# Our own sanity check: inspect checks every page is a sound JPEG, and lists its size and kind.
if "$folioforge" inspect "$tmp/ours1.QFB" >"$tmp/inspect" &&
    awk '$2 == "offset" { split($6, d, "x"); if (d[2] != 640 || d[1] <= d[2]) bad++ }
         END { exit bad > 0 }' "$tmp/inspect" &&
    diff <(awk '$2 == "offset" { print $7 == "gray" ? "gray" : "color" }' "$tmp/inspect") \
        <(cut -f1 "$pages") >/dev/null; then
    echo "  sanity folioforge: all pages 640 high, landscape, gray as marked (folioforge inspect)" >&2
else
    echo "  sanity folioforge: inspect found a page of the wrong size or kind" >&2
fi

# c: the decode floor, one and two threads.
run1 floor1 "floor (decode+encode) --jobs 1" "$build/bench/folio_floor" --jobs 1 "$pages"
record "$(awk '/ of .* pages,/ { print $1 }' "$tmp/floor1.1.log")"
run1 floor2 "floor (decode+encode) --jobs 2" "$build/bench/folio_floor" --jobs 2 "$pages"
last[1]=2
record "$(awk '/ of .* pages,/ { print $1 }' "$tmp/floor2.1.log")"

# The optional fast path (DCT-scaled JPEG decoding), one job and default jobs.
run1 fast1 "folioforge --fast --jobs 1" "$folioforge" make --fast -q --overwrite --jobs 1 -o "$tmp/fast1.QFB" "${ours[@]}"
record "$(ours_pages "$tmp/fast1.QFB")"
run1 fast2 "folioforge --fast (default jobs)" "$folioforge" make --fast -q --overwrite -o "$tmp/fast2.QFB" "${ours[@]}"
last[1]=$ncpu
record "$(ours_pages "$tmp/fast2.QFB")"

# d-h: the peers.
if ((have_vips_peer)); then
    peer vipslib "libvips in-process (C)" pages "$build/bench/folio_vips_peer"
fi
peer pillow "Pillow $(/usr/bin/python3 -c 'import PIL; print(PIL.__version__)')" pages \
    /usr/bin/python3 "$root/bench/pillow_peer.py"
peer vipscli "vips CLI $(vips --version | cut -d- -f2 | cut -d' ' -f1) (.v temps)" work "$self" --stream vips
peer gm "GraphicsMagick $(gm version | awk 'NR == 1 { print $2 }')" work "$self" --stream gm
peer im "ImageMagick 6 ($(basename "$convert_im6"))" work "$self" --stream im

echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)" >&2
echo "--fast quality: $("$build/bench/folio_fast_psnr" "$pages" | tail -3 | tr '\n' ' ')" >&2

# --- table ----------------------------------------------------------------------------
tsv=$build/compare.tsv
printf '%s\n' "${rows[@]}" | awk -F'\t' -v n="$npages" -v tsv="$tsv" '
    { label[NR] = $1; procs[NR] = $2; wall[NR] = $3; cpu[NR] = $4; kb[NR] = $5; done[NR] = $6 }
    NR == 1 { ours1 = n / $3; ourscpu1 = $4 } NR == 2 { ours2 = n / $3; ourscpu2 = $4 }
    NR == 3 { floor1 = $3 } NR == 4 { floor2 = $3 }
    END {
        print "tool\tprocesses\twall_s\tcpu_s\tpeak_kb\tpages_written\tpages_per_s\tours_ratio\tcpu_ratio\tfloor_ratio" > tsv
        printf "%-34s %5s %7s %7s %7s %8s %7s %9s %9s %8s\n", "tool", "procs", "wall s", "pages/s",
               "CPU s", "peak MB", "written", "ours/this", "CPU ratio", "x floor"
        for (i = 1; i <= NR; i++) {
            pps = n / wall[i]
            two = procs[i] > 1
            r = (two ? ours2 : ours1) / pps
            c = cpu[i] / (two ? ourscpu2 : ourscpu1)
            f = wall[i] / (two ? floor2 : floor1)
            printf "%-34s %5d %7.2f %7.1f %7.2f %8.0f %4d/%-2d %9.2f %9.2f %8.2f\n", label[i],
                   procs[i], wall[i], pps, cpu[i], kb[i] / 1024, done[i], n, r, c, f
            printf "%s\t%d\t%.2f\t%.2f\t%d\t%d\t%.2f\t%.3f\t%.3f\t%.3f\n", label[i], procs[i],
                   wall[i], cpu[i], kb[i], done[i], pps, r, c, f > tsv
        }
    }'
cat <<EOF

pages/s = $npages / wall. CPU s = user + sys, summed over processes. Peak MB = largest
resident set of each process (of each tool run, for the command-line streams), summed over
the processes of a row. ours/this: folioforge's pages/s over this row's (--jobs 1 against
1-process rows, default jobs against 2-process rows); above 1 means folioforge is faster.
CPU ratio: this row's CPU s over folioforge's (same pairing); less disturbed by other load.
x floor: this row's wall time over the decode floor's with as many processes/threads.
Raw numbers: $tsv
EOF
