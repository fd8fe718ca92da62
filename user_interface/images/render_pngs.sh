#!/usr/bin/env bash
# Regenerates the PNGs from their SVG sources (ImageMagick hands SVG to rsvg-convert, from the
# Debian package librsvg2-bin). The PNGs are committed, so building never needs this.
set -euo pipefail
cd "$(dirname "$0")"
for name in logo logout email mqtt; do
    convert -background none "$name.svg" -strip "PNG32:$name.png"
done
# The login page's logo: cut to a disc, at twice the size it is drawn. Rendered by rsvg-convert
# itself: ImageMagick's own SVG reader, used when the delegate is missing, drops the gradient.
rsvg-convert -w 360 -h 360 logo.svg |
    convert - \( -size 360x360 xc:none -fill white -draw "circle 180,180 180,0" \) \
        -compose DstIn -composite -strip PNG32:logo_round.png
