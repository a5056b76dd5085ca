"""A set of real needles for the needle network: the outlined needles of the
CC BY photos' train/ folder, each cropped about the dial box this build's
finder places on the photo, as the exported graph crops it.

  python3 -m training.real_needles --src DIR --held-out DIR... --finder CKPT --out DIR [--repeat K]

SRC holds images/ and labels/NAME.txt, one needle outline per line (class 0,
then x y pairs normalised to the image). The outline does not say which end
is the tip; the needle network learns the axis modulo a half turn and its
box, so it needs none.

A photo trains only where a reader could not go wrong about it:
- one needle outlined (a drag pointer or a second gauge left unlabelled
  would teach the network to miss it);
- the finder keeps exactly one candidate, and the needle lies inside the
  crop it takes about it;
- no version of its source photo resembles any photo of the held-out
  folders (the export's valid/ and test/ hold a few copies of train/'s
  photos under other names), in any of the flips the export made.

Writes OUT/labels.jsonl, a set training.train reads like a rendered one,
each kept photo K times (the trainer augments every line afresh): "image"
(a path from OUT), "width", "height", "dial_box" (the finder's, in the
photo's pixels), "needles" (the outline's least rotated rectangle, w the
long side), "source".
"""
import argparse
import glob
import json
import math
import os
import re
import sys

import cv2
import numpy as np
import torch

from . import contract
from . import model as M
from .decoys import finder_candidates, load_finder
from .engine import box_corners

# Correlation of two 24 x 24 grey thumbnails (standardised) above which two
# photos count as the same picture: the export's copies of one photo
# correlate at 0.99 and more, different catalogue photos of round gauges on
# white up to about 0.94.
SAME_PICTURE = 0.95
THUMB = 24


def source_of(name):
    """The export's source name: the part before its '_jpg.rf.HASH' suffix."""
    return re.sub(r"_(jpe?g|png)\.rf\.[0-9a-f]+\.\w+$", "", name, flags=re.I)


def thumbnail(img):
    g = cv2.resize(cv2.cvtColor(img, cv2.COLOR_BGR2GRAY), (THUMB, THUMB), interpolation=cv2.INTER_AREA)
    g = g.astype(np.float32)
    return ((g - g.mean()) / (g.std() + 1e-6)).ravel()


def flips(thumb):
    t = thumb.reshape(THUMB, THUMB)
    return [v.ravel() for v in (t, t[:, ::-1], t[::-1, :], t[::-1, ::-1])]


def resembles(thumbs, held_out):
    """Whether any of thumbs, in any flip, is the same picture as one held out [N, THUMB^2]."""
    if not len(held_out):
        return False
    return any(float((held_out @ f).max()) / f.size >= SAME_PICTURE for t in thumbs for f in flips(t))


def outlines(path, width, height):
    """The needle outlines of a label file, in pixels."""
    found = []
    with open(path) as fh:
        for line in fh:
            values = line.split()
            if len(values) < 7:
                continue
            xy = np.asarray(values[1:], np.float64)[: (len(values) - 1) // 2 * 2].reshape(-1, 2)
            found.append(xy * [width, height])
    return found


def needle_box(outline):
    """cx, cy, w, h, angle of the outline's least rotated rectangle, w the
    long side and the angle along it (radians)."""
    (cx, cy), (w, h), degrees = cv2.minAreaRect(outline.astype(np.float32))
    angle = math.radians(degrees)
    if w < h:
        w, h, angle = h, w, angle + math.pi / 2
    return dict(cx=float(cx), cy=float(cy), w=float(w), h=float(h), angle=float(angle))


def found_dial(finder, img):
    """The finder's only candidate [cx, cy, w, h] in the photo's pixels, or
    None where it keeps none or several."""
    found = finder_candidates(finder, img, contract.DIAL_SCORE)
    return found[0][:4] if len(found) == 1 else None


def in_crop(needle, box):
    """Whether the needle's box lies inside the square the graph crops about the dial box."""
    half = max(box[2], box[3]) * M.CROP_MARGIN / 2
    corners = np.asarray(box_corners(needle["cx"], needle["cy"], needle["w"], needle["h"], needle["angle"]))
    return bool(np.all(np.abs(corners - box[:2]) <= half))


def held_out_thumbnails(folders):
    """Thumbnails of every photo in the held-out folders, one row each."""
    held = [thumbnail(img) for folder in folders
            for path in sorted(glob.glob(os.path.join(folder, "*")))
            if (img := cv2.imread(path, cv2.IMREAD_COLOR)) is not None]
    return np.stack(held) if held else np.zeros((0, THUMB * THUMB), np.float32)


def write_labels(out, lines):
    """OUT/labels.jsonl, replaced whole so that a killed run leaves no half set."""
    tmp = os.path.join(out, "labels.jsonl.tmp")
    with open(tmp, "w") as fh:
        fh.write("".join(line + "\n" for line in lines))
    os.replace(tmp, os.path.join(out, "labels.jsonl"))


def real_set_args(ap, argv):
    """The arguments every set of real training photos takes, parsed with AP's
    own: (args, the finder, the held-out thumbnails)."""
    ap.add_argument("--held-out", nargs="*", default=[], help="folders of photos no training photo may repeat")
    ap.add_argument("--finder", required=True, help="the finder's checkpoint")
    ap.add_argument("--out", required=True)
    ap.add_argument("--repeat", type=int, default=1, help="lines per kept photo")
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args(argv)
    torch.set_num_threads(args.threads)
    return args, load_finder(args.finder), held_out_thumbnails(args.held_out)


def main(argv=None):
    ap = argparse.ArgumentParser(description="Real outlined needles, cropped as the exported graph crops them.")
    ap.add_argument("--src", required=True, help="images/ and labels/ of outlined needles")
    args, finder, held = real_set_args(ap, argv)

    by_source = {}
    for path in sorted(glob.glob(os.path.join(args.src, "images", "*"))):
        by_source.setdefault(source_of(os.path.basename(path)), []).append(path)
    os.makedirs(args.out, exist_ok=True)
    lines, counts = [], dict(sources=len(by_source), repeated=0, several=0, unfound=0, kept=0)
    for source, paths in sorted(by_source.items()):
        photos = [(path, cv2.imread(path, cv2.IMREAD_COLOR)) for path in paths]
        photos = [(path, img) for path, img in photos if img is not None]
        if resembles([thumbnail(img) for _, img in photos], held):
            counts["repeated"] += 1
            continue
        for path, img in photos:
            h, w = img.shape[:2]
            stem = os.path.splitext(os.path.basename(path))[0]
            label = os.path.join(args.src, "labels", stem + ".txt")
            found = outlines(label, w, h) if os.path.exists(label) else []
            if len(found) != 1:
                counts["several"] += 1
                continue
            needle = needle_box(found[0])
            box = found_dial(finder, img)
            if box is None or not in_crop(needle, np.asarray(box)):
                counts["unfound"] += 1
                continue
            counts["kept"] += 1
            label = {"image": os.path.relpath(path, args.out), "width": w, "height": h,
                     "dial_box": [round(v, 2) for v in box],
                     "needles": [{k: round(v, 7 if k == "angle" else 3) for k, v in needle.items()}],
                     "source": source}
            lines += [json.dumps(label)] * args.repeat
    write_labels(args.out, lines)
    print("real_needles: %(kept)d photos kept of %(sources)d sources; left out: %(repeated)d sources like a "
          "held-out photo, %(several)d photos with other than one needle, %(unfound)d the finder missed" % counts)


if __name__ == "__main__":
    main()
