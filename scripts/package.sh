#!/usr/bin/env bash
# Set up, build a release and make the Debian package build-package/folioforge_VERSION_ARCH.deb.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIO_BUILD_TESTS=OFF >/dev/null
cmake --build build-package -j"$(nproc)"
(cd build-package && cpack -G DEB >/dev/null)
ls build-package/folioforge_*.deb
