#!/bin/sh
# Redraws the synthetic portraits and rebuilds the committed sample data:
# the virtual reader's default description and the test data of the card
# data tests. Needs python3 with PIL (Debian python3-pil).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
python=${PYTHON:-/usr/bin/python3}
data=$root/tests/data/carddata
mkdir -p "$data"

"$python" "$here/draw_portrait.py" --variant sample "$here/sample-portrait.png"
"$python" "$here/draw_portrait.py" --variant second "$here/second-portrait.png"

"$python" "$here/author_reader.py" "$here/sample-card.json" --portrait "$here/sample-portrait.png" \
  -o "$root/readerlibs/sdtapi/default-reader.json" \
  --wlt "$data/sample-portrait.wlt" --reference-bmp "$data/sample-portrait.bmp"
"$python" "$here/author_reader.py" "$here/second-card.json" --portrait "$here/second-portrait.png" \
  -o "$data/second-reader.json" --wlt "$data/second-portrait.wlt"

# One card of each other type: a foreign permanent resident card ("I") and a
# residence permit for Hong Kong, Macao and Taiwan residents ("J").
for card in foreign permit; do
  "$python" "$here/draw_portrait.py" --variant "$card" "$here/$card-portrait.png"
  "$python" "$here/author_reader.py" "$here/$card-card.json" --portrait "$here/$card-portrait.png" \
    -o "$data/$card-reader.json"
done
