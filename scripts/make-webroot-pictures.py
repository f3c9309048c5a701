#!/usr/bin/python3
"""Remakes the pictures of the starter web site in resources/webroot/.

The camera-off pictures (24-bit BMP at each capture size), the "small picture not
shown" picture, the "password needed" picture and the folder-listing icons (GIF).
Needs Debian's python3-pil and fonts-ipafont-gothic. Run from anywhere:
    scripts/make-webroot-pictures.py
"""
import os
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "webroot")
FONT_PATHS = [
    "/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf",
    "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
]


def font(size):
    for path in FONT_PATHS:
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    sys.exit("make-webroot-pictures: no Japanese font found (install fonts-ipafont-gothic)")


def fitted_font(draw, lines, width, height):
    """The largest font with which every line fits in width x height."""
    size = max(6, height // max(1, len(lines)))
    while size > 6:
        f = font(size)
        boxes = [draw.textbbox((0, 0), line, font=f) for line in lines]
        total = sum(b[3] - b[1] for b in boxes) + (len(lines) - 1) * size // 4
        if max(b[2] - b[0] for b in boxes) <= width and total <= height:
            return f
        size -= 1
    return font(6)


def centred_text(img, lines, colour, area_fraction=0.8):
    draw = ImageDraw.Draw(img)
    w, h = img.size
    f = fitted_font(draw, lines, int(w * area_fraction), int(h * 0.5))
    boxes = [draw.textbbox((0, 0), line, font=f) for line in lines]
    gap = f.size // 4
    total = sum(b[3] - b[1] for b in boxes) + gap * (len(lines) - 1)
    y = (h - total) // 2
    for line, b in zip(lines, boxes):
        lw, lh = b[2] - b[0], b[3] - b[1]
        draw.text(((w - lw) // 2 - b[0], y - b[1]), line, font=f, fill=colour)
        y += lh + gap


def camera_off(width, height):
    img = Image.new("RGB", (width, height), (24, 28, 36))
    draw = ImageDraw.Draw(img)
    # A simple camera outline with a slash across it, above the text.
    s = min(width, height) // 6
    cx, cy = width // 2, height // 4 + s // 4
    draw.rounded_rectangle((cx - s, cy - s * 2 // 3, cx + s * 2 // 3, cy + s * 2 // 3),
                           radius=max(1, s // 5), outline=(150, 156, 168), width=max(1, s // 8))
    draw.polygon([(cx + s * 2 // 3, cy), (cx + s * 3 // 2, cy - s // 2), (cx + s * 3 // 2, cy + s // 2)],
                 outline=(150, 156, 168))
    draw.line((cx - s * 4 // 3, cy + s, cx + s * 5 // 3, cy - s), fill=(220, 80, 70), width=max(1, s // 6))
    lines = ["カメラはオフです"] if width < 300 else ["カメラはオフです", "しばらくお待ちください"]
    band = Image.new("RGB", (width, height // 2), (24, 28, 36))
    centred_text(band, lines, (235, 235, 235))
    img.paste(band, (0, height // 2))
    return img


def no_phone():
    img = Image.new("RGB", (118, 90), (60, 64, 72))
    centred_text(img, ["小さい画像は", "表示されません"], (240, 240, 240), 0.9)
    return img


def password_needed():
    img = Image.new("RGB", (320, 240), (40, 44, 52))
    draw = ImageDraw.Draw(img)
    # A padlock.
    draw.rounded_rectangle((130, 60, 190, 110), radius=6, fill=(230, 190, 70))
    draw.arc((138, 28, 182, 80), 180, 360, fill=(230, 190, 70), width=7)
    draw.ellipse((155, 77, 165, 87), fill=(40, 44, 52))
    band = Image.new("RGB", (320, 110), (40, 44, 52))
    centred_text(band, ["パスワードが必要です"], (245, 245, 245), 0.85)
    img.paste(band, (0, 120))
    return img


def icon(kind):
    img = Image.new("P", (20, 22), 0)
    img.putpalette([255, 255, 255, 0, 0, 0, 250, 250, 250, 232, 196, 80, 90, 120, 200] + [0] * (256 - 5) * 3)
    draw = ImageDraw.Draw(img)
    if kind == "File":
        draw.polygon([(4, 2), (12, 2), (16, 6), (16, 19), (4, 19)], fill=2, outline=1)
        draw.line((12, 2, 12, 6, 16, 6), fill=1)
        for y in (9, 12, 15):
            draw.line((6, y, 14, y), fill=4)
    elif kind == "Folder":
        draw.polygon([(1, 6), (7, 6), (9, 8), (18, 8), (18, 18), (1, 18)], fill=3, outline=1)
    elif kind == "Prev":
        draw.polygon([(10, 3), (17, 10), (13, 10), (13, 18), (7, 18), (7, 10), (3, 10)], fill=4, outline=1)
    return img


def save_bmp(img, name):
    path = os.path.join(ROOT, name)
    img.convert("RGB").save(path, format="BMP")  # RGB is written as 24 bits per pixel


def main():
    os.makedirs(os.path.join(ROOT, "SvrAdmin"), exist_ok=True)
    for w, h in ((80, 60), (160, 120), (176, 144), (320, 240), (640, 480)):
        save_bmp(camera_off(w, h), "off%dx%d.bmp" % (w, h))
    save_bmp(no_phone(), "nophone.bmp")
    password_needed().save(os.path.join(ROOT, "pass.jpg"), format="JPEG", quality=85)
    for kind in ("Blank", "File", "Folder", "Prev"):
        icon(kind).save(os.path.join(ROOT, "SvrAdmin", kind + ".gif"), format="GIF", transparency=0)
    print("make-webroot-pictures: pictures written to", os.path.normpath(ROOT))


if __name__ == "__main__":
    main()
