"""Writes the image-header fuzzer's seeds: a tiny image in each format the
header reader knows, as this machine's OpenCV writes it, and a BigTIFF and a
raw JPEG 2000 codestream, which OpenCV does not write.

    /usr/bin/python3 tests/fuzz/make_image_seeds.py tests/fuzz/corpus/imageheader
"""
import struct
import sys
from pathlib import Path

import cv2
import numpy as np


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(7)
    colour = rng.integers(0, 256, (2, 3, 3), dtype=np.uint8)
    grey = cv2.cvtColor(colour, cv2.COLOR_BGR2GRAY)
    # OpenJPEG's default six resolutions need 32 pixels a side.
    ramp = np.add.outer(np.arange(32), np.arange(32)).astype(np.uint8) * 4
    ascii_pxm = [cv2.IMWRITE_PXM_BINARY, 0]
    images = [
        ("tiny.png", colour, []), ("tiny.jpg", colour, []), ("tiny.bmp", colour, []),
        ("tiny.tiff", colour, []), ("tiny.webp", colour, []), ("tiny.ras", colour, []),
        ("small.jp2", ramp, []), ("tiny.pam", colour, []),
        ("tiny-p1.pbm", grey, ascii_pxm), ("tiny-p2.pgm", grey, ascii_pxm), ("tiny-p3.ppm", colour, ascii_pxm),
        ("tiny-p4.pbm", grey, []), ("tiny-p5.pgm", grey, []), ("tiny-p6.ppm", colour, []),
        ("tiny.pfm", colour.astype(np.float32) / 255, []), ("tiny.hdr", colour.astype(np.float32) / 255, []),
    ]
    for name, image, params in images:
        ok, data = cv2.imencode(Path(name).suffix, image, params)
        if not ok:
            raise SystemExit(f"OpenCV cannot write {name}")
        (out / name).write_bytes(data.tobytes())

    # The codestream inside the JP2's jp2c box.
    jp2 = (out / "small.jp2").read_bytes()
    at = jp2.index(b"jp2c")
    (out / "small.j2k").write_bytes(jp2[at + 4:])

    # BigTIFF, little-endian: one directory of width, height and one strip.
    entries = [(256, 3, 1, 3), (257, 3, 1, 2), (258, 3, 1, 8), (259, 3, 1, 1), (262, 3, 1, 1),
               (273, 16, 1, 0), (277, 3, 1, 1), (278, 3, 1, 2), (279, 16, 1, 6)]
    first = 16
    strip = first + 8 + len(entries) * 20 + 8
    body = struct.pack("<Q", len(entries))
    for tag, kind, count, value in entries:
        body += struct.pack("<HHQQ", tag, kind, count, strip if tag == 273 else value)
    body += struct.pack("<Q", 0)
    (out / "tiny.btf").write_bytes(b"II+\0" + struct.pack("<HHQ", 8, 0, first) + body + grey.tobytes())


if __name__ == "__main__":
    main(sys.argv[1])
