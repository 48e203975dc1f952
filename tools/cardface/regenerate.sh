#!/bin/sh
# Remakes the card face data committed under resources/: the resident card's
# two face templates, the four of the other card types and the OCR-B font of the card number. Needs Debian's python3
# with python3-pil, python3-numpy and python3-fonttools, and the packages
# fonts-wqy-zenhei and fonts-ocr-b. After a change of the templates, the
# composer's reference canvases in tests/data/cardface/ are remade with
#   IVELCARD_WRITE_GOLDEN=tests/data/cardface build/bin/test_cardface_composer
set -eu
cd "$(dirname "$0")/../.."
/usr/bin/python3 tools/cardface/make_templates.py resources/cardface-templates.yuv
/usr/bin/python3 tools/cardface/convert_ocrb.py /usr/share/fonts/opentype/ocr-b/OCRB.otf \
  resources/cardface-ocrb.ttf
# The faces of the other card types; the permit front is made from the
# resident front above.
/usr/bin/python3 tools/cardface/make_templates.py --other-cards resources/cardface-templates.yuv \
  resources/cardface-templates-other.yuv
