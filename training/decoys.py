"""Finds the trained finder's decoys: its candidates on the training frames
that are no gauge (a ring, a clock-like drawing, a bolt head).

  python3 -m training.decoys --finder CKPT --data DIR --out DIR

Writes OUT/labels.jsonl, a set that training.train reads like a rendered one: one
line per decoy, with its frame's image (a path from OUT), "gauges": 0 and
"decoy": [cx, cy, w, h] in the frame's pixels. The dial network learns from
them that a crop may hold no dial, and the exported graph lets it overrule
the finder there (graph.CoarseToFine).
"""
import argparse
import json
import os
import sys

import cv2
import numpy as np
import torch

from . import graph as G
from . import model as M
from .engine import survivors
from .train import data as D

# A candidate the finder scores above this, before the echo rule sinks the
# weaker ones, could be the best of another frame: a frame with no gauge, or
# one whose gauge the finder sees poorly. The strongest few per frame do.
DECOY_SCORE = 0.1
DECOYS_PER_FRAME = 2


def clear_of(cand, gauges):
    """Whether the crop the dial network might see about a candidate
    [cx, cy, w, h] (frame pixels), as loosely as training places it, misses
    every gauge's dial box: a crop holding part of a gauge is no decoy."""
    side = max(cand[2], cand[3])
    half = side * M.CROP_MARGIN * np.exp(D.CROP_ZOOM) / 2 + side * D.CROP_SHIFT
    return all(abs(cand[0] - g[0]) >= half + g[2] / 2 or abs(cand[1] - g[1]) >= half + g[3] / 2 for g in gauges)


def load_finder(path):
    """The finder of a training checkpoint (its moving average), for inference."""
    saved = torch.load(path, map_location="cpu")
    if saved["task"] != "finder":
        sys.exit("%s is a %s model, not the finder" % (path, saved["task"]))
    finder = M.Net("finder", saved["size"])
    finder.load_state_dict(saved["ema"])
    return finder.eval()


def finder_candidates(finder, img, threshold):
    """The finder's survivors over threshold [cx, cy, w, h, score], strongest
    first, in the photo's pixels, as it sees the photo in the exported graph."""
    rgb, (sx, sy, tx, ty) = D.letterbox(img, M.FRAME_SIZE, D.GREY)
    view = cv2.resize(cv2.cvtColor(rgb, cv2.COLOR_BGR2RGB), (M.COARSE_SIZE, M.COARSE_SIZE),
                      interpolation=cv2.INTER_AREA)
    with torch.no_grad():
        out = G.decode(finder, finder(D.to_tensor(view).unsqueeze(0)))[0].numpy().T
    found = []
    for c in survivors(out, threshold):
        # Pooled-view pixel j is the mean of letterbox pixels POOL j ... POOL j + POOL - 1.
        cx, cy = c[0] * M.POOL + (M.POOL - 1) / 2.0, c[1] * M.POOL + (M.POOL - 1) / 2.0
        found.append([(cx - tx) / sx, (cy - ty) / sy, c[2] * M.POOL / sx, c[3] * M.POOL / sy, float(c[4])])
    return found


def frame_decoys(finder, img, lab):
    """The decoys [cx, cy, w, h, score] of one frame, in its pixels."""
    gauges = [g["dial_box"] for g in D.gauges_of(lab)]
    return [c for c in finder_candidates(finder, img, DECOY_SCORE) if clear_of(c[:4], gauges)][:DECOYS_PER_FRAME]


def main():
    ap = argparse.ArgumentParser(description="Find the finder's decoys on rendered frames.")
    ap.add_argument("--finder", required=True, help="the finder's checkpoint")
    ap.add_argument("--data", required=True, nargs="+", help="rendered frames")
    ap.add_argument("--out", required=True)
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    finder = load_finder(args.finder)
    G.RULES["echo"] = False
    os.makedirs(args.out, exist_ok=True)
    lines, frames = [], 0
    for folder in args.data:
        for lab in D.read_labels(folder):
            img = cv2.imread(os.path.join(folder, lab["image"]), cv2.IMREAD_COLOR)
            if img is None:
                sys.exit("decoys: cannot read %s" % lab["image"])
            decoys = frame_decoys(finder, img, lab)
            frames += bool(decoys)
            image = os.path.relpath(os.path.join(folder, lab["image"]), args.out)
            lines += [json.dumps({"image": image, "gauges": 0, "decoy": [round(v, 2) for v in d[:4]],
                                  "score": round(d[4], 3)}) for d in decoys]
    tmp = os.path.join(args.out, "labels.jsonl.tmp")
    with open(tmp, "w") as fh:
        fh.write("".join(line + "\n" for line in lines))
    os.replace(tmp, os.path.join(args.out, "labels.jsonl"))
    print("decoys: %d decoys on %d frames" % (len(lines), frames))


if __name__ == "__main__":
    main()
