#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Draws the program's artwork with ImageMagick: the application icon at 32 x 32 and 16 x 16 (16
# colours) and the 156 x 157 picture shown on the main window (256 colours), each also at two and
# three times its size (name@2x.png, name@3x.png) for screens scaled by 1.5, 2 or more. Every size
# is drawn from the same shapes, not enlarged from the small one. The PNGs are kept in the
# repository, so building needs no ImageMagick; run this again only to change the artwork.
#
#   sh make-artwork.sh        (writes the PNGs next to itself)
set -eu
cd "$(dirname "$0")"

red='#dd0000'
font=DejaVu-Sans-Bold

# The icon: a page with lines of text, struck out by a red cross. $1 = scale, $2 = file.
icon32() {
    s=$1
    convert -size $((32 * s))x$((32 * s)) xc:none -affine "$s,0,0,$s,0,0" \
        -fill white -stroke '#303030' -strokewidth 1 -draw 'polygon 6.5,2.5 20.5,2.5 26.5,8.5 26.5,29.5 6.5,29.5' \
        -fill '#c0c0c0' -draw 'polygon 20.5,2.5 20.5,8.5 26.5,8.5' \
        -stroke '#808080' -draw 'line 10,12 23,12' -draw 'line 10,16 23,16' -draw 'line 10,20 23,20' \
        -draw 'line 10,24 19,24' \
        -stroke "$red" -strokewidth 4 -draw 'line 5,9 27,31' -draw 'line 27,9 5,31' \
        -colors 16 "PNG8:$2"
}

icon32 1 icon-32.png
icon32 2 icon-32@2x.png
icon32 3 icon-32@3x.png

convert -size 16x16 xc:none \
    -fill white -stroke '#303030' -strokewidth 1 -draw 'polygon 3.5,1.5 10.5,1.5 13.5,4.5 13.5,14.5 3.5,14.5' \
    -stroke '#808080' -draw 'line 5,7 11,7' -draw 'line 5,10 11,10' \
    -stroke "$red" -strokewidth 2 -draw 'line 2,5 14,15' -draw 'line 14,5 2,15' \
    -colors 16 PNG8:icon-16.png

# The picture: WIPE in red capitals, one letter below the other, above "Files Securely".
# $1 = scale, $2 = file.
picture() {
    s=$1
    convert -size $((156 * s))x$((157 * s)) xc:none -fill "$red" -font "$font" \
        -pointsize $((26 * s)) -gravity north \
        -annotate +0+$((2 * s)) 'W' -annotate +0+$((29 * s)) 'I' -annotate +0+$((56 * s)) 'P' \
        -annotate +0+$((83 * s)) 'E' \
        -pointsize $((15 * s)) -annotate +0+$((127 * s)) 'Files Securely' \
        -colors 256 "PNG8:$2"
}

picture 1 wipe.png
picture 2 wipe@2x.png
picture 3 wipe@3x.png
