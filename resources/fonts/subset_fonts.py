#!/usr/bin/python3
"""Cuts the window's three faces down to the characters of the panel's own texts.

usage: subset_fonts.py OUT_DIR TEXT_FILE...

The Noto CJK collections hold some 65,000 glyphs each: opening one costs milliseconds, and every
glyph drawn maps the pages around it. The panel embeds the few hundred glyphs that its labels and
messages use (every character of the translation tables and of the sources, and printable ASCII),
under a family name of its own, and lists the system's face after it: a character outside the set
is drawn from the full face, the same outlines. Outlines, hints, metrics and layout tables are
kept as they are, so the window looks the same either way.
"""
import subprocess
import sys
from pathlib import Path

from fontTools import subset
from fontTools.ttLib import TTFont

# (family in the system, its style, family embedded, file written)
FACES = [
    ("Noto Sans CJK SC", "Regular", "TAVEX Sans SC", "TavexSans-Regular.otf"),
    ("Noto Sans CJK SC", "Bold", "TAVEX Sans SC", "TavexSans-Bold.otf"),
    ("Noto Sans Mono CJK SC", "Regular", "TAVEX Mono SC", "TavexMono-Regular.otf"),
]


def locate(family, style):
    """The collection file and face index of a family's style, as fontconfig lists them."""
    listed = subprocess.run(
        ["fc-list", "-f", "%{file}\t%{index}\t%{family[0]}\t%{style[0]}\n", f"{family}:style={style}"],
        check=True, capture_output=True, text=True).stdout
    for line in sorted(listed.splitlines()):
        path, index, found_family, found_style = line.split("\t")
        if found_family == family and found_style == style:
            return path, int(index)
    sys.exit(f"subset_fonts: the face {family} {style} is not installed (package fonts-noto-cjk)")


def rename(font, family, style):
    full = f"{family} {style}"
    postscript = family.replace(" ", "") + "-" + style
    names = {1: family, 2: style, 3: postscript, 4: full, 6: postscript, 16: family, 17: style}
    for record in font["name"].names:
        if record.nameID in names:
            record.string = names[record.nameID]
    if "CFF " in font:
        font["CFF "].cff.fontNames = [postscript]


def main():
    out = Path(sys.argv[1])
    characters = {chr(c) for c in range(0x20, 0x7F)}
    for text_file in sys.argv[2:]:
        characters |= set(Path(text_file).read_text(encoding="utf-8"))
    unicodes = sorted(ord(c) for c in characters if c.isprintable())
    options = subset.Options()
    options.layout_features = ["*"]
    options.notdef_outline = True
    out.mkdir(parents=True, exist_ok=True)
    for family, style, embedded, file_name in FACES:
        path, index = locate(family, style)
        # The source's own time stamp, so that the same sources give the same bytes.
        font = TTFont(path, fontNumber=index, recalcTimestamp=False)
        subsetter = subset.Subsetter(options=options)
        subsetter.populate(unicodes=unicodes)
        subsetter.subset(font)
        rename(font, embedded, style)
        font.save(str(out / file_name))


if __name__ == "__main__":
    main()
