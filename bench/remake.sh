#!/usr/bin/env bash
# Making the book again: `make --cache DIR` twice against a make without it, and MAKE twice
# in the window (one row deleted in between), on 540 pages: the page set ten times over.
#   bench/remake.sh BUILD_DIR PAGES_DIR [REPEAT]
# PAGES_DIR holds the set folio_make_pages wrote (pages.txt); BUILD_DIR a build of the tool.
# Two lists of the set ten times: "same files" names each file ten times, so even a first
# cached run finds nine in ten pages already made; "ten copies" names ten copies of each
# file, every copy a few bytes longer (after the picture's end) so its content differs too,
# which leaves a first run nothing to take and gives the honest first-against-second ratio.
set -euo pipefail
build=${1:?build dir}
pages=${2:?pages dir}
repeat=${3:-10}
tool=$build/cli/folioforge
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

: >"$out/same.txt"
: >"$out/copies.txt"
for ((r = 0; r < repeat; r++)); do
  mkdir -p "$out/set$r"
  while IFS=$'\t' read -r kind path; do
    printf '%s\t%s\n' "$kind" "$path" >>"$out/same.txt"
    copy=$out/set$r/$(basename "$path")
    { cat "$path"; printf 'copy %d' "$r"; } >"$copy"
    printf '%s\t%s\n' "$kind" "$copy" >>"$out/copies.txt"
  done <"$pages/pages.txt"
done
touch -d '1 hour ago' "$out"/set*/* # as a user's files are: not written this instant
cut -f2 "$out/same.txt" "$out/copies.txt" | sort -u | xargs cat >/dev/null # read once: warm

arguments() { # the make arguments for a list
  while IFS=$'\t' read -r kind path; do
    if [[ $kind == color ]]; then printf '%s\0%s\0' --color "$path"; else printf '%s\0' "$path"; fi
  done <"$1"
}

wall() { # wall seconds of the command
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

for list in same copies; do
  mapfile -d '' args < <(arguments "$out/$list.txt")
  rm -rf "$out/cache"
  plain=$(wall "$tool" make -q -o "$out/$list-plain" "${args[@]}")
  first=$(wall "$tool" make -q -o "$out/$list-first" --cache "$out/cache" "${args[@]}")
  second=$(wall "$tool" make -q -o "$out/$list-second" --cache "$out/cache" "${args[@]}")
  cmp "$out/$list-plain.QFB" "$out/$list-first.QFB"
  cmp "$out/$list-plain.QFB" "$out/$list-second.QFB"
  echo "make, $list ($(wc -l <"$out/$list.txt") pages, $(ls "$out/cache" | wc -l) files kept):"
  printf '  without --cache     %7.2f s\n' "$plain"
  printf '  first --cache run   %7.2f s\n' "$first"
  printf '  second --cache run  %7.2f s  (%.1fx quicker than the first, %.1fx than without)\n' \
    "$second" "$(echo "$first / $second" | bc -l)" "$(echo "$plain / $second" | bc -l)"
  echo "  the three books byte-identical (cmp)"
done
cmp "$out/same-plain.QFB" "$out/copies-plain.QFB" && echo "copies make the same book as the set"

if [[ -x $build/bench/folio_window_remake ]]; then
  echo "window, ten copies (xvfb-run):"
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/folio_window_remake" \
    "$out/copies.txt" "$out" 1 2>/dev/null
fi
