#!/usr/bin/env bash
# Regenerates the PNGs from their SVG sources (ImageMagick hands SVG to rsvg-convert, from the
# Debian package librsvg2-bin). The PNGs are committed, so building never needs this.
set -euo pipefail
cd "$(dirname "$0")"
for name in logo logout email mqtt; do
    convert -background none "$name.svg" -strip "PNG32:$name.png"
done
# The login page's logo: cut to a disc, at the size it is drawn and at twice that for screens
# of twice the density (Image picks the @2x file by itself). Rendered by rsvg-convert itself:
# ImageMagick's own SVG reader, used when the delegate is missing, drops the gradient.
for size in 180:logo_round.png 360:logo_round@2x.png; do
    px=${size%%:*} half=$((${size%%:*} / 2))
    rsvg-convert -w "$px" -h "$px" logo.svg |
        convert - \( -size "${px}x${px}" xc:none -fill white -draw "circle $half,$half $half,0" \) \
            -compose DstIn -composite -strip "PNG32:${size#*:}"
done
