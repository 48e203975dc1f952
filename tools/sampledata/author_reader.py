#!/usr/bin/python3
"""Authors a virtual-reader description from UTF-8 card field values and a
portrait image (PNG or JPEG).

The input is a description (any members of the virtual reader's format; its
"card" holds the field values as UTF-8 text), optionally changed by --set.
The portrait is cropped to the card portrait's proportions, reduced to
102 x 126 pixels and compressed into the 1024-byte portrait area: the magic
"IVPT", the payload length (16-bit little-endian), a baseline JPEG (4:2:0)
whose luma and chroma qualities are chosen to fit and to decode closest to
the image (peak signal-to-noise ratio), zero padding. The result replaces "photoBase64".

The card's "type" ("I", "J" or none for a resident card) chooses its fields.
The card number's check digit (ISO 7064 MOD 11-2) is checked (a foreign
permanent resident card's number must be three capital letters and twelve
digits), and every field must fit its width in the card's text block.

    author_reader.py INPUT.json --portrait IMAGE [-o OUTPUT.json]
                     [--set FIELD=VALUE]... [--wlt FILE] [--reference-bmp FILE]
"""
import argparse
import base64
import io
import json
import math
import sys

from PIL import Image

WIDTH, HEIGHT = 102, 126
AREA = 1024
MAGIC = b"IVPT"
HEADER = 6

# Field widths in UCS-2 characters, in block order, by the card's "type":
# none a resident card, "I" a foreign permanent resident card, "J" a
# residence permit for Hong Kong, Macao and Taiwan residents.
FIELD_WIDTHS = {
    "": {
        "name": 15, "gender": 1, "nation": 2, "birthDate": 8, "address": 35,
        "number": 18, "authority": 15, "validFrom": 8, "validTo": 8,
    },
    "I": {
        "englishName": 60, "gender": 1, "number": 15, "nationality": 3, "chineseName": 15,
        "validFrom": 8, "validTo": 8, "birthDate": 8, "cardVersion": 2, "authority": 4,
    },
    "J": {
        "name": 15, "gender": 1, "birthDate": 8, "address": 35, "number": 18,
        "authority": 15, "validFrom": 8, "validTo": 8, "passNumber": 9, "issueCount": 2,
    },
}
# The example quantisation tables of the JPEG standard, in natural order.
LUMA_TABLE = [
    16, 11, 10, 16, 24, 40, 51, 61, 12, 12, 14, 19, 26, 58, 60, 55,
    14, 13, 16, 24, 40, 57, 69, 56, 14, 17, 22, 29, 51, 87, 80, 62,
    18, 22, 37, 56, 68, 109, 103, 77, 24, 35, 55, 64, 81, 104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99,
]
CHROMA_TABLE = [
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99,
    24, 26, 56, 99, 99, 99, 99, 99, 47, 66, 99, 99, 99, 99, 99, 99,
] + [99] * 32
CHROMA_QUALITIES = range(5, 55, 5)
CHECK_WEIGHTS = [7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2]
CHECK_CHARACTERS = "10X98765432"


def check_character(first17):
    return CHECK_CHARACTERS[sum(int(c) * w for c, w in zip(first17, CHECK_WEIGHTS)) % 11]


def number_is_valid(number, card_type):
    if card_type == "I":
        # Three capital letters (the nationality) and twelve digits.
        return len(number) == 15 and number[:3].isalpha() and number[:3].isupper() and number[3:].isdigit()
    return (len(number) == 18 and number[:17].isdigit()
            and number[17] == check_character(number[:17]))


def ucs2_length(text):
    return len(text.encode("utf-16-le")) // 2


def portrait_pixels(path):
    image = Image.open(path).convert("RGB")
    # Crop to 102:126 around the centre, then reduce.
    w, h = image.size
    if w * HEIGHT > h * WIDTH:
        cw = h * WIDTH // HEIGHT
        image = image.crop(((w - cw) // 2, 0, (w - cw) // 2 + cw, h))
    elif w * HEIGHT < h * WIDTH:
        ch = w * HEIGHT // WIDTH
        image = image.crop((0, (h - ch) // 2, w, (h - ch) // 2 + ch))
    if image.size != (WIDTH, HEIGHT):
        image = image.resize((WIDTH, HEIGHT), Image.LANCZOS)
    return image


def without_app0(jpeg):
    """Drops the JFIF marker segment right after SOI; decoders do not need it."""
    if jpeg[2:4] == b"\xff\xe0":
        length = int.from_bytes(jpeg[4:6], "big")
        return jpeg[:2] + jpeg[4 + length:]
    return jpeg


def scaled_table(table, quality):
    """The libjpeg scaling of a quantisation table to a quality of 1 to 100."""
    scale = 5000 // quality if quality < 50 else 200 - 2 * quality
    return [min(255, max(1, (v * scale + 50) // 100)) for v in table]


def psnr(reference, payload):
    decoded = Image.open(io.BytesIO(payload)).convert("RGB").tobytes()
    original = reference.tobytes()
    mse = sum((a - b) ** 2 for a, b in zip(original, decoded)) / len(original)
    return float("inf") if mse == 0 else 10 * math.log10(255 * 255 / mse)


def encode(image, luma, chroma):
    out = io.BytesIO()
    image.save(out, "JPEG", qtables=[scaled_table(LUMA_TABLE, luma), scaled_table(CHROMA_TABLE, chroma)],
               subsampling=2, optimize=True, progressive=False)
    return without_app0(out.getvalue())


def compress(image):
    """The 1024-byte portrait area: for each chroma quality the highest luma
    quality that fits, keeping the pair that decodes closest to the image."""
    best = None
    for chroma in CHROMA_QUALITIES:
        for luma in range(95, 0, -1):
            payload = encode(image, luma, chroma)
            if HEADER + len(payload) <= AREA:
                score = psnr(image, payload)
                if best is None or score > best[0]:
                    best = (score, luma, chroma, payload)
                break
    if best is None:
        raise SystemExit("the portrait does not fit into %d bytes" % AREA)
    score, luma, chroma, payload = best
    area = MAGIC + len(payload).to_bytes(2, "little") + payload
    return area + bytes(AREA - len(area)), "luma quality %d, chroma quality %d, PSNR %.2f dB" % (
        luma, chroma, score), len(payload)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", help="description with UTF-8 card fields")
    parser.add_argument("--portrait", required=True, help="PNG or JPEG image")
    parser.add_argument("-o", "--output", help="the description written")
    parser.add_argument("--set", action="append", default=[], metavar="FIELD=VALUE")
    parser.add_argument("--wlt", help="also write the 1024-byte portrait area to this file")
    parser.add_argument("--reference-bmp", help="also write the reduced portrait as a 24-bit BMP")
    parser.add_argument("--allow-invalid-number", action="store_true",
                        help="keep a card number whose check digit is wrong (odd cases)")
    args = parser.parse_args()

    with open(args.input, encoding="utf-8") as f:
        description = json.load(f)
    card = description.setdefault("card", {})
    card_type = card.get("type", "")
    if card_type not in FIELD_WIDTHS:
        raise SystemExit("unknown card type: %r (known: %s)" % (card_type, ", ".join(repr(t) for t in FIELD_WIDTHS)))
    widths = FIELD_WIDTHS[card_type]
    for assignment in args.set:
        field, _, value = assignment.partition("=")
        if field not in widths:
            raise SystemExit("unknown card field: %s" % field)
        card[field] = value
    for field, value in card.items():
        if field == "type":
            continue
        if field not in widths:
            raise SystemExit("unknown card field: %s" % field)
        if ucs2_length(value) > widths[field]:
            raise SystemExit("%s is longer than %d characters" % (field, widths[field]))
    number = card.get("number", "")
    if not number_is_valid(number, card_type) and not args.allow_invalid_number:
        hint = " (check character should be %s)" % check_character(number[:17]) if number[:17].isdigit() else ""
        raise SystemExit("card number %r has no valid check digit%s" % (number, hint))

    image = portrait_pixels(args.portrait)
    area, quality, size = compress(image)

    output = {}
    for key, value in description.items():
        if key != "photoBase64":
            output[key] = value
        if key == "card":
            output["photoBase64"] = base64.b64encode(area).decode("ascii")
    if args.output:
        with open(args.output, "w", encoding="utf-8") as f:
            json.dump(output, f, ensure_ascii=False, indent=2)
            f.write("\n")
    if args.wlt:
        with open(args.wlt, "wb") as f:
            f.write(area)
    if args.reference_bmp:
        image.save(args.reference_bmp, "BMP")
    print("portrait: %s, %d payload bytes of %d" % (quality, size, AREA - HEADER), file=sys.stderr)


if __name__ == "__main__":
    main()
