#!/usr/bin/env bash
# Runs two builds of folioforge over the same inputs and says whether everything they give is
# the same: every book's bytes, every probe line, every page file, every message on standard
# error and every exit status. For changes that must not change behaviour.
#
#   scripts/same-output.sh OLD_FOLIOFORGE NEW_FOLIOFORGE [MAKE_PAGES]
#
# Inputs: the bench pages (folio_make_pages, by default the one beside NEW's build), the shared
# corpus (../shared/corpus or $FOLIO_CORPUS) file by file and folder by folder, the seed
# archives and PDFs of the fuzz targets, and a mix of a CBZ, a PDF and a book made from them.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
old=$(realpath "$1")
new=$(realpath "$2")
make_pages=${3:-$(dirname "$(dirname "$new")")/bench/folio_make_pages}
corpus=${FOLIO_CORPUS:-$root/../shared/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$make_pages" pages >/dev/null
rm -f pages/pages.txt
mkdir mix
(cd pages && python3 -m zipfile -c ../mix/half.cbz $(ls | head -n 20) >/dev/null)
cp "$root"/fuzz/corpus/pdf/*.pdf mix/
cp "$root"/fuzz/corpus/archive/* mix/
"$old" make -q -o mix/old --title "书" --author "作者" $(ls pages/* | tail -n 12) >/dev/null
[ -d "$corpus" ] && ln -s "$corpus" corpus || mkdir corpus

# Everything one build gives, into out/: numbered files of stdout, stderr and status.
run_all() {
  local ff=$1 n=0
  rm -rf out && mkdir out
  step() {
    n=$((n + 1))
    local status=0
    (cd out && "$ff" "$@" >"$n.out" 2>"$n.err") || status=$?
    echo "$status $*" >"out/$n.status"
  }
  # Paths are given relative to out/, so both builds print the same names.
  step probe ../pages/* ../mix/* ../corpus/*/*
  step probe --decode ../corpus/*/* ../mix/*
  step probe ../mix/half.cbz ../mix/old.QFB ../mix/scan.pdf ../mix/half.cbz/0001.png \
    ../mix/old.QFB/0003.jpg ../mix/scan.pdf/0001 ../mix/none.cbz/x.jpg
  step make -q -o bench --title "Bench" --author "A" ../pages
  step make -q -o bench-color --color-quality 70 --color ../pages
  step make -q -o mix ../mix/half.cbz --color ../mix/scan.pdf ../mix/old.QFB ../mix/stored.zip \
    ../mix/pages.7z ../mix/pages.tar.xz ../mix/turned.pdf ../mix/locked.pdf ../mix/names.zip
  step make -q -o shaped --crop --auto-color --jobs 2 ../pages ../mix/half.cbz
  step make -q -o fast --fast --gray-quality 30 ../pages
  step make -q --strict -o strict ../mix
  for dir in ../corpus/*/; do
    [ -d "$dir" ] || continue
    step make -q -o "corpus-$(basename "$dir")" "$dir"
  done
  step page ../mix/half.cbz/0002.png -o page-gray.jpg
  step page ../mix/scan.pdf/0001 --color --quality 90 -o page-color.jpg
  step page ../pages/$(ls pages | head -n 1) --crop -o page-crop.jpg
  step inspect bench.QFB
  step inspect ../mix/old.QFB
  step extract bench.QFB extracted
  step extract bench.QFB extracted
  step --help
  for c in probe make page inspect extract; do step "$c" --help; done
  step mkae
  step make
  step make -o x --quality 5 ../pages
  step make -o x --jobs 0 ../pages
  step page
  step inspect
  step extract a
  step probe
}

run_all "$old" && mv out old
run_all "$new" && mv out new
if diff -r old new >diff.txt; then
  echo "same: $(ls old/*.status | wc -l) commands, $(find old -type f | wc -l) files"
else
  echo "DIFFERENT:"
  diff -rq old new || true
  head -n 60 diff.txt
  exit 1
fi
