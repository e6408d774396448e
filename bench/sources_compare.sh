#!/usr/bin/env bash
# Pages per second by kind of source: the same pictures as files in a folder, as one DjVu
# document and as an EPUB, each made into a book by `folioforge make`.
#  - photos: 40 colour pictures of 1600x2400 (folio_jxl_pages' JPEGs at quality 90) as a
#    folder of JPEGs, as a DjVu of IW44 pages (c44, then bundled by djvm -c) and as an EPUB
#    (one XHTML page with one <img> for each, the JPEGs stored unchanged), colour books;
#  - scans: the bench set's 8 bilevel G4 TIFFs five times over (40 A4 pages at 300 dpi) as a
#    folder and as a DjVu of JB2 pages (cjb2), gray books.
# Runs alternate between the sources; each is timed by /usr/bin/time. Prints medians of wall
# seconds and of CPU seconds (user + system), and checks that the EPUB's book is
# byte-identical to the folder's (the same JPEG bytes, read from a ZIP).
#
#   bench/sources_compare.sh [FOLIOFORGE] [RUNS] [JOBS]
#     (defaults: build/cli/folioforge, 5 runs, default jobs)
# Needs djvulibre-bin (c44, cjb2, djvm), GNU time and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
ff=$(realpath "${1:-$root/build/cli/folioforge}")
runs=${2:-5}
jobs=${3:-}
benchdir=$(dirname "$(dirname "$ff")")/bench
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$benchdir/folio_jxl_pages" photos 40 1600 2400 >/dev/null
mkdir photo-djvu
for f in photos/jpeg/*.jpg; do c44 "$f" "photo-djvu/$(basename "$f" .jpg).djvu"; done
djvm -c photos.djvu photo-djvu/*.djvu
python3 - photos/jpeg photos.epub <<'EOF'
import os, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
pics = sorted(os.listdir(src))
with zipfile.ZipFile(out, "w") as z:
    z.writestr("mimetype", "application/epub+zip", zipfile.ZIP_STORED)
    z.writestr("META-INF/container.xml",
               '<?xml version="1.0"?>\n<container version="1.0" '
               'xmlns="urn:oasis:names:tc:opendocument:xmlns:container"><rootfiles>'
               '<rootfile full-path="OEBPS/content.opf" '
               'media-type="application/oebps-package+xml"/></rootfiles></container>\n',
               zipfile.ZIP_DEFLATED)
    items, spine = [], []
    for i, p in enumerate(pics, 1):
        z.write(os.path.join(src, p), "OEBPS/images/" + p, zipfile.ZIP_STORED)
        z.writestr(f"OEBPS/page{i:03}.xhtml",
                   '<?xml version="1.0" encoding="utf-8"?>\n<html '
                   'xmlns="http://www.w3.org/1999/xhtml"><head><title>'
                   f'{i}</title></head><body><img src="images/{p}" alt=""/></body></html>\n',
                   zipfile.ZIP_DEFLATED)
        items.append(f'<item id="p{i}" href="page{i:03}.xhtml" '
                     'media-type="application/xhtml+xml"/>'
                     f'<item id="i{i}" href="images/{p}" media-type="image/jpeg"/>')
        spine.append(f'<itemref idref="p{i}"/>')
    z.writestr("OEBPS/content.opf",
               '<?xml version="1.0" encoding="utf-8"?>\n<package version="3.0" '
               'xmlns="http://www.idpf.org/2007/opf" unique-identifier="id"><metadata '
               'xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:identifier id="id">bench'
               '</dc:identifier><dc:title>bench</dc:title><dc:language>en</dc:language>'
               '</metadata><manifest>' + "".join(items) + '</manifest><spine>'
               + "".join(spine) + '</spine></package>\n', zipfile.ZIP_DEFLATED)
EOF

"$benchdir/folio_make_pages" set >/dev/null
mkdir scans scan-djvu
k=0
for r in 1 2 3 4 5; do
    for f in set/*-bilevel-g4.tif; do
        k=$((k + 1))
        ln -s "$work/$f" "scans/$(printf 's%02d' "$k").tif"
        cjb2 "$f" "scan-djvu/$(printf 's%02d' "$k").djvu"
    done
done
djvm -c scans.djvu scan-djvu/*.djvu

names=("photos, JPEG files" "photos, DjVu (IW44)" "photos, EPUB" "scans, G4 TIFF files"
    "scans, DjVu (JB2)")
args=("--color photos/jpeg" "--color photos.djvu" "--color photos.epub" "scans" "scans.djvu")
extra=(-q --overwrite --title bench) # the EPUB would give its own title
[[ -n $jobs ]] && extra+=(--jobs "$jobs")
median() { tr ' ' '\n' | grep . | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

declare -a wall cpu
for ((i = 0; i < runs; i++)); do
    for r in "${!args[@]}"; do
        # shellcheck disable=SC2086 # each row's arguments split on purpose
        /usr/bin/time -f '%e %U %S' -o time.txt "$ff" make -o "book$r" ${args[$r]} "${extra[@]}" \
            >/dev/null
        read -r w u s <time.txt
        wall[r]+="$w "
        cpu[r]+="$(awk -v u="$u" -v s="$s" 'BEGIN {print u + s}') "
    done
done

printf '%-22s %6s %7s %8s %10s %7s\n' source pages "wall s" pages/s "user+sys s" \
    "ms/page"
for r in "${!args[@]}"; do
    pages=$("$ff" inspect "book$r.QFB" | awk '/^pages:/ {print $2}')
    w=$(echo "${wall[r]}" | median) c=$(echo "${cpu[r]}" | median)
    awk -v n="${names[r]}" -v p="$pages" -v w="$w" -v c="$c" 'BEGIN {
        printf "%-22s %6d %7.2f %8.1f %10.2f %7.1f\n", n, p, w, p / w, c, c * 1000 / p }'
done
for r in "${!args[@]}"; do echo "wall s of each run, ${names[r]}: ${wall[r]}"; done
if cmp -s book0.QFB book2.QFB; then
    echo "EPUB book byte-identical to the JPEG folder's: yes"
else
    echo "EPUB book byte-identical to the JPEG folder's: NO"
fi
