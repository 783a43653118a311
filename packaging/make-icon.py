#!/usr/bin/python3
"""Draws kestrune.png, the 128x128 application icon.

A dark green relay board with its USB plug on the left and its eight relay
lamps, some lit lime (on) and some red (off). Drawn four times larger and
scaled down so that the edges come out smooth. Needs Pillow (python3-pil).

    python3 packaging/make-icon.py packaging/kestrune.png
"""
import sys

from PIL import Image, ImageDraw, ImageFilter

SIZE = 128
SCALE = 4
S = SIZE * SCALE

BOARD = (27, 94, 58, 255)
BOARD_EDGE = (13, 52, 31, 255)
TRACE = (44, 122, 78, 255)
PAD = (214, 175, 84, 255)
PLUG = (176, 184, 190, 255)
PLUG_EDGE = (96, 104, 110, 255)
BEZEL = (22, 30, 26, 255)
LIME = (160, 240, 60, 255)
LIME_GLOW = (170, 255, 70, 150)
RED = (214, 44, 44, 255)
HIGHLIGHT = (255, 255, 255, 130)

# Lamps, left to right, top row first: True is lit lime, False is red.
PATTERN = [True, False, True, True,
           False, True, False, True]


def s(v):
    return int(round(v * SCALE))


def main(out):
    img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)

    # USB plug sticking out of the left edge.
    d.rounded_rectangle([s(2), s(50), s(22), s(78)], radius=s(3),
                        fill=PLUG, outline=PLUG_EDGE, width=s(1.5))
    d.rectangle([s(6), s(57), s(14), s(71)], fill=PLUG_EDGE)

    # The board itself.
    d.rounded_rectangle([s(14), s(14), s(124), s(114)], radius=s(11),
                        fill=BOARD, outline=BOARD_EDGE, width=s(3))

    # Mounting holes in the corners.
    for cx, cy in ((24, 24), (114, 24), (24, 104), (114, 104)):
        d.ellipse([s(cx - 4.5), s(cy - 4.5), s(cx + 4.5), s(cy + 4.5)], fill=PAD)
        d.ellipse([s(cx - 2.2), s(cy - 2.2), s(cx + 2.2), s(cy + 2.2)], fill=BOARD_EDGE)

    # Traces from the plug to both rows of lamps.
    cols = [36, 58, 80, 102]
    rows = [46, 82]
    d.line([s(14), s(64), s(30), s(64)], fill=TRACE, width=s(3))
    d.line([s(30), s(46), s(30), s(82)], fill=TRACE, width=s(3))
    for y in rows:
        d.line([s(30), s(y), s(cols[-1]), s(y)], fill=TRACE, width=s(3))

    # Eight lamps in two rows of four. The lit ones first get a soft glow,
    # drawn on a layer of its own, blurred and laid over the board.
    r = 8.5
    lamps = [(cols[i % 4], rows[i // 4], lit) for i, lit in enumerate(PATTERN)]
    glow = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    gd = ImageDraw.Draw(glow)
    for cx, cy, lit in lamps:
        if lit:
            gr = r + 5
            gd.ellipse([s(cx - gr), s(cy - gr), s(cx + gr), s(cy + gr)], fill=LIME_GLOW)
    img = Image.alpha_composite(img, glow.filter(ImageFilter.GaussianBlur(s(3))))

    d = ImageDraw.Draw(img)
    for cx, cy, lit in lamps:
        d.ellipse([s(cx - r - 2), s(cy - r - 2), s(cx + r + 2), s(cy + r + 2)],
                  fill=BEZEL)
        d.ellipse([s(cx - r), s(cy - r), s(cx + r), s(cy + r)],
                  fill=LIME if lit else RED)
        # Small highlight towards the upper left.
        d.ellipse([s(cx - 5), s(cy - 5.5), s(cx - 0.5), s(cy - 2)], fill=HIGHLIGHT)

    img = img.resize((SIZE, SIZE), Image.LANCZOS)
    img.save(out, "PNG", optimize=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "kestrune.png")
