"""Labels from the geometry that drew the picture: every point goes
through the homography that placed the dial.

labels.jsonl holds one object per image, in index order:

  {"image": "000000.jpg", "width": 640, "height": 640, "dial_box": [cx, cy, w, h],
   "keypoints": [[x, y, v], ... 14], "needles": [{"cx", "cy", "w", "h", "angle"}],
   "reading": 0.4213, "min": "0", "max": "16", "major_intervals": 8,
   "kind": "round|panel|sector", "sweep_deg": 270.1, "clockwise": true, "gamma": 1.0,
   "face": "light|dark", "bezel": "chrome|steel|brass|black|painted|case",
   "tilt_deg": 12.3, "roll_deg": -4.0, "jpeg_quality": 81}

Key points in the contract's order (training/contract.py), image pixels, v
as in COCO (2 visible, 1 hidden, 0 outside). "reading" is the needle's
fraction of the span; "min" and "max" are as printed. A wide frame adds
"scale_share" (the scale's width over the short side), "gauges" (0, 1 or
2) and, with two, the other gauge as "second"; an empty frame has only its
size, "gauges" and "jpeg_quality".
"""
import math

import numpy as np

from .. import contract
from .primitives import unit, warp_points


VIS_IN = 2                     # COCO style: 2 visible, 1 hidden but in frame, 0 outside
VIS_HIDDEN = 1
# The order canvas_keypoints gives them in: the engine reads them in the contract's.
KEYPOINTS = ("pivot", "needle_tip", "needle_tail", "scale_start", "scale_end", *("mark_0.%d" % k for k in range(1, 10)))
if KEYPOINTS != contract.KEYPOINT_NAMES:
    raise ImportError("the renderer labels the key points %s, the contract names %s"
                      % (", ".join(KEYPOINTS), ", ".join(contract.KEYPOINT_NAMES)))


def canvas_keypoints(g):
    sc = g.scale
    d = unit(g.needle["angle"])
    pts = [sc.pivot, sc.pivot + d * g.needle["length"], sc.pivot - d * g.needle["back"],
           sc.point(0.0), sc.point(1.0)]
    pts += [sc.point(k / 10) for k in range(1, 10)]
    return np.asarray(pts)


def labels_from(g, H, frame_w, frame_h=None):
    frame_h = frame_w if frame_h is None else frame_h
    kp_c = canvas_keypoints(g)
    kp = warp_points(H, kp_c)
    pivot, tip, tail = kp[0], kp[1], kp[2]
    # needle width: the canvas half-width measured across the warped axis at the pivot
    d = unit(g.needle["angle"])
    n = np.array([-d[1], d[0]])
    side = warp_points(H, [kp_c[0] + n * g.needle["half"], kp_c[0] - n * g.needle["half"]])
    axis = tip - tail
    length = float(np.hypot(*axis))
    ua = axis / max(length, 1e-9)
    height = abs(float(np.dot(side[0] - side[1], np.array([-ua[1], ua[0]]))))
    centre = (tip + tail) / 2
    needle = dict(cx=float(centre[0]), cy=float(centre[1]), w=length, h=height,
                  angle=float(math.atan2(axis[1], axis[0])))
    outline = warp_points(H, g.box_outline)
    half = float(np.max(np.abs(outline - pivot)))
    half = max(half, float(np.max(np.abs(kp[3:] - pivot))))
    box = [float(pivot[0]), float(pivot[1]), 2 * half, 2 * half]
    kps = []
    for i, p in enumerate(kp):
        inside = 0 <= p[0] < frame_w and 0 <= p[1] < frame_h
        v = 0 if not inside else (VIS_HIDDEN if i in g.hidden else VIS_IN)
        kps.append([round(float(p[0]), 4), round(float(p[1]), 4), v])
    return box, kps, needle


def scale_width(kp):
    """The scale's width: the larger side of the box around key points 3-13."""
    pts = np.asarray(kp)[3:, :2]
    return float(np.max(pts.max(0) - pts.min(0)))


def gauge_label(g, H, pose, w, h):
    box, kps, needle = labels_from(g, H, w, h)
    label = dict(dial_box=[round(v, 4) for v in box], keypoints=kps,
                 needles=[{k: round(v, 7 if k == "angle" else 4) for k, v in needle.items()}],
                 reading=round(g.reading, 6), min=g.min, max=g.max, major_intervals=g.major)
    return label, dict(g.meta, **pose, scale_share=round(scale_width(kps) / min(w, h), 4))
