"""Contact sheet of rendered images with their labels drawn on, for a human
to check the conventions.

  python3 -m training.preview --dir DIR [--count 16] [--cols 4] [--tile 400] --out sheet.png

Drawn: the dial box (green), key points with their numbers (0 pivot, 1 tip,
2 tail in yellow; 3 start, 4 end in magenta; 5..13 in cyan) joined as the
scale polyline 3,5..13,4; the needle box (orange) built exactly as the engine
builds it, cv::RotatedRect(centre, (w, h), degrees(angle)); its base A (blue)
and tip B (red) short-side midpoints, A being the one nearer the dial-box
centre; the reading and the printed min/max.
"""
import argparse
import json
import math
import os

import cv2
import numpy as np


def needle_ends(n, box):
    """Short-side midpoints of the needle box, base (nearer the dial-box centre) first."""
    c, s = math.cos(n["angle"]), math.sin(n["angle"])
    p = (n["cx"] + c * n["w"] / 2, n["cy"] + s * n["w"] / 2)
    q = (n["cx"] - c * n["w"] / 2, n["cy"] - s * n["w"] / 2)
    dp = math.hypot(p[0] - box[0], p[1] - box[1])
    dq = math.hypot(q[0] - box[0], q[1] - box[1])
    return (q, p) if dq <= dp else (p, q)


def draw(img, lab):
    k = max(1, round(img.shape[0] / 400))
    cx, cy, w, h = lab["dial_box"]
    cv2.rectangle(img, (int(cx - w / 2), int(cy - h / 2)), (int(cx + w / 2), int(cy + h / 2)), (0, 255, 0), k)
    cv2.drawMarker(img, (int(cx), int(cy)), (0, 255, 0), cv2.MARKER_CROSS, 10 * k, k)
    kp = lab["keypoints"]
    order = [3] + list(range(5, 14)) + [4]
    poly = np.array([[kp[i][0], kp[i][1]] for i in order], np.float32)
    cv2.polylines(img, [np.round(poly).astype(np.int32)], False, (255, 255, 0), k, cv2.LINE_AA)
    for n in lab["needles"]:
        rr = ((n["cx"], n["cy"]), (n["w"], n["h"]), math.degrees(n["angle"]))
        pts = cv2.boxPoints(rr)
        cv2.polylines(img, [np.round(pts).astype(np.int32)], True, (0, 165, 255), k, cv2.LINE_AA)
        a, b = needle_ends(n, lab["dial_box"])
        cv2.circle(img, (int(a[0]), int(a[1])), 5 * k, (255, 0, 0), -1)
        cv2.circle(img, (int(b[0]), int(b[1])), 5 * k, (0, 0, 255), -1)
    for i, (x, y, v) in enumerate(kp):
        col = (0, 255, 255) if i < 3 else ((255, 0, 255) if i < 5 else (255, 255, 0))
        if v == 0:
            col = (128, 128, 128)
        cv2.circle(img, (int(x), int(y)), 3 * k, col, -1, cv2.LINE_AA)
        if v == 1:
            cv2.circle(img, (int(x), int(y)), 6 * k, col, k, cv2.LINE_AA)
        cv2.putText(img, str(i), (int(x) + 4 * k, int(y) - 4 * k), cv2.FONT_HERSHEY_SIMPLEX, 0.45 * k, (0, 0, 0),
                    3 * k, cv2.LINE_AA)
        cv2.putText(img, str(i), (int(x) + 4 * k, int(y) - 4 * k), cv2.FONT_HERSHEY_SIMPLEX, 0.45 * k, col, k,
                    cv2.LINE_AA)
    value = float(lab["min"]) + lab["reading"] * (float(lab["max"]) - float(lab["min"]))
    text = "f=%.3f  %s..%s  =%.4g  %s" % (lab["reading"], lab["min"], lab["max"], value, lab.get("kind", ""))
    cv2.rectangle(img, (0, 0), (img.shape[1], 22 * k), (0, 0, 0), -1)
    cv2.putText(img, text, (4, 16 * k), cv2.FONT_HERSHEY_SIMPLEX, 0.5 * k, (255, 255, 255), k, cv2.LINE_AA)
    return img


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--dir", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--count", type=int, default=16)
    ap.add_argument("--cols", type=int, default=4)
    ap.add_argument("--tile", type=int, default=400)
    ap.add_argument("--raw", action="store_true", help="images without labels drawn")
    args = ap.parse_args()
    with open(os.path.join(args.dir, "labels.jsonl")) as fh:
        labels = [json.loads(line) for line in fh if line.strip()][:args.count]
    tiles = []
    for lab in labels:
        img = cv2.imread(os.path.join(args.dir, lab["image"]))
        if not args.raw:
            img = draw(img, lab)
        tiles.append(cv2.resize(img, (args.tile, args.tile), interpolation=cv2.INTER_AREA))
    while len(tiles) % args.cols:
        tiles.append(np.zeros_like(tiles[0]))
    rows = [np.hstack(tiles[i:i + args.cols]) for i in range(0, len(tiles), args.cols)]
    cv2.imwrite(args.out, np.vstack(rows))
    print("wrote %s (%d images)" % (args.out, len(labels)))


if __name__ == "__main__":
    main()
