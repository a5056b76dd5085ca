"""Renders a set: DIR/NNNNNN.jpg and DIR/labels.jsonl (one JSON object per
image, in index order).

  python3 -m training.render --out DIR --count N --seed S [--size 640 | --frames] [--start I] [--jobs J]
                             [--counter-clockwise SHARE] [--no-photos] [--plain]
"""
import argparse
import json
import os
import sys
import time

import cv2

from . import backgrounds, faces, plant
from .scenes import FRAME_EMPTY_P, FRAME_SECOND_P, render_frame, render_sample


def configure(counter_clockwise, photos, families=True):
    """A set's settings, in this process and in every worker of the pool."""
    faces.COUNTER_CLOCKWISE = counter_clockwise
    backgrounds.PHOTOS = photos
    plant.FAMILIES = families


def _render_one(args):
    seed, index, size, out, frames = (tuple(args) + (False,))[:5]
    img, label, _ = render_frame(seed, index) if frames else render_sample(seed, index, size)
    name = "%06d.jpg" % index
    # A label without its picture would pass for a whole set.
    if not cv2.imwrite(os.path.join(out, name), img, [cv2.IMWRITE_JPEG_QUALITY, label["jpeg_quality"]]):
        raise OSError("render: cannot write %s" % os.path.join(out, name))
    label = dict(image=name, **label)
    return json.dumps(label, separators=(",", ":"))


def main(argv=None):
    ap = argparse.ArgumentParser(description="Render synthetic dial-gauge photographs with labels.")
    ap.add_argument("--out", required=True)
    ap.add_argument("--count", type=int, required=True)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--size", type=int, help="side of the square pictures (default 640)")
    ap.add_argument("--start", type=int, default=0, help="first sample index (to render a set in parts)")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--counter-clockwise", type=float, help="share of round and sector scales drawn "
                                                            "counter-clockwise (usually 0.1 and 0.15)")
    ap.add_argument("--frames", action="store_true",
                    help="wide camera frames (640x480 to 1920x1080, some portrait) with the gauge anywhere "
                         "in them, %g%% with a second gauge and %g%% with none" % (100 * FRAME_SECOND_P,
                                                                                  100 * FRAME_EMPTY_P))
    ap.add_argument("--no-photos", action="store_true",
                    help="backgrounds from the procedural backdrops only, as on a machine without wallpapers: "
                         "the pictures then depend on no installed files")
    ap.add_argument("--plain", action="store_true",
                    help="none of the plant families (drag pointers, TrueType numerals, clocks ...): the "
                         "pictures the renderer drew before them")
    args = ap.parse_args(argv)
    if args.frames and args.size is not None:
        ap.error("--size does not apply to --frames: frames come in sizes of their own")
    size = 640 if args.size is None else args.size
    settings = (args.counter_clockwise, not args.no_photos, not args.plain)
    configure(*settings)
    os.makedirs(args.out, exist_ok=True)
    work = [(args.seed, i, size, args.out, args.frames) for i in range(args.start, args.start + args.count)]
    t0 = time.time()
    path = os.path.join(args.out, "labels.jsonl")
    with open(path, "w") as fh:
        if args.jobs > 1:
            import multiprocessing as mp
            with mp.Pool(args.jobs, initializer=configure, initargs=settings) as pool:
                for line in pool.imap(_render_one, work, chunksize=8):
                    fh.write(line + "\n")
        else:
            for w in work:
                fh.write(_render_one(w) + "\n")
    dt = time.time() - t0
    print("rendered %d images in %.1f s (%.1f images/s) into %s" % (args.count, dt, args.count / max(dt, 1e-9),
                                                                     args.out), file=sys.stderr)


if __name__ == "__main__":
    main()
