#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into corpus/<target>/.

Each seed is shaped by its target's input layout (see the target's header
comment) around the sample data of tests/data. Inputs that fuzzing found
(regression inputs) sit beside the seeds and are not written here.

    python3 tests/fuzz/seeds.py
"""
import json
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "data"
ROOT = HERE.parent.parent
CORPUS = HERE / "corpus"


def write(target, name, data):
    directory = CORPUS / target
    directory.mkdir(parents=True, exist_ok=True)
    (directory / name).write_bytes(bytes(data))


# The text block: nine UCS-2 little-endian fields, space-padded, 256 bytes.
FIELDS = [("name", 15), ("gender", 1), ("nation", 2), ("birthDate", 8), ("address", 35),
          ("number", 18), ("authority", 15), ("validFrom", 8), ("validTo", 8)]


def text_block(card):
    block = b""
    for key, width in FIELDS:
        block += card[key][:width].ljust(width).encode("utf-16-le", "surrogatepass")
    return block.ljust(256, b"\0")[:256]


def text_block_seeds():
    target = "fuzz_carddata_textblock"
    second = json.loads((DATA / "carddata" / "second-reader.json").read_text("utf-8"))["card"]
    default = json.loads((ROOT / "readerlibs" / "sdtapi" / "default-reader.json").read_text("utf-8"))["card"]
    write(target, "sample-card", b"\0" + text_block(default))
    write(target, "second-card", b"\0" + text_block(second))
    write(target, "other-nation-male", b"\0" + text_block(dict(second, gender="1", nation="97")))
    write(target, "unknown-nation", b"\0" + text_block(dict(second, gender="9", nation="99")))
    # Fields cut by zero characters and without padding.
    cut = bytearray(text_block(second))
    for offset in (4, 34, 60, 130, 170, 196, 212):
        cut[offset:offset + 2] = b"\0\0"
    write(target, "zero-cut-fields", b"\0" + cut)
    # Private-use and supplementary-plane characters, unpaired surrogates.
    odd = dict(second, name="\ue78e\ue796\ue831", address="\U00020000\ud800x\udc00\ue83b\ue843 ")
    write(target, "unusual-characters", b"\0" + text_block(odd))
    # Characters from the target's list of interesting ones.
    write(target, "interesting-all", b"\1" + bytes(range(24)) * 5)
    write(target, "interesting-digits", b"\1" + bytes([3, 4, 5, 6, 1, 1, 2, 8, 0, 0, 1, 9, 10]) * 9)


def get_bmp_seeds():
    target = "fuzz_carddata_getbmp"
    wlt = (DATA / "carddata" / "sample-portrait.wlt").read_bytes()
    second = (DATA / "carddata" / "second-portrait.wlt").read_bytes()
    write(target, "sample-portrait", b"\0" + wlt)
    write(target, "second-portrait", b"\0" + second)
    write(target, "magic-then-payload", b"\1" + wlt[4:])
    write(target, "replaced-payload-bytes", b"\2" + bytes([0x10, 0x00, 0xFF, 0x00, 0x01, 0x00, 0x02, 0x00, 0xD9]))
    payload = wlt[4] | wlt[5] << 8
    for name, length in (("payload-length-same", payload), ("payload-length-zero", 0),
                         ("payload-length-short", payload // 2), ("payload-length-whole", 1018)):
        write(target, name, b"\3" + struct.pack("<H", length))


def bmp(width, height, pixel):
    stride = (3 * width + 3) // 4 * 4
    rows = b"".join(
        b"".join(bytes(pixel(x, y)) for x in range(width)).ljust(stride, b"\0") for y in range(height))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(rows), 0, 0, 54)
    header += struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(rows), 2835, 2835, 0, 0)
    return header + rows


def take_in(value, lo, hi):
    """The 16-bit input that FuzzInput::takeIn(lo, hi) turns into value."""
    return struct.pack("<H", value - lo)


def bmp_to_yuv_seeds():
    target = "fuzz_cardface_bmptoyuv"

    def seed(area_width, area_height, image, plausible=False, width=0, height=0):
        return (take_in(area_width, -2, 130) + take_in(area_height, -2, 130) + bytes([0 if plausible else 1]) +
                take_in(width, -3, 133) + take_in(height, -3, 133) + image)

    portrait = (DATA / "cardface" / "sample-portrait.bmp").read_bytes()
    write(target, "sample-portrait", seed(102, 126, portrait))
    write(target, "sample-portrait-small-area", seed(101, 126, portrait))
    gradient = lambda x, y: (x * 40 % 256, y * 50 % 256, (x + y) * 30 % 256)
    write(target, "even-4x4", seed(4, 4, bmp(4, 4, gradient)))
    write(target, "odd-5x3", seed(7, 3, bmp(5, 3, gradient)))
    write(target, "one-pixel", seed(1, 1, bmp(1, 1, lambda x, y: (255, 0, 128))))
    write(target, "top-down-height", seed(9, 9, bmp(3, 3, gradient)[:22] + struct.pack("<i", -3) + bmp(3, 3, gradient)[26:]))
    write(target, "cut-pixels", seed(8, 8, bmp(6, 6, gradient)[:80]))
    write(target, "plausible-header-grown", seed(16, 12, bytes(54) + b"\x10\x20\x30", True, 15, 11))


def rasteriser_seeds():
    target = "fuzz_cardface_textrasteriser"

    def seed(pixels, strip_width, spacing, baseline, ink_width, x, y, text):
        return (take_in(pixels, 1, 40) + take_in(strip_width, 0, 700) +
                struct.pack("<hhihh", spacing, baseline, ink_width, x, y) + text.encode("utf-16-le", "surrogatepass"))

    write(target, "name", seed(22, 160, 2, 18, 160, 66, 30, "孙晓岚"))
    write(target, "address", seed(16, 560, 0, 14, 560, 67, 110, "宁夏回族自治区银川市兴庆区柳荫街7号"))
    write(target, "number", seed(20, 400, 1, 17, 400, 120, 180, "640104199509210846"))
    write(target, "mixed-latin", seed(14, 300, -1, 12, 300, 10, 10, "ABC abc 123 （一）〇 x-y"))
    write(target, "beyond-the-plane", seed(40, 700, 30, 40, 2000, 330, 200, "汉字" * 20))
    write(target, "negative-position", seed(12, 100, 0, -5, -1, -40, -30, "负"))
    write(target, "unusual-units", seed(16, 200, 0, 14, 200, 0, 0, "\ue78e\ud800\udc00\ufeff\u0000\uffff"))


def document_seeds():
    target = "fuzz_control_document"

    def text(data, interesting=False):
        return bytes([len(data) | (0x40 if interesting else 0)]) + data

    def string(data):
        return b"\4" + text(data)

    def obj(members):
        return b"\7" + bytes([len(members)]) + b"".join(text(k) + v for k, v in members)

    def integer(value):
        return b"\2" + struct.pack(">q", value)

    gbk = lambda s: s.encode("gb18030")
    content = obj([(b"partyName", string(gbk("孙晓岚"))), (b"gender", integer(0)),
                   (b"certAddress", string(gbk("宁夏回族自治区银川市兴庆区柳荫街7号")))])
    write(target, "result", obj([(b"status", integer(1)), (b"errorMsg", string(b"")),
                                 (b"resultFlag", integer(0)), (b"resultContent", content)]))
    write(target, "failure", obj([(b"status", integer(-1)), (b"errorMsg", string(gbk("读卡错误"))),
                                  (b"resultFlag", integer(-145))]))
    write(target, "escapes", string(b"say \"hi\" a\\b\x01\x1f\x7f\b\f\n\r\t/"))
    write(target, "trail-byte-backslash", string(gbk("淺\"") + b"\\" + b"\x9c"))
    write(target, "four-byte-character", string(b"\x82\x34\xeb\x30\x81\x30\x81"))
    write(target, "stray-lead-bytes", obj([(b"\xd6", string(b"\xd6\"x")), (b"?", string(b"\xff\x80"))]))
    # An array of null, true, [ "x", the largest unsigned ] and false.
    write(target, "nested", b"\6\4" + b"\0" + b"\x81" + b"\6\2" + string(b"x") + b"\3" + struct.pack(">Q", 2**64 - 1) + b"\1")
    write(target, "interesting-text", b"\4" + text(bytes(range(32)) * 1, interesting=True))


if __name__ == "__main__":
    text_block_seeds()
    get_bmp_seeds()
    bmp_to_yuv_seeds()
    rasteriser_seeds()
    document_seeds()
