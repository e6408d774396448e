#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev \
  libjpeg62-turbo-dev libpng-dev libtiff-dev libgif-dev libopenjp2-7-dev zlib1g-dev libssl-dev \
  libarchive-dev libzip-dev libdeflate-dev libpoppler-cpp-dev libdjvulibre-dev djvulibre-bin libcairo2-dev libwebp-dev libheif-dev libexif-dev libpugixml-dev \
  libjxl-dev libjxl-tools libwmf-dev librsvg2-dev emf2svg \
  libgtest-dev libgmock-dev libbenchmark-dev \
  qt6-base-dev xvfb xauth fonts-noto-cjk desktop-file-utils groff-base \
  lintian appstream bash-completion \
  locales >/dev/null
