#!/usr/bin/env bash
# Builds the Debian package from the build directory and checks its control data and
# contents: the dependencies worked out from the linked libraries, the files under /usr, the
# copyright file naming every library linked, and lintian's verdict.
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$out" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >cpack.log 2>&1) \
  || { cat "$out/cpack.log" >&2; fail "cpack did not build the package"; }
debs=("$out"/folioforge_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "no single folioforge_*.deb"
deb=${debs[0]}

info=$(dpkg-deb --info "$deb")
echo "$info"
[ "$(dpkg-deb --field "$deb" Package)" = folioforge ] || fail "package name"
[ "$(dpkg-deb --field "$deb" Section)" = graphics ] || fail "section"
depends=$(dpkg-deb --field "$deb" Depends)
names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
for lib in libc6 libstdc++6 libjpeg62-turbo libpng16-16 libtiff6 libgif7 libopenjp2-7 \
           libqt6core6 libqt6gui6 libqt6widgets6 qt6-qpa-plugins; do
  grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for f in ./usr/bin/folioforge ./usr/share/applications/org.folioforge.Folioforge.desktop \
         ./usr/share/man/man1/folioforge.1.gz ./usr/share/icons/hicolor/48x48/apps/folioforge.png \
         ./usr/share/metainfo/org.folioforge.Folioforge.metainfo.xml \
         ./usr/share/bash-completion/completions/folioforge ./usr/share/doc/folioforge/copyright \
         ./usr/share/doc/folioforge/changelog.gz ./usr/share/lintian/overrides/folioforge; do
  grep -qx -- "$f" <<<"$contents" || fail "package lacks $f"
done
# The same files as an install (binary, desktop and AppStream entries, manual page, eight
# icons, completion, copyright, changelog, lintian overrides), no more.
[ "$(grep -vc '/$' <<<"$contents")" -eq 16 ] || fail "package holds other files: $contents"

# Every library package the program links (the C and C++ runtimes and the loaded Qt plugins
# aside) is named in the copyright file with its licence.
dpkg-deb -x "$deb" "$out/root"
copyright=$out/root/usr/share/doc/folioforge/copyright
for name in $names; do
  case $name in libc6 | libstdc++6 | libgcc-s1 | qt6-qpa-plugins) continue ;; esac
  grep -q "[(, ]$name[,)]" "$copyright" || fail "copyright file does not name $name, which the program links"
done

# lintian: no errors, no warnings; every override it is told to accept carries its reason on
# the comment line above it.
overrides=$out/root/usr/share/lintian/overrides/folioforge
awk '/^[^#]/ && prev !~ /^#/ { print "override without a reason: " $0; bad = 1 } { prev = $0 } END { exit bad }' \
  "$overrides" || fail "lintian override without a reason"
if command -v lintian >/dev/null; then
  # Exit status 1: a tag at the failing levels; anything else: lintian itself failed.
  verdict=$(lintian --fail-on error,warning "$deb" 2>"$out/lintian.err") && status=0 || status=$?
  echo "lintian: ${verdict:-no tags}"
  [ "$status" -ne 1 ] && ! grep -qE '^(E|W): ' <<<"$verdict" || fail "lintian finds errors or warnings"
  [ "$status" -eq 0 ] || { cat "$out/lintian.err" >&2; fail "lintian did not run"; }
else
  echo "lintian not installed (scripts/install-deps.sh installs it): not run"
fi
# apt resolves every dependency from the Debian archive (simulated: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get install -s "$deb" 2>&1 | grep -q '^Inst folioforge ' || fail "apt cannot install the package"
fi
echo "package ${deb##*/} checked"
