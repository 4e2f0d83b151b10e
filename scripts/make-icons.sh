#!/bin/sh
# Regenerates the committed icon images in resources/ from their SVG sources,
# so that building the program needs no image tools.
#   256, 128, 64, 48 and 32 px: vantrel.svg; 24 px: vantrel-24.svg;
#   16 px: vantrel-16.svg
#   (the small sizes are redrawn on their own pixel grid to stay sharp).
# Needs rsvg-convert (Debian: librsvg2-bin) and icotool (Debian: icoutils).
set -eu

res="$(cd "$(dirname "$0")/../resources" && pwd)"

for tool in rsvg-convert:librsvg2-bin icotool:icoutils; do
    if ! command -v "${tool%%:*}" >/dev/null 2>&1; then
        echo "make-icons: ${tool%%:*} not found (apt-get install ${tool#*:})" >&2
        exit 1
    fi
done

render() { # size source
    rsvg-convert --width "$1" --height "$1" --format png \
        --output "$res/vantrel-$1.png" "$res/$2"
}

render 256 vantrel.svg
render 128 vantrel.svg
render 64 vantrel.svg
render 48 vantrel.svg
render 32 vantrel.svg
render 24 vantrel-24.svg
render 16 vantrel-16.svg

# Uncompressed 32-bit images (not embedded PNG) so that every Windows
# resource compiler and shell version reads all four.
icotool --create --bit-depth=32 --output="$res/vantrel.ico" \
    "$res/vantrel-48.png" "$res/vantrel-32.png" \
    "$res/vantrel-24.png" "$res/vantrel-16.png"

icotool --list "$res/vantrel.ico"
