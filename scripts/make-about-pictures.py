#!/usr/bin/python3
"""Remakes the pictures of the about box in resources/about/.

about.png: the about picture (a kestrel over a camera lens); maker.png: the picture of
the maker's web-site link; kestrel.gif: the small looping animation (a kestrel hovering,
wings beating, on a transparent background).
Needs Debian's python3-pil and fonts-ipafont-gothic. Run from anywhere:
    scripts/make-about-pictures.py
"""
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "about")
FONT_PATHS = [
    "/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf",
    "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
]
RUST = (176, 84, 40)
SLATE = (72, 88, 112)
CREAM = (244, 236, 220)


def font(size):
    for path in FONT_PATHS:
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    sys.exit("make-about-pictures: no Japanese font found (install fonts-ipafont-gothic)")


def bird(draw, cx, cy, scale, wing, colours=None):
    """A kestrel seen from below: body, tail, head and two wings raised by `wing` (-1..1).
    `colours` maps the colours to palette indices when drawing on a palette picture."""
    RUST_, SLATE_ = (colours[RUST], colours[SLATE]) if colours else (RUST, SLATE)
    s = scale
    draw.ellipse([cx - 4 * s, cy - 9 * s, cx + 4 * s, cy + 9 * s], fill=RUST_)          # body
    draw.polygon([(cx - 3 * s, cy + 7 * s), (cx + 3 * s, cy + 7 * s), (cx + 2 * s, cy + 16 * s),
                  (cx - 2 * s, cy + 16 * s)], fill=SLATE_)                                # tail
    draw.ellipse([cx - 3 * s, cy - 14 * s, cx + 3 * s, cy - 8 * s], fill=SLATE_)          # head
    lift = wing * 8 * s
    for side in (-1, 1):
        tip = (cx + side * 20 * s, cy - lift)
        draw.polygon([(cx + side * 3 * s, cy - 4 * s), tip, (cx + side * 16 * s, cy + 2 * s - lift / 2),
                      (cx + side * 3 * s, cy + 3 * s)], fill=RUST_, outline=SLATE_)


def about_picture():
    img = Image.new("RGB", (96, 96), CREAM)
    d = ImageDraw.Draw(img)
    d.ellipse([14, 30, 82, 94], fill=SLATE)            # lens
    d.ellipse([28, 44, 68, 84], fill=(30, 36, 48))
    d.ellipse([36, 50, 46, 60], fill=(200, 210, 230))  # glint
    bird(d, 48, 26, 1.6, 0.6)
    img.save(os.path.join(ROOT, "about.png"))


def maker_picture():
    img = Image.new("RGB", (132, 32), SLATE)
    d = ImageDraw.Draw(img)
    d.text((66, 16), "Velmora", font=font(20), fill=CREAM, anchor="mm")
    img.save(os.path.join(ROOT, "maker.png"))


def animation():
    # One shared palette: index 0 is transparent (the frame shows through), then the
    # bird's colours. Frames are drawn with palette indices, so no frame reorders them.
    palette = [255, 0, 255] + list(RUST) + list(SLATE)
    palette += [0, 0, 0] * (256 - len(palette) // 3)
    index = {RUST: 1, SLATE: 2}
    frames = []
    count = 12
    for i in range(count):
        img = Image.new("P", (64, 48), 0)
        img.putpalette(palette)
        d = ImageDraw.Draw(img)
        wing = math.sin(2 * math.pi * i / count)
        bird(d, 32, 22 + round(2 * math.sin(2 * math.pi * i / count + 1)), 1.2, wing, index)
        frames.append(img)
    frames[0].save(os.path.join(ROOT, "kestrel.gif"), save_all=True, append_images=frames[1:], duration=90,
                   loop=0, transparency=0, disposal=2, optimize=False)


if __name__ == "__main__":
    os.makedirs(ROOT, exist_ok=True)
    about_picture()
    maker_picture()
    animation()
    print("make-about-pictures: wrote", os.path.normpath(ROOT))
