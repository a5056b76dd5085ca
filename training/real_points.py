"""A set of real dials for the dial network: the CC BY photos' train/ folder
with the scale's points placed by hand (data/gauges-cc-by/train-points.json),
each photo's dial box centred on its pivot.

  python3 -m training.real_points --points FILE --src DIR --held-out DIR... --finder CKPT --out DIR [--repeat K]

The points file holds, per source photo, the points placed on one of its
exported versions ("image"): "pivot", "start" (the minimum's mark), "middle"
(the mark half-way between minimum and maximum) and "end" (the maximum's),
in that version's pixels; "mirrored" where that version reads as in a
mirror; and "versions", how every version of the source was flipped from it
("same", "lr", "ud" or "both"). Sources a person could not place to a few
pixels carry "skip" instead.

Only versions that read the right way round train: the export flipped some
left-right or top to bottom alone, which mirrors the numerals and turns the
scale the other way, and the dial network tells the way a scale runs from
its numerals. The tenths are placed by angle between start, middle and end,
as the graph places them; the needle's tip is the end of its outline
farther from the pivot, its tail the nearer. A version trains only where
its source's photos are like no held-out photo, it has one needle outlined,
and the finder keeps exactly one candidate (the crop the graph takes
comes from it): the box is the pivot's square, as large as the finder's
box or the points, whichever is larger.

Writes OUT/labels.jsonl, read by training.train like a rendered set, each
kept photo K times.
"""
import argparse
import json
import math
import os

import cv2
import numpy as np

from . import contract
from .real_needles import found_dial, needle_box, outlines, real_set_args, resembles, thumbnail, write_labels

FLIPS = {"same": (False, False), "lr": (True, False), "ud": (False, True), "both": (True, True)}


def moved(point, flip, width, height):
    """A point of the labelled version in a version flipped from it by flip."""
    lr, ud = FLIPS[flip]
    x, y = point
    return [width - 1 - x if lr else x, height - 1 - y if ud else y]


def reads_right(entry, flip):
    """Whether the version flipped by flip from the labelled one reads the right way round."""
    lr, ud = FLIPS[flip]
    return entry.get("mirrored", False) == (lr != ud)


def scale_points(pivot, start, middle, end):
    """The eleven points of the scale, start to end: the tenths by angle
    about the pivot and by radius, between start and middle and between
    middle and end (each half less than a half turn)."""
    pivot = np.asarray(pivot, np.float64)
    ends = [np.asarray(p, np.float64) - pivot for p in (start, middle, end)]
    angle = [math.atan2(v[1], v[0]) for v in ends]
    radius = [float(np.hypot(*v)) for v in ends]
    points = []
    for half in (0, 1):
        a0, turn = angle[half], (angle[half + 1] - angle[half] + math.pi) % (2 * math.pi) - math.pi
        r0, r1 = radius[half], radius[half + 1]
        for k in range(5):
            f = k / 5
            a, r = a0 + turn * f, r0 + (r1 - r0) * f
            points.append(pivot + r * np.array([math.cos(a), math.sin(a)]))
    points.append(pivot + ends[2])
    return points


def keypoints(pivot, start, middle, end, needle):
    """The 14 key points [x, y, visible] in the contract's order."""
    scale = scale_points(pivot, start, middle, end)
    axis = np.array([math.cos(needle["angle"]), math.sin(needle["angle"])]) * needle["w"] / 2
    centre = np.array([needle["cx"], needle["cy"]])
    tip, tail = centre + axis, centre - axis
    if np.hypot(*(tail - pivot)) > np.hypot(*(tip - pivot)):
        tip, tail = tail, tip
    named = {"pivot": np.asarray(pivot, np.float64), "needle_tip": tip, "needle_tail": tail,
             "scale_start": scale[0], "scale_end": scale[-1]}
    named.update(("mark_0.%d" % k, scale[k]) for k in range(1, 10))
    return [[round(float(named[name][0]), 2), round(float(named[name][1]), 2), 2] for name in contract.KEYPOINT_NAMES]


def dial_box(kp, found):
    """A square centred on the pivot, as the renderer's: as large as the
    finder's box or the key points' reach, whichever is larger."""
    pts = np.asarray(kp, np.float64)[:, :2]
    half = max(max(found[2], found[3]) / 2, float(np.abs(pts - pts[0]).max()))
    return [round(float(pts[0][0]), 2), round(float(pts[0][1]), 2), round(2 * half, 2), round(2 * half, 2)]


def main(argv=None):
    ap = argparse.ArgumentParser(description="Real dials with their scale points placed by hand.")
    ap.add_argument("--points", required=True, help="train-points.json")
    ap.add_argument("--src", required=True, help="the photos' images/ and labels/ (needle outlines)")
    args, finder, held = real_set_args(ap, argv)
    with open(args.points) as fh:
        entries = json.load(fh)

    os.makedirs(args.out, exist_ok=True)
    lines = []
    counts = dict(sources=len(entries), skipped=0, repeated=0, mirrored=0, several=0, unfound=0, kept=0)
    for entry in entries:
        if "skip" in entry:
            counts["skipped"] += 1
            continue
        photos = {name: cv2.imread(os.path.join(args.src, "images", name), cv2.IMREAD_COLOR)
                  for name in entry["versions"]}
        if any(img is None for img in photos.values()):
            raise SystemExit("real_points: %s: a version of %s is missing" % (args.src, entry["source"]))
        if resembles([thumbnail(img) for img in photos.values()], held):
            counts["repeated"] += 1
            continue
        for name, flip in sorted(entry["versions"].items()):
            if not reads_right(entry, flip):
                counts["mirrored"] += 1
                continue
            img = photos[name]
            h, w = img.shape[:2]
            stem = os.path.splitext(name)[0]
            found = outlines(os.path.join(args.src, "labels", stem + ".txt"), w, h)
            if len(found) != 1:
                counts["several"] += 1
                continue
            box = found_dial(finder, img)
            if box is None:
                counts["unfound"] += 1
                continue
            needle = needle_box(found[0])
            pivot, start, middle, end = (moved(entry[k], flip, w, h) for k in ("pivot", "start", "middle", "end"))
            kp = keypoints(pivot, start, middle, end, needle)
            counts["kept"] += 1
            label = {"image": os.path.relpath(os.path.join(args.src, "images", name), args.out), "width": w,
                     "height": h, "dial_box": dial_box(kp, box), "keypoints": kp,
                     "needles": [{k: round(v, 7 if k == "angle" else 3) for k, v in needle.items()}],
                     "source": entry["source"]}
            lines += [json.dumps(label)] * args.repeat
    write_labels(args.out, lines)
    print("real_points: %(kept)d photos kept of %(sources)d sources; left out: %(skipped)d sources no person "
          "could place, %(repeated)d like a held-out photo, %(mirrored)d mirrored versions, %(several)d photos "
          "with other than one needle, %(unfound)d the finder missed" % counts)


if __name__ == "__main__":
    main()
