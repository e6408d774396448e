#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks every file that lands there: nothing
# missing, nothing extra, each one usable (binary runs, desktop entry and AppStream entry
# validate and agree, icons are PNGs of their directory's size, manual page renders without
# warnings, the shell completion completes, the copyright file and changelog are Debian's).
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null

sizes=(16 22 24 32 48 64 128 256)
app=org.folioforge.Folioforge
expected=(bin/folioforge share/applications/$app.desktop share/man/man1/folioforge.1.gz
          share/metainfo/$app.metainfo.xml share/bash-completion/completions/folioforge
          share/doc/folioforge/copyright share/doc/folioforge/changelog.gz
          share/lintian/overrides/folioforge)
for s in "${sizes[@]}"; do expected+=("share/icons/hicolor/${s}x${s}/apps/folioforge.png"); done
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$prefix" && find . -type f | sed 's|^\./||' | sort) \
  || fail "installed files differ from the expected list (< expected, > installed)"

"$prefix/bin/folioforge" --help | grep -q '^Usage: folioforge' || fail "installed binary does not run"
version=$("$prefix/bin/folioforge" --version | sed -n 's/^folioforge \([0-9.]*\)$/\1/p')
[ -n "$version" ] || fail "--version does not say 'folioforge VERSION'"

entry=$prefix/share/applications/$app.desktop
desktop-file-validate "$entry" || fail "desktop entry does not validate"
for key in 'Name=Folioforge' 'Exec=folioforge %F' 'Icon=folioforge' 'Type=Application'; do
  grep -qx "$key" "$entry" || fail "desktop entry lacks '$key'"
done
grep -q '^Categories=.*Graphics;' "$entry" || fail "desktop entry not in Graphics"
grep -q '^GenericName=.' "$entry" || fail "no generic name"
grep -q '^Comment=.' "$entry" || fail "no English comment"
grep -q '^Comment\[zh_CN\]=.' "$entry" || fail "no Chinese comment"
for mime in image/jpeg image/png image/bmp image/gif image/tiff image/jp2 image/webp image/heic image/avif image/jxl; do
  grep -q "^MimeType=.*$mime;" "$entry" || fail "desktop entry does not offer $mime"
done

# The software centre's entry: valid, and saying what the desktop entry says.
meta=$prefix/share/metainfo/$app.metainfo.xml
appstreamcli validate --no-net "$meta" || fail "metainfo does not validate"
tag() { sed -n "s|.*<$1[^>]*>\(.*\)</$1>.*|\1|p" "$meta"; }
[ "$(tag id)" = "$app" ] || fail "metainfo id is not $app"
[ "$(tag launchable)" = "$app.desktop" ] || fail "metainfo launches $(tag launchable), not the installed entry"
[ "$(tag project_license)" = GPL-3.0-or-later ] || fail "metainfo licence"
[ "$(tag binary)" = folioforge ] || fail "metainfo does not provide the binary"
grep -q "<release version=\"$version\"" "$meta" || fail "metainfo has no release $version"
diff <(sed -n 's/^MimeType=//p' "$entry" | tr ';' '\n' | sed '/^$/d' | sort) <(tag mediatype | sort) \
  || fail "desktop entry's MIME types (<) differ from the metainfo's (>)"
diff <(sed -n 's/^Categories=//p' "$entry" | tr ';' '\n' | sed '/^$/d' | sort) <(tag category | sort) \
  || fail "desktop entry's categories (<) differ from the metainfo's (>)"

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
for word in NAME SYNOPSIS probe make inspect --jobs --overwrite --strict --version GPL; do
  grep -q -- "$word" <<<"$page" || fail "manual page does not mention $word"
done
# Licence: the GPL's own text at the root; a machine-readable copyright file whose every file
# is under it; a changelog naming this version, compressed without name or time stamp.
cmp -s "$source_dir/LICENSE" /usr/share/common-licenses/GPL-3 || fail "LICENSE is not the GPL-3 text"
copyright=$prefix/share/doc/folioforge/copyright
head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  || fail "copyright file is not machine-readable"
grep -A2 -x 'Files: \*' "$copyright" | grep -qx 'License: GPL-3+' || fail "our files are not GPL-3+"
grep -q '/usr/share/common-licenses/GPL-3' "$copyright" || fail "copyright does not point to the GPL"
changelog=$prefix/share/doc/folioforge/changelog.gz
gzip -t "$changelog" || fail "changelog.gz is not a sound gzip file"
# Header bytes 3 to 7: flags (no file name) and the time stamp (none).
[ "$(od -An -tx1 -j3 -N5 "$changelog" | tr -d ' \n')" = 0000000000 ] || fail "changelog.gz keeps a name or time"
[ "$(zcat "$changelog" | dpkg-parsechangelog -l - -S Version)" = "$version" ] \
  || fail "changelog's last entry is not version $version"

# Shell completion, loaded as bash-completion loads it, completing commands, options and files.
files=$(mktemp -d)
trap 'rm -rf "$prefix" "$files"' EXIT
mkdir "$files/sub"
touch "$files/a.QFB" "$files/b.qfb" "$files/c.jpg" "$files/d.cbz" "$files/e.txt"
complete_line() {
  (cd "$files" && bash --norc --noprofile -c '
    source /usr/share/bash-completion/bash_completion
    source "$0"
    COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    _folioforge
    printf "%s
" "${COMPREPLY[@]}" | sort'     "$prefix/share/bash-completion/completions/folioforge" folioforge "$@")
}
[ "$(complete_line ma)" = make ] || fail "completion of 'ma' gives: $(complete_line ma)"
[ "$(complete_line make --ov)" = --overwrite ] || fail "completion of 'make --ov' gives: $(complete_line make --ov)"
[ "$(complete_line inspect '' | tr '\n' ' ')" = "a.QFB b.qfb sub " ] \
  || fail "completion of 'inspect' offers: $(complete_line inspect '')"
[ "$(complete_line make -o x --color '' | tr '\n' ' ')" = "a.QFB b.qfb c.jpg d.cbz sub " ] \
  || fail "completion of '--color' offers: $(complete_line make -o x --color '')"
# Every command and option the help lists is offered.
options_in() { "$prefix/bin/folioforge" "$@" --help | grep -o -- '^ *\(-[a-zA-Z], \)\?--\?[a-zA-Z-]*' | tr -d ,; }
commands=$("$prefix/bin/folioforge" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]*\) .*/\1/p')
[ -n "$commands" ] || fail "no commands found in --help"
for option in $(options_in); do
  complete_line - | grep -qx -- "$option" || fail "completion does not offer '$option'"
done
for command in $commands; do
  complete_line "$command" | grep -qx "$command" || fail "completion does not offer '$command'"
  for option in $(options_in "$command"); do
    complete_line "$command" - | grep -qx -- "$option" || fail "completion does not offer '$command $option'"
  done
done

echo "install into $prefix: ${#expected[@]} files checked"
