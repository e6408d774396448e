#!/usr/bin/python3
"""Pillow doing a book's page work, to compare with folioforge.

Usage: pillow_peer.py LIST OUTDIR

For each "gray|color<TAB>path" line of LIST: open, turn left when portrait, make gray when
marked gray, scale to 640 high (box filter when shrinking, bilinear when enlarging, as the
tool does), save OUTDIR/NNN.jpg at quality 50 (gray) or 80 (colour). Pages that cannot be
read are named on stderr; the exit status is then 1.
"""
import os
import sys

from PIL import Image

PAGE_HEIGHT = 640


def page(path, gray, out):
    with Image.open(path) as im:
        im.load()
        if im.height > im.width:
            # ROTATE_90 is counter-clockwise: a quarter turn left.
            im = im.transpose(Image.Transpose.ROTATE_90)
        im = im.convert("L" if gray else "RGB")
        w, h = im.size
        if h != PAGE_HEIGHT:
            size = (round(w * PAGE_HEIGHT / h), PAGE_HEIGHT)
            rs = Image.Resampling.BOX if h > PAGE_HEIGHT else Image.Resampling.BILINEAR
            # reducing_gap=None: no shortcut through a cruder first reduction.
            im = im.resize(size, rs, reducing_gap=None)
        im.save(out, "JPEG", quality=50 if gray else 80)


def main():
    if len(sys.argv) != 3:
        print("usage: pillow_peer.py LIST OUTDIR", file=sys.stderr)
        return 2
    failed = 0
    with open(sys.argv[1], encoding="utf-8") as lst:
        lines = [l.rstrip("\r\n").split("\t", 1) for l in lst if "\t" in l]
    for n, (kind, path) in enumerate(lines, 1):
        out = os.path.join(sys.argv[2], "%03d.jpg" % n)
        try:
            page(path, kind == "gray", out)
        except Exception as e:  # any unreadable page is reported, then the next one
            print("pillow_peer: cannot read %s: %s" % (path, e), file=sys.stderr)
            if os.path.exists(out):
                os.remove(out)
            failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
