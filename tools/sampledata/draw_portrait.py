#!/usr/bin/python3
"""Draws a synthetic card portrait: a stylised head and shoulders on a light
background, 102 x 126 pixels, written as PNG.

The figure is made of flat shapes (no photograph is involved), slightly
softened so that it keeps its quality in the small portrait area. Variants
differ in colours and proportions so that tests can tell two portraits
apart.

    draw_portrait.py [--variant sample|second|foreign|permit] OUTPUT.png
"""
import argparse

from PIL import Image, ImageDraw, ImageFilter

WIDTH, HEIGHT = 102, 126
SCALE = 4  # drawn larger, then reduced, for smooth edges
SOFT_FOCUS = 0.8  # blur radius in final pixels, like a printed photo

VARIANTS = {
    "sample": {
        "background": (246, 248, 250),
        "skin": (236, 196, 166),
        "shade": (214, 168, 138),
        "hair": (38, 32, 30),
        "jacket": (44, 62, 96),
        "shirt": (250, 250, 250),
        "mouth": (176, 96, 90),
        "face": (0.5, 0.40, 0.25, 0.30),  # centre x, centre y, half width, half height
        "hair_top": 0.085,
    },
    "second": {
        "background": (240, 244, 236),
        "skin": (222, 178, 140),
        "shade": (196, 150, 116),
        "hair": (92, 60, 40),
        "jacket": (150, 40, 48),
        "shirt": (236, 232, 220),
        "mouth": (150, 80, 70),
        "face": (0.5, 0.42, 0.27, 0.28),
        "hair_top": 0.11,
    },
    "foreign": {
        "background": (244, 246, 250),
        "skin": (240, 206, 184),
        "shade": (218, 178, 154),
        "hair": (178, 132, 70),
        "jacket": (40, 96, 80),
        "shirt": (246, 246, 246),
        "mouth": (180, 100, 96),
        "face": (0.5, 0.41, 0.25, 0.29),
        "hair_top": 0.07,
    },
    "permit": {
        "background": (248, 246, 242),
        "skin": (230, 190, 156),
        "shade": (206, 162, 130),
        "hair": (24, 22, 24),
        "jacket": (90, 70, 120),
        "shirt": (244, 240, 236),
        "mouth": (170, 88, 86),
        "face": (0.5, 0.40, 0.26, 0.28),
        "hair_top": 0.09,
    },
}


def draw(variant):
    v = VARIANTS[variant]
    w, h = WIDTH * SCALE, HEIGHT * SCALE
    image = Image.new("RGB", (w, h), v["background"])
    d = ImageDraw.Draw(image)
    cx, cy, rx, ry = v["face"]
    cx, cy, rx, ry = cx * w, cy * h, rx * w, ry * h

    # Shoulders and jacket, with the shirt's V at the neck.
    d.ellipse([cx - 0.62 * w, cy + 1.05 * ry, cx + 0.62 * w, cy + 1.05 * ry + 0.75 * h], fill=v["jacket"])
    d.rectangle([cx - 0.17 * w, cy + 0.55 * ry, cx + 0.17 * w, cy + 1.25 * ry], fill=v["shade"])
    d.polygon([(cx - 0.16 * w, cy + 1.10 * ry), (cx + 0.16 * w, cy + 1.10 * ry), (cx, cy + 1.75 * ry)],
              fill=v["shirt"])
    d.polygon([(cx - 0.10 * w, cy + 1.12 * ry), (cx + 0.10 * w, cy + 1.12 * ry), (cx, cy + 1.45 * ry)],
              fill=v["shade"])

    # Hair behind the head, ears, face.
    d.ellipse([cx - 1.12 * rx, v["hair_top"] * h, cx + 1.12 * rx, cy + 0.55 * ry], fill=v["hair"])
    for side in (-1, 1):
        ex = cx + side * 0.98 * rx
        d.ellipse([ex - 0.16 * rx, cy - 0.12 * ry, ex + 0.16 * rx, cy + 0.22 * ry], fill=v["shade"])
    d.ellipse([cx - rx, cy - ry, cx + rx, cy + ry], fill=v["skin"])
    # Fringe over the forehead.
    d.chord([cx - 1.02 * rx, cy - 1.08 * ry, cx + 1.02 * rx, cy - 0.05 * ry], 180, 360, fill=v["hair"])

    # Brows, eyes, nose, mouth.
    for side in (-1, 1):
        ex = cx + side * 0.40 * rx
        d.line([ex - 0.20 * rx, cy - 0.02 * ry, ex + 0.20 * rx, cy - 0.04 * ry], fill=v["hair"], width=SCALE * 2)
        d.ellipse([ex - 0.11 * rx, cy + 0.10 * ry, ex + 0.11 * rx, cy + 0.20 * ry], fill=(40, 36, 36))
    d.line([cx, cy + 0.22 * ry, cx - 0.06 * rx, cy + 0.48 * ry, cx + 0.04 * rx, cy + 0.50 * ry],
           fill=v["shade"], width=SCALE * 2)
    d.arc([cx - 0.28 * rx, cy + 0.52 * ry, cx + 0.28 * rx, cy + 0.78 * ry], 20, 160, fill=v["mouth"],
          width=SCALE * 2)
    return image.resize((WIDTH, HEIGHT), Image.LANCZOS).filter(ImageFilter.GaussianBlur(SOFT_FOCUS))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--variant", choices=sorted(VARIANTS), default="sample")
    parser.add_argument("output")
    args = parser.parse_args()
    draw(args.variant).save(args.output, optimize=True)


if __name__ == "__main__":
    main()
