#!/usr/bin/env bash
# Builds the Debian package from the build directory and checks its control data and
# contents: the dependencies worked out from the linked libraries, the files under /usr.
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
for f in ./usr/bin/folioforge ./usr/share/applications/folioforge.desktop \
         ./usr/share/man/man1/folioforge.1.gz ./usr/share/icons/hicolor/48x48/apps/folioforge.png; do
  grep -qx -- "$f" <<<"$contents" || fail "package lacks $f"
done
# The same files as an install (binary, desktop entry, manual page, eight icons), no more.
[ "$(grep -vc '/$' <<<"$contents")" -eq 11 ] || fail "package holds other files: $contents"
# apt resolves every dependency from the Debian archive (simulated: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get install -s "$deb" 2>&1 | grep -q '^Inst folioforge ' || fail "apt cannot install the package"
fi
echo "package ${deb##*/} checked"
