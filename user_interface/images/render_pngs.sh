#!/usr/bin/env bash
# Regenerates the PNGs from their SVG sources (ImageMagick hands SVG to rsvg-convert, from the
# Debian package librsvg2-bin). The PNGs are committed, so building never needs this.
set -euo pipefail
cd "$(dirname "$0")"
for name in logo logout email mqtt; do
    convert -background none "$name.svg" -strip "PNG32:$name.png"
done
