#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Renders the application icon example.quellon.Quellon.svg into the PNG sizes of the hicolor icon
# theme, next to itself as hicolor/SIZExSIZE/apps/example.quellon.Quellon.png; the 16 x 16 one comes
# from example.quellon.Quellon-16.svg, the same drawing with whole-pixel lines. The PNGs are kept in
# the repository, so building needs no renderer; run this again after changing either SVG.
# Needs rsvg-convert (Debian: librsvg2-bin).
#
#   sh make-icons.sh
set -eu
cd "$(dirname "$0")"

id=example.quellon.Quellon
for size in 16 32 48 64 128 256; do
    svg=$id.svg
    [ "$size" -eq 16 ] && svg=$id-16.svg
    mkdir -p "hicolor/${size}x${size}/apps"
    rsvg-convert --width "$size" --height "$size" --output "hicolor/${size}x${size}/apps/$id.png" "$svg"
done
