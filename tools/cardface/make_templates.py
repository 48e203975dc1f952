#!/usr/bin/python3
"""Draws the two card-face templates and writes them as planar YUV 4:2:0.

Each face is 340 x 214 pixels: a light guilloche background on a card with
rounded white corners. The front carries the grey-blue captions of the
personal data and a light area for the portrait; the back a stylised
national emblem, the two title lines, a Great Wall motif and the captions of
the issuing authority and the validity period. All artwork is drawn here
from shapes and a system Chinese font; nothing is copied from a card.

The composer draws each field right of its caption with the field's
baseline on (or one row below) the caption's bottom row, so every caption is
fitted until its ink box (pixels of luminance below 150) is the one in
CAPTIONS: font size, letter spacing and sub-pixel position are searched.

Output: the front canvas immediately followed by the back canvas, each the
Y plane (340 x 214), then U and V (170 x 107 each), full-range YCbCr as in
JFIF, 109,140 bytes per face.

With --other-cards it draws the faces of the other card types in the same
style instead: the residence permit for Hong Kong, Macao and Taiwan
residents (the committed resident front with its nation caption covered by
the bare background; a back titled
港澳台居民居住证 with the authority, validity, travel permit number and number
of issues) and the foreign permanent resident ID card (front with Chinese
and English name, gender, nationality, birth date and number; back with
validity and the accepting authority's code); their captions are placed at
the baselines the composer draws on (PLACED_CAPTIONS).

Usage: make_templates.py [--font FILE] [--preview DIR] [--other-cards RESIDENT] [OUTPUT]
Run with Debian's python3 (python3-pil, python3-numpy).
"""
import argparse
import math
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

WIDTH, HEIGHT = 340, 214
SS = 4                  # supersampling of the artwork
TEXT_SS = 8             # supersampling of fitted captions (1/8-pixel steps)
CORNER_RADIUS = 12
INK_THRESHOLD = 150     # luminance below this counts as caption ink
ROBUSTNESS = 4          # the fitted boxes hold for thresholds 150 +/- this
OUTPUT = "resources/cardface-templates.yuv"
FONT = "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc"

CAPTION_COLOUR = (66, 92, 132)      # grey-blue
TITLE_COLOUR = (34, 34, 38)

# Caption ink boxes: text, face, x0, x1, y0, y1 (inclusive).
CAPTIONS = [
    ("姓名", "front", 29, 54, 34, 42),
    ("性别", "front", 29, 54, 59, 68),
    ("民族", "front", 105, 131, 60, 68),
    ("出生", "front", 29, 54, 86, 94),
    ("年", "front", 105, 113, 86, 94),
    ("月", "front", 138, 144, 86, 94),
    ("日", "front", 170, 176, 86, 94),
    ("住址", "front", 29, 54, 113, 121),
    ("公民身份号码", "front", 29, 101, 179, 189),
    ("签发机关", "back", 84, 130, 155, 165),
    ("有效期限", "back", 84, 129, 182, 191),
]

# Where the portrait is pasted (x, y, width, height); kept light.
PORTRAIT_AREA = (213, 31, 102, 126)

# The faces of the other card types. Their captions are placed, not fitted:
# text, face, x of the caption's left edge, its baseline row, font size. Each
# baseline is the row the composer draws the field's baseline on (strip top
# plus baseline row), the caption ending left of the field's strip.
#   "permit-*": residence permit for Hong Kong, Macao and Taiwan residents;
#     its front is the resident front without the nation caption.
#   "foreign-*": foreign permanent resident ID card.
PLACED_CAPTIONS = [
    ("签发机关", "permit-back", 70, 149, 11),
    ("有效期限", "permit-back", 70, 167, 11),
    ("通行证号码", "permit-back", 70, 185, 11),
    ("签发次数", "permit-back", 70, 203, 11),
    ("姓名", "foreign-front", 22, 42, 11),
    ("英文姓名", "foreign-front", 22, 67, 11),
    ("性别", "foreign-front", 22, 92, 11),
    ("国籍", "foreign-front", 124, 92, 11),
    ("出生日期", "foreign-front", 22, 117, 11),
    ("证件号码", "foreign-front", 22, 190, 11),
    ("有效期限", "foreign-back", 84, 166, 11),
    ("受理机关", "foreign-back", 84, 191, 11),
]
CAPTION_SPACING = 1.0
# The second title line of each back: text, size, letter spacing.
BACK_TITLES = {
    "back": ("居民身份证", 29, 8.5),
    "permit-back": ("港澳台居民居住证", 21, 4.0),
    "foreign-back": ("外国人永久居留身份证", 17, 2.0),
}
# The background colours of each front: gradient corners and the glow.
FRONT_COLOURS = {
    "front": ((214, 230, 240), (240, 230, 226), (246, 226, 222)),
    "foreign-front": ((222, 236, 222), (242, 234, 216), (244, 238, 212)),
}


# ---------------------------------------------------------------- helpers

def luminance(rgb):
    return 0.299 * rgb[..., 0] + 0.587 * rgb[..., 1] + 0.114 * rgb[..., 2]


def reduce(image, factor):
    """Box-filters a supersampled 'L' image (or float array) to coverage 0..1."""
    a = np.asarray(image, dtype=np.float64)
    h, w = a.shape[0] // factor, a.shape[1] // factor
    return a[:h * factor, :w * factor].reshape(h, factor, w, factor).mean(axis=(1, 3)) / 255.0


def blend(rgb, coverage, colour, alpha=1.0):
    c = (coverage * alpha)[..., None]
    return rgb * (1 - c) + np.asarray(colour, dtype=np.float64) * c


def new_layer():
    return Image.new("L", (WIDTH * SS, HEIGHT * SS), 0)


def gradient(top_left, bottom_right, glow_centre, glow_colour, glow_radius):
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)
    t = ((x / WIDTH) * 0.6 + (y / HEIGHT) * 0.4)[..., None]
    rgb = np.asarray(top_left, float) * (1 - t) + np.asarray(bottom_right, float) * t
    d = np.hypot(x - glow_centre[0], y - glow_centre[1]) / glow_radius
    g = np.clip(1 - d, 0, 1) ** 2
    return blend(rgb, g, glow_colour, 0.6)


def waves(draw, count, y_from, y_step, amplitude, period, amplitude2, period2, phase_step,
          width=1):
    """A family of compound sine lines across the card."""
    for k in range(count):
        y0 = y_from + k * y_step
        phase = k * phase_step
        points = []
        for xs in range(0, WIDTH * SS + 1, 2):
            x = xs / SS
            y = (y0 + amplitude * math.sin(2 * math.pi * x / period + phase)
                 + amplitude2 * math.sin(2 * math.pi * x / period2 - 1.7 * phase))
            points.append((xs, y * SS))
        draw.line(points, fill=255, width=width)


def rosette(draw, cx, cy, big, small, arm, turns, steps=2400, width=1):
    """An epitrochoid: the classic guilloche rosette. With small = big * p / q
    (lowest terms) the curve closes after p turns with q loops."""
    points = []
    for i in range(steps + 1):
        t = 2 * math.pi * turns * i / steps
        x = (big + small) * math.cos(t) - arm * math.cos((big + small) / small * t)
        y = (big + small) * math.sin(t) - arm * math.sin((big + small) / small * t)
        points.append(((cx + x) * SS, (cy + y) * SS))
    draw.line(points, fill=255, width=width)


def card_mask():
    layer = new_layer()
    ImageDraw.Draw(layer).rounded_rectangle(
        (0, 0, WIDTH * SS - 1, HEIGHT * SS - 1), radius=CORNER_RADIUS * SS, fill=255)
    return reduce(layer, SS)


def star_points(cx, cy, outer, rotation=-math.pi / 2):
    inner = outer * 0.382
    pts = []
    for i in range(10):
        r = outer if i % 2 == 0 else inner
        a = rotation + i * math.pi / 5
        pts.append(((cx + r * math.cos(a)) * SS, (cy + r * math.sin(a)) * SS))
    return pts


def text_layer(font_path, text, x, y, size, spacing, factor, stroke=0):
    """Draws text one character at a time at a fractional position and size
    (both in output pixels) into a layer supersampled by `factor`."""
    font = ImageFont.truetype(font_path, max(1, round(size * factor)), index=0)
    layer = Image.new("L", (WIDTH * factor, HEIGHT * factor), 0)
    draw = ImageDraw.Draw(layer)
    pen = x * factor
    for ch in text:
        draw.text((round(pen), round(y * factor)), ch, font=font, fill=255,
                  stroke_width=stroke, stroke_fill=255)
        pen += font.getlength(ch) + spacing * factor
    return layer


# ---------------------------------------------------------------- captions

def ink_box(y_plane, x0, x1, y0, y1, margin=4):
    """Bounding box of luminance below the threshold around a target box."""
    xa, xb = max(0, x0 - margin), min(WIDTH, x1 + margin + 1)
    ya, yb = max(0, y0 - margin), min(HEIGHT, y1 + margin + 1)
    ys, xs = np.nonzero(y_plane[ya:yb, xa:xb] < INK_THRESHOLD)
    if len(xs) == 0:
        return None
    return (xa + xs.min(), xa + xs.max(), ya + ys.min(), ya + ys.max())


def box_error(box, target):
    if box is None:
        return 1000
    return sum(abs(a - b) for a, b in zip(box, target))


def caption_coverage(font_path, text, px, py, size, spacing, region):
    """The caption's coverage (0..1) over region = (x, y, width, height) of
    the card, the text drawn at (px, py) in card pixels."""
    rx, ry, rw, rh = region
    font = ImageFont.truetype(font_path, max(1, round(size * TEXT_SS)), index=0)
    layer = Image.new("L", (rw * TEXT_SS, rh * TEXT_SS), 0)
    draw = ImageDraw.Draw(layer)
    pen = (px - rx) * TEXT_SS
    for ch in text:
        draw.text((round(pen), round((py - ry) * TEXT_SS)), ch, font=font, fill=255)
        pen += font.getlength(ch) + spacing * TEXT_SS
    return reduce(layer, TEXT_SS)


def fit_caption(font_path, rgb, text, target):
    """Finds size, spacing and position that give the caption its ink box on
    this background; returns the caption's coverage over the whole card."""
    x0, x1, y0, y1 = target
    margin = 6
    region = (x0 - margin, y0 - margin, x1 - x0 + 1 + 2 * margin, y1 - y0 + 1 + 2 * margin)
    rx, ry, rw, rh = region
    patch = rgb[ry:ry + rh, rx:rx + rw]
    local = (x0 - rx, x1 - rx, y0 - ry, y1 - ry)
    height = y1 - y0 + 1
    width = x1 - x0 + 1
    best = None
    for size in [s / TEXT_SS for s in range(8 * TEXT_SS, 14 * TEXT_SS + 1)]:
        font = ImageFont.truetype(font_path, round(size * TEXT_SS), index=0)
        left, top, right, bottom = font.getbbox(text[0])
        # The glyph's full height is a little above the ink height counted
        # under the threshold.
        if not (height - 0.5 <= (bottom - top) / TEXT_SS <= height + 2.5):
            continue
        natural = font.getlength(text) / TEXT_SS
        spacings = [0.0] if len(text) == 1 else [
            (width - natural) / (len(text) - 1) + d / TEXT_SS for d in range(-24, 25)]
        for spacing in spacings:
            for subx in range(0, TEXT_SS, 2):
                for suby in range(0, TEXT_SS, 2):
                    # The glyph box's top-left on the target, then measured.
                    px = x0 - left / TEXT_SS + subx / TEXT_SS
                    py = y0 - top / TEXT_SS + suby / TEXT_SS
                    cov = caption_coverage(font_path, text, px, py, size, spacing, region)
                    y = luminance(blend(patch, cov, CAPTION_COLOUR))
                    box = ink_box(y, *local, margin=margin)
                    if box is None:
                        continue
                    # Whole-pixel shift that lines the box up with the target.
                    dx, dy = local[0] - box[0], local[2] - box[2]
                    err = box_error((box[0] + dx, box[1] + dx, box[2] + dy, box[3] + dy), local)
                    # A box that a slightly different threshold would change
                    # is fragile (rounding to 8 bits can move it): penalise.
                    for offset in (-ROBUSTNESS, ROBUSTNESS):
                        other = ink_box(y + offset, *local, margin=margin)
                        if other != box:
                            err += 0.5
                    key = (err, abs(size - 10.5), abs(dx) + abs(dy))
                    if best is None or key < best[0]:
                        best = (key, size, spacing, px + dx, py + dy)
    if best is None:
        sys.exit("no fit for caption %s" % text)
    _, size, spacing, px, py = best
    cov = np.zeros((HEIGHT, WIDTH))
    cov[ry:ry + rh, rx:rx + rw] = caption_coverage(font_path, text, px, py, size, spacing,
                                                    region)
    return cov, (size, spacing, px, py)


def add_captions(font_path, rgb, face):
    for text, where, x0, x1, y0, y1 in CAPTIONS:
        if where != face:
            continue
        cov, params = fit_caption(font_path, rgb, text, (x0, x1, y0, y1))
        rgb = blend(rgb, cov, CAPTION_COLOUR)
        box = ink_box(luminance(rgb), x0, x1, y0, y1)
        print("  %s: size %.3f spacing %.3f at (%.3f, %.3f) -> box %s, wanted %s"
              % (text, params[0], params[1], params[2], params[3], box, (x0, x1, y0, y1)))
    return rgb


def place_captions(font_path, rgb, face):
    """The placed captions of a face, each drawn from its baseline."""
    for text, where, x, baseline, size in PLACED_CAPTIONS:
        if where != face:
            continue
        font = ImageFont.truetype(font_path, round(size * TEXT_SS), index=0)
        layer = Image.new("L", (WIDTH * TEXT_SS, HEIGHT * TEXT_SS), 0)
        draw = ImageDraw.Draw(layer)
        pen = x * TEXT_SS
        for ch in text:
            draw.text((pen, baseline * TEXT_SS), ch, font=font, fill=255, anchor="ls")
            pen += font.getlength(ch) + CAPTION_SPACING * TEXT_SS
        rgb = blend(rgb, reduce(layer, TEXT_SS), CAPTION_COLOUR)
    return rgb


# ---------------------------------------------------------------- faces

def guilloche(rgb, families, rosettes):
    for colour, alpha, args in families:
        layer = new_layer()
        waves(ImageDraw.Draw(layer), *args)
        rgb = blend(rgb, reduce(layer, SS), colour, alpha)
    for colour, alpha, args in rosettes:
        layer = new_layer()
        rosette(ImageDraw.Draw(layer), *args)
        rgb = blend(rgb, reduce(layer, SS), colour, alpha)
    return rgb


def front_background(colours):
    top_left, bottom_right, glow = colours
    rgb = gradient(top_left, bottom_right, (150, 118), glow, 150)
    rgb = guilloche(rgb, [
        ((140, 176, 208), 0.60, (44, -8, 5.2, 3.0, 170, 1.6, 61, 0.17)),
        ((212, 160, 170), 0.50, (40, 0, 5.8, 4.2, 122, 2.2, 47, -0.21)),
    ], [
        ((136, 184, 190), 0.55, (150, 112, 44, 44 * 7 / 40, 20, 7, 8000)),
        ((196, 164, 196), 0.50, (150, 112, 22, 22 * 3 / 16, 10, 3, 4000)),
    ])
    # The portrait area is kept light: a soft, nearly white panel.
    x, y, w, h = PORTRAIT_AREA
    panel = Image.new("L", (WIDTH, HEIGHT), 0)
    ImageDraw.Draw(panel).rounded_rectangle((x - 4, y - 5, x + w + 3, y + h + 5), radius=6,
                                            fill=255)
    panel = panel.filter(ImageFilter.GaussianBlur(2.5))
    return blend(rgb, np.asarray(panel, float) / 255, (249, 250, 251), 0.82)


def front_face(font_path):
    return add_captions(font_path, front_background(FRONT_COLOURS["front"]), "front")


def permit_front_yuv(resident_front):
    """The resident front (its committed template, so that every other pixel
    stays the same) with the nation caption covered by the bare background:
    a permit has no nation."""
    background = to_yuv420(finish(front_background(FRONT_COLOURS["front"])))
    _, _, x0, x1, y0, y1 = next(c for c in CAPTIONS if c[0] == "民族")
    # Two pixels around the ink box for the caption's soft edge, on whole
    # chroma blocks.
    x0, y0 = (x0 - 2) // 2 * 2, (y0 - 2) // 2 * 2
    x1, y1 = (x1 + 4) // 2 * 2, (y1 + 4) // 2 * 2
    out = bytearray(resident_front)
    cw, ch = WIDTH // 2, HEIGHT // 2
    for y in range(y0, y1):
        row = y * WIDTH
        out[row + x0:row + x1] = background[row + x0:row + x1]
    for plane in (WIDTH * HEIGHT, WIDTH * HEIGHT + cw * ch):
        for y in range(y0 // 2, y1 // 2):
            row = plane + y * cw
            out[row + x0 // 2:row + x1 // 2] = background[row + x0 // 2:row + x1 // 2]
    return bytes(out)


def foreign_front_face(font_path):
    rgb = front_background(FRONT_COLOURS["foreign-front"])
    return place_captions(font_path, rgb, "foreign-front")


def great_wall(rgb):
    """Hills with a crenellated wall and watchtowers along their ridge."""
    def ridge(x):
        return 138 - 14 * math.sin(x / 48.0 + 0.6) - 7 * math.sin(x / 19.0 + 1.3)

    hills = new_layer()
    hd = ImageDraw.Draw(hills)
    outline = [(xs, (ridge(xs / SS) + 6) * SS) for xs in range(0, WIDTH * SS + 1, 4)]
    hd.polygon(outline + [(WIDTH * SS, 150 * SS), (0, 150 * SS)], fill=255)
    hills_cov = reduce(hills.filter(ImageFilter.GaussianBlur(SS * 1.5)), SS)
    fade = np.clip((150 - np.mgrid[0:HEIGHT, 0:WIDTH][0]) / 14.0, 0, 1)
    rgb = blend(rgb, hills_cov * fade, (214, 200, 170), 0.45)

    wall = new_layer()
    wd = ImageDraw.Draw(wall)
    x_from, x_to = 22, 326
    top = [(xs, (ridge(xs / SS) - 5) * SS) for xs in range(x_from * SS, x_to * SS + 1, 2)]
    bottom = [(xs, (ridge(xs / SS) + 1) * SS) for xs in range(x_to * SS, x_from * SS - 1, -2)]
    wd.polygon(top + bottom, fill=255)
    for x in range(x_from, x_to, 4):           # battlements
        y = ridge(x + 1) - 5
        wd.rectangle((x * SS, (y - 2) * SS, (x + 2) * SS, y * SS), fill=255)
    for x in (64, 150, 236, 300):               # watchtowers
        y = ridge(x)
        wd.rectangle(((x - 5) * SS, (y - 15) * SS, (x + 5) * SS, (y + 1) * SS), fill=255)
        for b in (-5, -1, 3):
            wd.rectangle(((x + b) * SS, (y - 18) * SS, (x + b + 2) * SS, (y - 15) * SS),
                         fill=255)
    wall_cov = reduce(wall, SS)
    rgb = blend(rgb, wall_cov, (206, 150, 126), 0.55)

    # Windows of the towers and brick lines, a little darker.
    marks = new_layer()
    md = ImageDraw.Draw(marks)
    for x in (64, 150, 236, 300):
        y = ridge(x)
        md.rectangle(((x - 2) * SS, (y - 11) * SS, (x + 2) * SS, (y - 6) * SS), fill=255)
    for xs in range(x_from * SS, x_to * SS, 2):
        x = xs / SS
        md.point((xs, (ridge(x) - 2) * SS), fill=255)
    return blend(rgb, reduce(marks, SS), (180, 120, 100), 0.5)


def emblem(rgb, cx, cy, radius):
    """A stylised national emblem: a red disc with five gold stars over a
    gate, framed by a wreath of grain ears and a cog wheel."""
    gold, red = (226, 172, 44), (204, 36, 34)
    layer_gold, layer_red = new_layer(), new_layer()
    g, r = ImageDraw.Draw(layer_gold), ImageDraw.Draw(layer_red)
    S = SS

    # Wreath: kernels along two arcs from the bottom up both sides.
    for side in (-1, 1):
        for i in range(15):
            a = math.radians(100 + i * 14) if side < 0 else math.radians(80 - i * 14)
            kx = cx + (radius - 3) * math.cos(a)
            ky = cy + (radius - 3) * math.sin(a)
            g.ellipse(((kx - 3.2) * S, (ky - 2.2) * S, (kx + 3.2) * S, (ky + 2.2) * S),
                      fill=255)
    # Cog wheel at the bottom.
    wx, wy = cx, cy + radius - 6
    for i in range(12):
        a = 2 * math.pi * i / 12
        g.rectangle(((wx + 7.5 * math.cos(a) - 1.4) * S, (wy + 7.5 * math.sin(a) - 1.4) * S,
                     (wx + 7.5 * math.cos(a) + 1.4) * S, (wy + 7.5 * math.sin(a) + 1.4) * S),
                    fill=255)
    g.ellipse(((wx - 7) * S, (wy - 7) * S, (wx + 7) * S, (wy + 7) * S), fill=255)

    # Red disc inside the wreath.
    inner = radius - 8
    r.ellipse(((cx - inner) * S, (cy - inner - 2) * S, (cx + inner) * S, (cy + inner - 2) * S),
              fill=255)
    # Ribbon ends beside the cog.
    for side in (-1, 1):
        r.polygon([((cx + side * 8) * S, (cy + radius - 9) * S),
                   ((cx + side * 24) * S, (cy + radius - 2) * S),
                   ((cx + side * 19) * S, (cy + radius + 3) * S),
                   ((cx + side * 6) * S, (cy + radius - 2) * S)], fill=255)

    red_cov = reduce(layer_red, SS)
    rgb = blend(rgb, reduce(layer_gold, SS), gold)
    rgb = blend(rgb, red_cov, red)

    # Stars and the gate in gold on the disc.
    top = new_layer()
    t = ImageDraw.Draw(top)
    t.polygon(star_points(cx, cy - 14, 6.2), fill=255)
    for i, a in enumerate((-150, -115, -65, -30)):
        ang = math.radians(a)
        t.polygon(star_points(cx + 13 * math.cos(ang), cy - 12 + 8 * math.sin(ang) + 6, 2.4,
                              rotation=ang), fill=255)
    # Gate: platform, hall with doors, double roof.
    t.rectangle(((cx - 15) * S, (cy + 7) * S, (cx + 15) * S, (cy + 11) * S), fill=255)
    t.rectangle(((cx - 11) * S, (cy + 1) * S, (cx + 11) * S, (cy + 7) * S), fill=255)
    t.polygon([((cx - 14) * S, (cy + 1) * S), ((cx + 14) * S, (cy + 1) * S),
               ((cx + 10) * S, (cy - 2) * S), ((cx - 10) * S, (cy - 2) * S)], fill=255)
    t.polygon([((cx - 11) * S, (cy - 2.5) * S), ((cx + 11) * S, (cy - 2.5) * S),
               ((cx + 7) * S, (cy - 5.5) * S), ((cx - 7) * S, (cy - 5.5) * S)], fill=255)
    rgb = blend(rgb, reduce(top, SS), gold)
    doors = new_layer()
    d = ImageDraw.Draw(doors)
    for i in range(5):
        x = cx - 8 + 4 * i
        d.rectangle(((x - 1) * S, (cy + 3) * S, (x + 1) * S, (cy + 7) * S), fill=255)
    return blend(rgb, reduce(doors, SS), red)


def back_background(font_path, face):
    rgb = gradient((244, 236, 222), (226, 236, 242), (200, 96), (246, 240, 214), 170)
    rgb = guilloche(rgb, [
        ((208, 180, 136), 0.55, (46, -10, 5.0, 3.4, 150, 1.8, 57, 0.19)),
        ((150, 182, 210), 0.50, (40, 2, 5.6, 4.0, 110, 2.0, 43, -0.23)),
    ], [
        ((214, 184, 156), 0.50, (214, 100, 52, 52 * 7 / 44, 24, 7, 8000)),
    ])
    rgb = great_wall(rgb)
    rgb = emblem(rgb, 58, 58, 36)
    titles = text_layer(font_path, "中华人民共和国", 126, 30, 17, 6.2, SS)
    rgb = blend(rgb, reduce(titles, SS), TITLE_COLOUR)
    title, size, spacing = BACK_TITLES[face]
    titles = text_layer(font_path, title, 126, 62 + (29 - size) / 2, size, spacing, SS, stroke=1)
    return blend(rgb, reduce(titles, SS), TITLE_COLOUR)


def back_face(font_path):
    return add_captions(font_path, back_background(font_path, "back"), "back")


def permit_back_face(font_path):
    return place_captions(font_path, back_background(font_path, "permit-back"), "permit-back")


def foreign_back_face(font_path):
    return place_captions(font_path, back_background(font_path, "foreign-back"), "foreign-back")


def finish(rgb):
    """Rounded white corners; returns 8-bit RGB."""
    mask = card_mask()
    rgb = 255.0 * (1 - mask[..., None]) + rgb * mask[..., None]
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def to_yuv420(rgb):
    """Full-range YCbCr; each chroma sample is the mean of its 2 x 2 block."""
    f = rgb.astype(np.float64)
    r, g, b = f[..., 0], f[..., 1], f[..., 2]
    y = 0.299 * r + 0.587 * g + 0.114 * b
    cb = 128 - 0.168736 * r - 0.331264 * g + 0.5 * b
    cr = 128 + 0.5 * r - 0.418688 * g - 0.081312 * b
    def sub(c):
        return c.reshape(HEIGHT // 2, 2, WIDTH // 2, 2).mean(axis=(1, 3))
    planes = [y, sub(cb), sub(cr)]
    return b"".join(np.clip(np.rint(p), 0, 255).astype(np.uint8).tobytes() for p in planes)


def yuv_to_rgb(yuv):
    y = np.frombuffer(yuv, np.uint8, WIDTH * HEIGHT).reshape(HEIGHT, WIDTH).astype(float)
    c = (WIDTH // 2) * (HEIGHT // 2)
    u = np.frombuffer(yuv, np.uint8, c, WIDTH * HEIGHT).reshape(HEIGHT // 2, WIDTH // 2)
    v = np.frombuffer(yuv, np.uint8, c, WIDTH * HEIGHT + c).reshape(HEIGHT // 2, WIDTH // 2)
    u = np.repeat(np.repeat(u, 2, 0), 2, 1).astype(float) - 128
    v = np.repeat(np.repeat(v, 2, 0), 2, 1).astype(float) - 128
    rgb = np.stack([y + 1.402 * v, y - 0.344136 * u - 0.714136 * v, y + 1.772 * u], -1)
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def check(yuv, face):
    y = np.frombuffer(yuv, np.uint8, WIDTH * HEIGHT).reshape(HEIGHT, WIDTH)
    ok = True
    for text, where, x0, x1, y0, y1 in CAPTIONS:
        if where != face:
            continue
        box = ink_box(y, x0, x1, y0, y1)
        if box is None or box_error(box, (x0, x1, y0, y1)) > 0:
            print("caption %s: ink box %s, wanted %s" % (text, box, (x0, x1, y0, y1)))
            ok = False
    return ok


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", default=OUTPUT)
    parser.add_argument("--font", default=FONT)
    parser.add_argument("--preview", metavar="DIR", help="also write PNG views of the faces")
    parser.add_argument("--other-cards", metavar="RESIDENT",
                        help="draw the faces of the other card types instead (permit front and "
                             "back, then foreign front and back); RESIDENT is the committed "
                             "resident templates file, whose front the permit front is made from")
    args = parser.parse_args()

    if args.other_cards:
        with open(args.other_cards, "rb") as f:
            resident_front = f.read(WIDTH * HEIGHT * 3 // 2)
        drawings = (("permit-front", lambda font: permit_front_yuv(resident_front)),
                    ("permit-back", lambda font: to_yuv420(finish(permit_back_face(font)))),
                    ("foreign-front", lambda font: to_yuv420(finish(foreign_front_face(font)))),
                    ("foreign-back", lambda font: to_yuv420(finish(foreign_back_face(font)))))
    else:
        drawings = (("front", lambda font: to_yuv420(finish(front_face(font)))),
                    ("back", lambda font: to_yuv420(finish(back_face(font)))))
    faces = []
    for name, draw in drawings:
        print(name)
        yuv = draw(args.font)
        if name in ("front", "back") and not check(yuv, name):
            sys.exit("caption boxes do not match")
        faces.append(yuv)
        if args.preview:
            Image.fromarray(yuv_to_rgb(yuv)).save("%s/template-%s.png" % (args.preview, name))
    with open(args.output, "wb") as out:
        out.write(b"".join(faces))
    print("%s: %d bytes" % (args.output, sum(len(f) for f in faces)))


if __name__ == "__main__":
    main()
