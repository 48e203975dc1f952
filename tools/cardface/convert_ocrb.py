#!/usr/bin/python3
"""Converts Debian's OCR-B (fonts-ocr-b, CFF outlines) into the card number font.

The card face composer draws the card number with glyph indices, not
characters: each code unit minus 29, so the space becomes glyph 3, the digits
glyphs 19 to 28 and the capital X glyph 59. This tool makes a font in which
those indices hold those glyphs:

  * TrueType (quadratic) outlines, converted from the cubic CFF outlines;
  * glyphs in the standard Macintosh order (.notdef, .null,
    nonmarkingreturn, space, exclam, ...), the first 134 of its names;
    names the source lacks get the .notdef shape (.null and
    nonmarkingreturn stay empty);
  * no Unicode character map, so FreeType takes character codes as glyph
    indices: a Macintosh Roman map (platform 1, encoding 0) and a Windows
    symbol map (platform 3, encoding 0, codes U+F020 to U+F07E) keep the
    font usable by other programs. The symbol map matters: without any
    Windows map FreeType would synthesise a Unicode map from the glyph
    names and select it;
  * 10 pitch: 2048 units per em and every advance 1233 units. The source's
    outlines are scaled uniformly so that its 723-unit advance becomes 1233,
    which keeps the design's proportions and gives about 9.6 pixels per
    character at the composer's 16-pixel size.

Usage: convert_ocrb.py [SOURCE.otf] [OUTPUT.ttf]
Run with Debian's python3 (python3-fonttools).
"""
import sys
from fractions import Fraction

from fontTools.agl import UV2AGL
from fontTools.fontBuilder import FontBuilder
from fontTools.pens.cu2quPen import Cu2QuPen
from fontTools.pens.transformPen import TransformPen
from fontTools.pens.ttGlyphPen import TTGlyphPen
from fontTools.ttLib import TTFont
from fontTools.ttLib.standardGlyphOrder import standardGlyphOrder

SOURCE = "/usr/share/fonts/opentype/ocr-b/OCRB.otf"
OUTPUT = "resources/cardface-ocrb.ttf"

UNITS_PER_EM = 2048
ADVANCE = 1233
GLYPH_COUNT = 134           # .notdef .. sterling in the Macintosh order
EMPTY_GLYPHS = {".null", "nonmarkingreturn", "space"}
MAX_CURVE_ERROR = 1.0       # font units, after scaling

# The indices the composer relies on.
REQUIRED = {3: "space", 59: "X", **{19 + d: n for d, n in enumerate(
    ["zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine"])}}

SYMBOL_BASE = 0xF000         # symbol fonts map code c to U+F000 + c

FAMILY = "OCR-B 10 Pitch"
STYLE = "Regular"


def mac_roman_map(drawn):
    """Macintosh Roman character code -> glyph name, for the glyphs drawn
    from the source (not those standing in with the .notdef shape)."""
    mapping = {}
    for code in range(0x20, 256):
        name = UV2AGL.get(ord(bytes([code]).decode("mac_roman")))
        if name in drawn:
            mapping[code] = name
    return mapping


def main():
    source_path = sys.argv[1] if len(sys.argv) > 1 else SOURCE
    output_path = sys.argv[2] if len(sys.argv) > 2 else OUTPUT
    source = TTFont(source_path)
    source_upem = source["head"].unitsPerEm
    advances = {adv for adv, _ in source["hmtx"].metrics.values()}
    if len(advances) != 1:
        sys.exit("source font is not monospaced: advances %s" % sorted(advances))
    source_advance = advances.pop()
    scale = Fraction(ADVANCE, source_advance)

    glyph_set = source.getGlyphSet()
    order = standardGlyphOrder[:GLYPH_COUNT]
    for index, name in REQUIRED.items():
        if order[index] != name or name not in glyph_set:
            sys.exit("glyph %d is not %s" % (index, name))

    glyphs = {}
    for name in order:
        pen = TTGlyphPen(None)
        if name not in EMPTY_GLYPHS:
            shape = name if name in glyph_set else ".notdef"
            glyph_set[shape].draw(
                TransformPen(Cu2QuPen(pen, MAX_CURVE_ERROR, reverse_direction=True),
                             (float(scale), 0, 0, float(scale), 0, 0)))
        glyphs[name] = pen.glyph()

    def scaled(v):
        return int(round(v * scale))

    builder = FontBuilder(UNITS_PER_EM, isTTF=True)
    builder.setupGlyphOrder(order)
    builder.setupCharacterMap({})
    builder.setupGlyf(glyphs)
    metrics = {}
    glyf = builder.font["glyf"]
    for name in order:
        glyph = glyf[name]
        glyph.recalcBounds(glyf)
        metrics[name] = (ADVANCE, getattr(glyph, "xMin", 0))
    builder.setupHorizontalMetrics(metrics)

    src_os2 = source["OS/2"]
    src_hhea = source["hhea"]
    ascent, descent = scaled(src_hhea.ascent), scaled(src_hhea.descent)
    builder.setupHorizontalHeader(ascent=ascent, descent=descent)
    builder.setupNameTable({
        "copyright": "Outlines from OCR B by Matthew Skala, based on code by Norbert "
                     "Schwarz; public domain / permissive. Converted to TrueType.",
        "familyName": FAMILY,
        "styleName": STYLE,
        "uniqueFontIdentifier": FAMILY + " " + STYLE,
        "fullName": FAMILY,
        "psName": "OCR-B-10Pitch",
        "version": "Version 1.0",
    }, mac=True, windows=False)
    builder.setupOS2(
        xAvgCharWidth=ADVANCE,
        usWeightClass=src_os2.usWeightClass,
        usWidthClass=src_os2.usWidthClass,
        sTypoAscender=scaled(src_os2.sTypoAscender),
        sTypoDescender=scaled(src_os2.sTypoDescender),
        sTypoLineGap=scaled(src_os2.sTypoLineGap),
        usWinAscent=scaled(src_os2.usWinAscent),
        usWinDescent=scaled(src_os2.usWinDescent),
        sxHeight=scaled(getattr(src_os2, "sxHeight", 0)),
        sCapHeight=scaled(getattr(src_os2, "sCapHeight", 0)),
        panose=_monospaced_panose(src_os2.panose),
        fsType=0,
        ulUnicodeRange1=1, usFirstCharIndex=0x20, usLastCharIndex=0xFF,
        ulCodePageRange1=1)
    builder.setupPost(isFixedPitch=1, keepGlyphNames=True,
                      underlinePosition=scaled(source["post"].underlinePosition),
                      underlineThickness=scaled(source["post"].underlineThickness))
    builder.setupMaxp()
    # The source's dates, so that a rerun gives the same bytes.
    builder.setupHead(unitsPerEm=UNITS_PER_EM, fontRevision=1.0,
                      created=source["head"].created, modified=source["head"].modified)
    builder.font.recalcTimestamp = False

    # No Unicode map for FreeType to select (see the module's comment).
    from fontTools.ttLib.tables._c_m_a_p import cmap_format_4, cmap_format_6
    mac = cmap_format_6(6)
    mac.platformID, mac.platEncID, mac.language = 1, 0, 0
    mac.cmap = mac_roman_map({n for n in order if n in glyph_set})
    symbol = cmap_format_4(4)
    symbol.platformID, symbol.platEncID, symbol.language = 3, 0, 0
    symbol.cmap = {SYMBOL_BASE + code: name for code, name in mac.cmap.items()
                   if 0x20 <= code <= 0x7E}
    builder.font["cmap"].tables = [mac, symbol]

    builder.save(output_path)
    check(output_path)


def _monospaced_panose(panose):
    panose.bProportion = 9   # monospaced
    return panose


def check(path):
    font = TTFont(path)
    order = font.getGlyphOrder()
    assert len(order) == GLYPH_COUNT
    for index, name in REQUIRED.items():
        assert order[index] == name, (index, order[index])
    assert {adv for adv, _ in font["hmtx"].metrics.values()} == {ADVANCE}
    assert font["head"].unitsPerEm == UNITS_PER_EM
    assert {(t.platformID, t.platEncID) for t in font["cmap"].tables} == {(1, 0), (3, 0)}
    with open(path, "rb") as f:
        size = len(f.read())
    print("%s: %d glyphs, %d units per em, advance %d, %d bytes"
          % (path, len(order), UNITS_PER_EM, ADVANCE, size))


if __name__ == "__main__":
    main()
