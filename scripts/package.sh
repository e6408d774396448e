#!/usr/bin/env bash
# Set up, build a release and make the Debian package build-package/folioforge_VERSION_ARCH.deb,
# then check it with lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
# Debian's hardening flags (fortified calls, stack protector, read-only relocations bound at
# start), as a Debian package build would use; the release build's -O3 still comes last.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF \
  -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
deb=$(ls build-package/folioforge_*.deb)
echo "$deb"
# Errors and warnings fail the package; any that is accepted has its reason in
# data/lintian-overrides.
lintian --fail-on error,warning "$deb" 2>/dev/null
