#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks every file that lands there: nothing
# missing, nothing extra, each one usable (binary runs, desktop entry validates, icons are
# PNGs of their directory's size, manual page renders without warnings).
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

sizes=(16 22 24 32 48 64 128 256)
expected=(bin/folioforge share/applications/folioforge.desktop share/man/man1/folioforge.1.gz)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/folioforge.png"); done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) \
  || fail "installed files differ from the expected list (< expected, > installed)"

"$prefix/bin/folioforge" --help | grep -q '^Usage: folioforge' || fail "installed binary does not run"

entry=$prefix/share/applications/folioforge.desktop
desktop-file-validate "$entry" || fail "desktop entry does not validate"
for key in 'Name=Folioforge' 'Exec=folioforge %F' 'Icon=folioforge' 'Type=Application'; do
  grep -qx "$key" "$entry" || fail "desktop entry lacks '$key'"
done
grep -q '^Categories=.*Graphics;' "$entry" || fail "desktop entry not in Graphics"
grep -q '^GenericName=.' "$entry" || fail "no generic name"
grep -q '^Comment=.' "$entry" || fail "no English comment"
grep -q '^Comment\[zh_CN\]=.' "$entry" || fail "no Chinese comment"
for mime in image/jpeg image/png image/bmp image/gif image/tiff image/jp2; do
  grep -q "^MimeType=.*$mime;" "$entry" || fail "desktop entry does not offer $mime"
done

# A PNG's width and height are the big-endian words at bytes 16 and 20.
for s in "${sizes[@]}"; do
  icon=$prefix/share/icons/hicolor/${s}x${s}/apps/folioforge.png
  [ "$(head -c 8 "$icon" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$icon is not a PNG"
  wh=$(od -An -tu1 -j16 -N8 "$icon" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
  [ "$wh" = "$s $s" ] || fail "$icon is $wh, not ${s}x${s}"
done

man=$prefix/share/man/man1/folioforge.1.gz
gzip -t "$man" || fail "manual page is not a sound gzip file"
warnings=$(zcat "$man" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] || fail "manual page warnings: $warnings"
page=$(zcat "$man" | groff -man -Tutf8 -P-cbou 2>/dev/null)
for word in NAME SYNOPSIS probe make inspect --jobs --overwrite; do
  grep -q -- "$word" <<<"$page" || fail "manual page does not mention $word"
done
echo "install into $prefix: ${#expected[@]} files checked"
