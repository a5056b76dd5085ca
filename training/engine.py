"""What the engine does, in Python, each pinned to the engine by a test or
done by the library the engine calls: the letterbox's arithmetic, the
suppression that decides how many dials a picture holds, and the reading
geometry that turns a label (or a decoded detection) into a scale fraction.

Training, the label checks and the decoy search read pictures through these,
so what they learn and measure is what the engine will read.
"""
import math

import cv2
import numpy as np

from . import contract

# Of a scale segment: how far past either end a crossing still counts, as the
# engine's SEGMENT_TOLERANCE (meterreading.cpp). Labels stored to 1e-4 pixels
# put a needle that rests on an end mark at most 1.2e-5 of a segment past it
# (3 000 squares and 1 500 frames).
END_SLACK = 1e-4


def round_away(x):
    """std::round: halves away from zero (Python's round() takes them to even)."""
    return int(math.copysign(math.floor(abs(float(x)) + 0.5), float(x)))


def letterbox_geometry(w, h, size):
    """The engine's letterbox::fit() arithmetic, in single precision as there:
    the scaled size and the top, bottom, left and right pads. A test holds it
    to the engine over many sizes."""
    f = np.float32
    r = min(f(size) / f(w), f(size) / f(h))
    nw, nh = max(1, round_away(f(w) * r)), max(1, round_away(f(h) * r))
    dw, dh = f(size - nw) * f(0.5), f(size - nh) * f(0.5)
    return (nw, nh, round_away(dh - f(0.1)), round_away(dh + f(0.1)),
            round_away(dw - f(0.1)), round_away(dw + f(0.1)))


def survivors(out, threshold=contract.DIAL_SCORE, iou=contract.NMS_IOU):
    """The engine's survivors of a table [A, values], strongest first: the
    pose decoder's integer boxes (C++ truncation toward zero, halves of odd
    sizes floored as int division does) through the same cv::dnn::NMSBoxes,
    with scores below zero counted as zero."""
    def trunc(v):
        return int(math.trunc(float(v)))

    boxes, scores = [], []
    for c in out:
        cx, cy, w, h = trunc(c[0]), trunc(c[1]), trunc(c[2]), trunc(c[3])
        boxes.append([cx - int(w / 2), cy - int(h / 2), w, h])
        scores.append(max(float(c[4]), 0.0))
    if not boxes:
        return []
    kept = cv2.dnn.NMSBoxes(boxes, scores, threshold, iou, eta=1.0, top_k=0)
    return [out[i] for i in np.asarray(kept, dtype=int).reshape(-1)]


def count_dials(out, threshold=contract.DIAL_SCORE, iou=contract.NMS_IOU):
    """How many dials the engine counts in a table [A, values]: of a dial
    table's survivors, one without key points (every confidence zero) only
    from contract.UNPLACED_DIAL_SCORE on."""
    kept = survivors(out, threshold, iou)
    if out.shape[1] > 5:
        kept = [c for c in kept if np.any(c[7::3] > 0) or c[4] >= np.float32(contract.UNPLACED_DIAL_SCORE)]
    return len(kept)


def box_corners(cx, cy, w, h, angle):
    """cv::RotatedRect(centre, Size2f(w, h), degrees(angle)).points()."""
    b = math.cos(angle) * 0.5
    a = math.sin(angle) * 0.5
    p0 = (cx - a * h - b * w, cy + b * h - a * w)
    p1 = (cx + a * h - b * w, cy - b * h - a * w)
    p2 = (2 * cx - p0[0], 2 * cy - p0[1])
    p3 = (2 * cx - p1[0], 2 * cy - p1[1])
    return [p0, p1, p2, p3]


def needle_axis(needle, centre):
    """Base A and tip B: midpoints of the box's short sides, A nearer the centre."""
    c = box_corners(needle["cx"], needle["cy"], needle["w"], needle["h"], needle["angle"])
    sides = [(c[i], c[(i + 1) % 4]) for i in range(4)]
    sides.sort(key=lambda s: math.dist(s[0], s[1]))
    mids = [((s[0][0] + s[1][0]) / 2, (s[0][1] + s[1][1]) / 2) for s in sides[:2]]
    mids.sort(key=lambda m: math.dist(m, centre))
    return mids[0], mids[1]


def crossings(a, b, poly):
    """All (i, t) where segment a -> b + 5 (b - a) crosses poly[i] -> poly[i + 1]."""
    e = (b[0] + 5 * (b[0] - a[0]), b[1] + 5 * (b[1] - a[1]))
    r = (e[0] - a[0], e[1] - a[1])
    out = []
    for i in range(len(poly) - 1):
        s0, s1 = poly[i], poly[i + 1]
        s = (s1[0] - s0[0], s1[1] - s0[1])
        q = (s0[0] - a[0], s0[1] - a[1])
        den = s[1] * r[0] - s[0] * r[1]
        if abs(den) < 1e-12:
            continue
        ua = (q[0] * s[1] - q[1] * s[0]) / den
        ub = (q[0] * r[1] - q[1] * r[0]) / den
        if -1e-9 <= ua <= 1 + 1e-9 and -END_SLACK <= ub <= 1 + END_SLACK:
            out.append((i, min(1.0, max(0.0, ub))))
    # a crossing through a shared vertex shows up in both neighbouring intervals
    merged = []
    for i, t in out:
        if merged and merged[-1][0] == i - 1 and merged[-1][1] > 1 - 2 * END_SLACK and t < 2 * END_SLACK:
            continue
        merged.append((i, t))
    return merged


def scale_polyline(kp):
    """The scale's points in the engine's order: start, the tenths, end."""
    return [(kp[i][0], kp[i][1]) for i in contract.SCALE_KP]


def read_label(lab):
    """The reading the engine would make from these labels, and the crossings."""
    kp = lab["keypoints"]
    poly = scale_polyline(kp)
    centre = (lab["dial_box"][0], lab["dial_box"][1])
    a, b = needle_axis(lab["needles"][0], centre)
    xs = crossings(a, b, poly)
    if xs:
        return (xs[0][0] + xs[0][1]) / 10, xs
    # As the engine (scaleFraction): a needle pointing into the gap between
    # the ends, on its stop pin or pegged, reads the end it points nearer to.
    def closeness(p):
        d, t = (b[0] - a[0], b[1] - a[1]), (p[0] - a[0], p[1] - a[1])
        norms = math.hypot(*d) * math.hypot(*t)
        return (d[0] * t[0] + d[1] * t[1]) / norms if norms > 0 else -1.0
    to_end = closeness(poly[-1])
    return (1.0 if to_end > 0 and to_end > closeness(poly[0]) + 1e-6 else 0.0), xs


def engine_quantised(lab):
    """The same read with the engine's integer needle box and rounded distances."""
    n = dict(lab["needles"][0])
    for k in ("cx", "cy", "w", "h"):
        n[k] = float(int(n[k]))
    kp = lab["keypoints"]
    poly = scale_polyline(kp)
    centre = (lab["dial_box"][0], lab["dial_box"][1])
    a, b = needle_axis(n, centre)
    xs = crossings(a, b, poly)
    if not xs:
        return None
    i, t = xs[0]
    s0, s1 = poly[i], poly[i + 1]
    cross = (s0[0] + t * (s1[0] - s0[0]), s0[1] + t * (s1[1] - s0[1]))
    d0 = math.hypot(round(cross[0] - s0[0]), round(cross[1] - s0[1]))
    d1 = math.hypot(round(cross[0] - s1[0]), round(cross[1] - s1[1]))
    if d0 + d1 == 0:
        return None
    return (i + d0 / (d0 + d1)) / 10
