#!/usr/bin/env bash
# Installs the tools bench/compare.sh compares folioforge with, from Debian's archive:
# libvips (command line and the C library for folio_vips_peer), ImageMagick 6,
# GraphicsMagick, Pillow for the system Python, GNU time and pkg-config. Run as root.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    libvips-tools libvips-dev imagemagick graphicsmagick python3 python3-pil time pkg-config
