#!/usr/bin/python3
"""Remakes the built-in skin in resources/skin/.

Writes every skin picture as a 24-bit BMP named <id>.bmp: the three backgrounds
(148: 446 x 350, 136: 610 x 495, 188: 933 x 690) and the pictures of the buttons, the
menu rows, the logo, the viewer meter and the activity lamp in each of their states, and
the program's mark as icon128-<size>.png (16 to 256 pixels). The window takes the shape
of the background: every pixel of the key colour RGB(57, 44, 83), which surrounds the
shape, is cut away.

Given a folder, it writes a skin folder there instead: the 17 files a skin folder holds
("base.bmp", "base1.bmp", "base2.bmp", the button pictures), a start for one's own skin.
--colour R,G,B changes the face colour.

Needs Debian's python3-pil and fonts-ipafont-gothic. Run from anywhere:
    scripts/make-skin-pictures.py                       # the built-in skin
    scripts/make-skin-pictures.py --folder DIR [--colour 150,60,40]
"""
import argparse
import os
import sys

from PIL import Image, ImageDraw, ImageFont

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources", "skin"))
FONT_PATHS = [
    "/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf",
    "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
]

KEY = (57, 44, 83)
STATUS = (208, 216, 208)  # address line and viewer-count display
UPTIME = (184, 188, 184)  # uptime display
INK = (20, 24, 28)
GREY_INK = (150, 150, 150)
GREY_FACE = (196, 196, 196)


def font(size):
    for path in FONT_PATHS:
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    sys.exit("make-skin-pictures: no Japanese font found (install fonts-ipafont-gothic)")


def mix(a, b, t):
    return tuple(int(round(x + (y - x) * t)) for x, y in zip(a, b))


def lighter(c, t=0.45):
    return mix(c, (255, 255, 255), t)


def darker(c, t=0.35):
    return mix(c, (0, 0, 0), t)


def no_key(img, shape=None):
    """Moves any pixel inside the shape (or anywhere, without one) that happens to have
    the key colour one step off it, and gives every pixel outside the shape the key."""
    px = img.load()
    inside = shape.load() if shape else None
    w, h = img.size
    for y in range(h):
        for x in range(w):
            if inside and not inside[x, y]:
                px[x, y] = KEY
            elif px[x, y] == KEY:
                px[x, y] = (KEY[0] + 1, KEY[1], KEY[2])
    return img


def text_centred(draw, box, text, colour, size):
    f = font(size)
    while size > 6:
        b = draw.textbbox((0, 0), text, font=f)
        if b[2] - b[0] <= box[2] - box[0] - 2 and b[3] - b[1] <= box[3] - box[1]:
            break
        size -= 1
        f = font(size)
    b = draw.textbbox((0, 0), text, font=f)
    x = box[0] + (box[2] - box[0] - (b[2] - b[0])) // 2 - b[0]
    y = box[1] + (box[3] - box[1] - (b[3] - b[1])) // 2 - b[1]
    draw.text((x, y), text, font=f, fill=colour)


class Palette:
    def __init__(self, face):
        self.face = face                 # the body
        self.band = darker(face, 0.45)   # title band
        self.panel = lighter(face, 0.25)
        self.edge = darker(face, 0.6)


# Background layout shared by the three sizes: (window width, height, preview area).
CLASSES = {148: (446, 350, 444, 349), 136: (610, 495, 610, 495), 188: (933, 690, 933, 690)}
PREVIEW_MAX = {148: (176, 144), 136: (320, 240), 188: (640, 480)}


def background(pid, pal):
    pw, ph, ww, wh = CLASSES[pid]
    img = Image.new("RGB", (pw, ph), KEY)
    d = ImageDraw.Draw(img)
    # The body: a rounded shape one pixel inside the window on every side, so the key
    # colour surrounds it; PIL draws it without antialiasing.
    right, bottom = ww - 3, wh - 3
    shape = Image.new("1", (pw, ph), 0)
    ImageDraw.Draw(shape).rounded_rectangle((1, 1, right, bottom), radius=14, fill=1)
    d.rounded_rectangle((1, 1, right, bottom), radius=14, fill=pal.edge)
    d.rounded_rectangle((3, 3, right - 2, bottom - 2), radius=12, fill=pal.face)
    # Title band with the logo, the driver list and the window buttons.
    d.rounded_rectangle((3, 3, right - 2, 40), radius=12, fill=pal.band)
    d.rectangle((3, 28, right - 2, 40), fill=pal.band)
    d.rectangle((0 + 1, 31, 16, 40), fill=pal.edge)  # the lamp's socket on the left edge
    # Address line, viewer list and the three buttons below it.
    d.rectangle((30, 42, 158, 56), fill=STATUS)
    d.rectangle((26, 57, 357, 116), fill=pal.edge)
    d.rectangle((160, 93, 366, 130), fill=pal.band)
    # Menu rows.
    d.rectangle((26, 125, 132, 253), fill=pal.edge)
    d.rectangle((28, 127, 130, 251), fill=pal.panel)
    # Uptime, meter and viewer count.
    d.rectangle((28, 257, 132, 310), fill=pal.edge)
    d.rectangle((30, 259, 130, 274), fill=UPTIME)
    text_centred(d, (31, 260, 74, 273), "稼働時間", INK, 10)
    d.rectangle((30, 275, 130, 292), fill=darker(pal.face, 0.7))
    d.rectangle((30, 292, 130, 308), fill=STATUS)
    # The preview's recess, room for the largest frame of this class.
    mw, mh = PREVIEW_MAX[pid]
    d.rectangle((160, 145, 166 + mw + 5, 151 + mh + 5), fill=pal.edge)
    d.rectangle((163, 148, 166 + mw + 2, 151 + mh + 2), fill=(16, 16, 16))
    # Name plate at the bottom right.
    text_centred(d, (right - 130, bottom - 26, right - 14, bottom - 6), "Kestrel Live Camera",
                 lighter(pal.face, 0.6), 12)
    return no_key(img, shape)


def button(size, label, fill, ink, edge):
    """The viewer list covers the buttons' tops down to y = 114, so the label sits in the
    lowest 12 pixels."""
    img = Image.new("RGB", size, edge)
    d = ImageDraw.Draw(img)
    w, h = size
    d.rounded_rectangle((0, 0, w - 1, h - 1), radius=4, fill=edge)
    d.rounded_rectangle((1, 1, w - 2, h - 2), radius=3, fill=fill)
    text_centred(d, (2, h - 13, w - 2, h - 1), label, ink, 11)
    return no_key(img)


def row(size, text, fill, ink):
    img = Image.new("RGB", size, fill)
    d = ImageDraw.Draw(img)
    text_centred(d, (4, 0, size[0] - 4, size[1]), text, ink, size[1] - 3)
    return no_key(img)


def meter(n, pal):
    img = Image.new("RGB", (92, 13), darker(pal.face, 0.7))
    d = ImageDraw.Draw(img)
    for i in range(11):
        x = 2 + i * 7
        on = i < n
        colour = (90, 220, 110) if i < 7 else (240, 200, 60) if i < 10 else (240, 90, 70)
        d.rectangle((x, 3, x + 4, 9), fill=colour if on else (60, 66, 72))
    if n >= 11:  # more than ten viewers: an overflow mark
        d.polygon([(81, 1), (90, 6), (81, 11)], fill=(255, 70, 60))
    return no_key(img)


def lamp(on):
    img = Image.new("RGB", (14, 5), (30, 30, 30))
    d = ImageDraw.Draw(img)
    d.rectangle((1, 1, 12, 3), fill=(255, 170, 40) if on else (80, 64, 40))
    return no_key(img)


def window_button(glyph, fill, ink, edge):
    img = Image.new("RGB", (14, 20), edge)
    d = ImageDraw.Draw(img)
    d.rectangle((1, 1, 12, 18), fill=fill)
    if glyph == "?":
        text_centred(d, (1, 2, 13, 18), "?", ink, 14)
    elif glyph == "_":
        d.rectangle((3, 13, 10, 14), fill=ink)
    else:
        d.line((3, 5, 10, 14), fill=ink, width=2)
        d.line((10, 5, 3, 14), fill=ink, width=2)
    return no_key(img)


def logo(hover, pal):
    fill = lighter(pal.band, 0.35) if hover else pal.band
    img = Image.new("RGB", (94, 29), fill)
    d = ImageDraw.Draw(img)
    # The mark: a falcon's wing over a lens.
    d.ellipse((3, 6, 21, 24), fill=(240, 240, 240))
    d.ellipse((8, 11, 16, 19), fill=(30, 40, 60))
    d.polygon([(2, 10), (22, 3), (14, 12)], fill=(230, 130, 40))
    text_centred(d, (24, 3, 92, 26), "Kestrel", (255, 255, 255) if hover else (235, 235, 235), 18)
    return no_key(img)


ROWS = [  # (text, normal id, hover id, greyed id or None, height)
    ("基本設定", 144, 145, None, 15),
    ("サーバー設定", 154, 153, None, 14),
    ("イメージ設定", 152, 158, None, 15),
    ("ビデオフォーマット", 156, 155, 191, 15),
    ("ビデオソース", 151, 157, 190, 15),
    ("ビデオ表示", 146, 147, 192, 16),
    ("URL登録", 149, 150, None, 14),
    ("HTML設定", 199, 198, None, 15),
]


def pictures(pal):
    """Every skin picture by id."""
    out = {pid: background(pid, pal) for pid in CLASSES}
    on_fill = lighter(pal.face, 0.55)
    for text, normal, hover, grey, h in ROWS:
        out[normal] = row((98, h), text, pal.panel, INK)
        out[hover] = row((98, h), text, lighter(pal.panel, 0.6), darker(pal.face, 0.5))
        if grey:
            out[grey] = row((98, h), text, GREY_FACE, GREY_INK)
    edge = pal.edge
    out[174] = button((67, 23), "プレビュー", (120, 200, 255), INK, edge)     # preview on
    out[175] = button((67, 23), "プレビュー", darker(on_fill, 0.15), INK, edge)
    out[163] = button((81, 31), "▶ 配信中", (110, 220, 120), INK, edge)      # server running
    out[160] = button((81, 31), "▶ スタート", darker(on_fill, 0.15), INK, edge)
    out[164] = button((37, 26), "■", (240, 110, 90), INK, edge)              # server stopped
    out[161] = button((37, 26), "■", darker(on_fill, 0.15), INK, edge)
    out[172] = logo(False, pal)
    out[173] = logo(True, pal)
    out[189] = meter(0, pal)
    for n in range(1, 12):
        out[176 + n] = meter(n, pal)
    out[138] = lamp(True)
    out[139] = lamp(False)
    for glyph, normal, hover in (("?", 165, 176), ("_", 170, 171), ("x", 168, 169)):
        out[normal] = window_button(glyph, pal.band, (230, 230, 230), edge)
        out[hover] = window_button(glyph, lighter(pal.band, 0.5), (255, 255, 255), edge)
    return out


FOLDER_FILES = {  # skin folder file: picture id
    "base.bmp": 148, "base1.bmp": 136, "base2.bmp": 188,
    "captrue_off.bmp": 175, "captrue_on.bmp": 174,
    "end_off.bmp": 168, "end_over.bmp": 169,
    "help_off.bmp": 165, "help_over.bmp": 176,
    "small_off.bmp": 170, "small_over.bmp": 171,
    "start_off.bmp": 160, "start_on.bmp": 163, "start_over.bmp": 160,
    "stop_off.bmp": 161, "stop_on.bmp": 164, "stop_over.bmp": 161,
}


def icon(size):
    big = 256
    img = Image.new("RGBA", (big, big), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    d.rounded_rectangle((8, 8, 248, 248), radius=48, fill=(36, 58, 84, 255))
    d.ellipse((56, 72, 200, 216), fill=(240, 240, 240, 255))
    d.ellipse((96, 112, 160, 176), fill=(30, 40, 60, 255))
    d.polygon([(24, 96), (216, 24), (140, 112)], fill=(230, 130, 40, 255))
    return img.resize((size, size), Image.LANCZOS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--folder", help="write a skin folder here instead of the built-in skin")
    parser.add_argument("--colour", default="70,96,120", help="face colour R,G,B")
    args = parser.parse_args()
    face = tuple(int(v) for v in args.colour.split(","))
    if len(face) != 3 or face == KEY:
        sys.exit("make-skin-pictures: --colour needs R,G,B other than the key colour")
    pics = pictures(Palette(face))
    if args.folder:
        os.makedirs(args.folder, exist_ok=True)
        for name, pid in FOLDER_FILES.items():
            pics[pid].save(os.path.join(args.folder, name), "BMP")
        print("make-skin-pictures: wrote %d files to %s" % (len(FOLDER_FILES), args.folder))
        return
    os.makedirs(ROOT, exist_ok=True)
    for pid, img in sorted(pics.items()):
        img.save(os.path.join(ROOT, "%d.bmp" % pid), "BMP")
    sizes = (16, 24, 32, 48, 64, 128, 256)
    for s in sizes:
        icon(s).save(os.path.join(ROOT, "icon128-%d.png" % s), "PNG")
    with open(os.path.join(ROOT, "..", "skin.qrc"), "w", encoding="utf-8") as qrc:
        qrc.write('<!DOCTYPE RCC>\n<RCC version="1.0">\n<qresource prefix="/">\n')
        for pid in sorted(pics):
            qrc.write("  <file>skin/%d.bmp</file>\n" % pid)
        for s in sizes:
            qrc.write("  <file>skin/icon128-%d.png</file>\n" % s)
        qrc.write("</qresource>\n</RCC>\n")
    print("make-skin-pictures: wrote %d pictures and %d icons to %s" % (len(pics), len(sizes), ROOT))


if __name__ == "__main__":
    main()
