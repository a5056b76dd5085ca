"""Labelled gauge photos shown small in a wide camera frame, to measure how
the engine reads small dials on real photographs.

  python3 -m training.frame_photos --src DIR --out DIR --height-share 0.30 [--frame 1280x960] [--seed 0] [--clutter 0]

DIR holds images/ and labels.json (a list of {"image", "min", "max",
"reading", ...}, as tools/evaluate reads it). Each photo is scaled to
height-share of the frame's height (less where it would then be wider than
the frame), pasted whole at a random position over a synthetic background
from the renderer's procedural backdrops (no photographs: nothing of one
picture shows behind another), and written as OUT/images/NAME; OUT/labels.json
holds the same entries, unchanged, and OUT/placements.json where each photo
went. Photo i draws its own random stream from (seed, i), so a folder is
reproducible. --clutter gives the share of frames with the renderer's plant
clutter (cables, boxes, rings) around the photo.

The output is derived from the photos, so it may not go inside this
repository: the real photos and anything made from them are never committed.

  evaluate --labels OUT/labels.json --images OUT/images
"""
import argparse
import json
import os
import sys

import cv2
import numpy as np

from .render import frame_background

REPOSITORY = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
JPEG_QUALITY = 95


def inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return os.path.commonpath([path, folder]) == folder


def frame_photo(photo, rng, frame, share, clutter):
    """The photo scaled to share of the frame's height, over a background;
    returns the frame and the photo's placement (x, y, width, height, scale)."""
    fw, fh = frame
    ph, pw = photo.shape[:2]
    scale = min(share * fh / ph, fw / pw)
    w, h = max(1, int(round(pw * scale))), max(1, int(round(ph * scale)))
    small = cv2.resize(photo, (w, h), interpolation=cv2.INTER_AREA if scale < 1 else cv2.INTER_LINEAR)
    x = int(rng.integers(0, fw - w + 1))
    y = int(rng.integers(0, fh - h + 1))
    img = frame_background(rng, fw, fh, photos=False, clutter=clutter)
    img[y:y + h, x:x + w] = small
    return img, dict(x=x, y=y, width=w, height=h, scale=round(scale, 6))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Paste labelled gauge photos, scaled down, into wide frames.")
    ap.add_argument("--src", required=True, help="folder with images/ and labels.json")
    ap.add_argument("--out", required=True, help="output folder (outside the repository)")
    ap.add_argument("--height-share", type=float, required=True, help="photo height over frame height, (0, 1]")
    ap.add_argument("--frame", default="1280x960", help="frame size WxH")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--clutter", type=float, default=0.0, help="share of frames with clutter around the photo")
    args = ap.parse_args(argv)
    try:
        frame = tuple(int(v) for v in args.frame.lower().split("x"))
        if len(frame) != 2 or min(frame) < 16:
            raise ValueError
    except ValueError:
        ap.error("--frame must be WxH, e.g. 1280x960")
    if not 0 < args.height_share <= 1:
        ap.error("--height-share must be in (0, 1]")
    if inside(args.out, REPOSITORY):
        ap.error("%s is inside the repository; frames of the photos may not be stored there" % args.out)
    if inside(args.out, args.src) or inside(args.src, args.out):
        ap.error("--out and --src must be separate folders")

    with open(os.path.join(args.src, "labels.json")) as fh:
        labels = json.load(fh)
    os.makedirs(os.path.join(args.out, "images"), exist_ok=True)
    placements = []
    for i, entry in enumerate(labels):
        name = entry["image"]
        if os.path.basename(name) != name:
            sys.exit("frame_photos: image name %r is not a plain file name" % name)
        photo = cv2.imread(os.path.join(args.src, "images", name), cv2.IMREAD_COLOR)
        if photo is None:
            sys.exit("frame_photos: cannot read %s" % os.path.join(args.src, "images", name))
        img, placed = frame_photo(photo, np.random.default_rng([args.seed, i]), frame, args.height_share,
                                  args.clutter)
        if not cv2.imwrite(os.path.join(args.out, "images", name), img, [cv2.IMWRITE_JPEG_QUALITY, JPEG_QUALITY]):
            sys.exit("frame_photos: cannot write %s" % name)
        placements.append(dict(image=name, **placed))
    with open(os.path.join(args.out, "labels.json"), "w") as fh:
        json.dump(labels, fh, indent=1)
    with open(os.path.join(args.out, "placements.json"), "w") as fh:
        json.dump(dict(frame=list(frame), height_share=args.height_share, seed=args.seed, photos=placements),
                  fh, indent=1)
    print("framed %d photos at %g of a %dx%d frame into %s" % (len(labels), args.height_share, frame[0], frame[1],
                                                                args.out), file=sys.stderr)


if __name__ == "__main__":
    main()
