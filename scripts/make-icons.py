#!/usr/bin/env python3
"""Renders the application icon in the sizes of the hicolor icon theme.

Usage: make-icons.py OUTDIR ART.png [ART.png ...]

Writes OUTDIR/<n>x<n>/apps/kestrel.png for every size of SIZES. The art pictures are
square PNGs of the program's icon; a size for which a picture of exactly that size is given
takes it unchanged, every other size is resampled from the largest picture given.
"""
import os
import sys

from PIL import Image

SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    outdir, paths = argv[1], argv[2:]
    art = {}
    for path in paths:
        picture = Image.open(path).convert("RGBA")
        if picture.width != picture.height:
            print(f"make-icons: {path} is {picture.width}x{picture.height}, not square", file=sys.stderr)
            return 1
        art[picture.width] = picture
    largest = art[max(art)]
    for size in SIZES:
        picture = art.get(size) or largest.resize((size, size), Image.Resampling.LANCZOS)
        folder = os.path.join(outdir, f"{size}x{size}", "apps")
        os.makedirs(folder, exist_ok=True)
        picture.save(os.path.join(folder, "kestrel.png"), optimize=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
