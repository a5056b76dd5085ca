"""Label consistency check for the synthetic gauges.

Reads each label the way the engine reads a detection and demands the stored
reading back:
  the scale polyline is key points 3, 5, 6, ..., 13, 4; the needle box's two
  short sides are found, the one nearer the dial-box centre is the base A and
  the other the tip B; the segment from A to B + 5 (B - A) is crossed with the
  polyline; a crossing in interval i at position t along it reads (i + t) / 10.
The reading must match the stored fraction within 0.5 % of the span, and the
pointer line must meet the scale exactly once (a tail reaching the scale would
make the engine's first-crossing rule read the wrong side).

On freshly rendered samples it also checks pixels against labels: the drawn
needle must fill its box from tail to tip, and key points 3 and 4 must sit
on the drawn start and end ticks.

  python3 -m training.check_labels [--count 500] [--seed 7] [--size 640]   # render in memory
  python3 -m training.check_labels --labels DIR/labels.jsonl                # a rendered set
Exits 1 when any sample fails.
"""
import argparse
import json
import math
import sys

from .engine import engine_quantised, read_label

TOLERANCE = 0.005          # of the span


def check_geometry(lab):
    """Cheap invariants; returns a list of problems."""
    bad = []
    kp = lab["keypoints"]
    size = (lab["width"], lab["height"])
    cx, cy, w, h = lab["dial_box"]
    if math.dist((cx, cy), kp[0][:2]) > 0.01:
        bad.append("dial box not centred on the pivot")
    if abs(w - h) > 0.01:
        bad.append("dial box not square")
    for i in range(3, 14):
        if abs(kp[i][0] - cx) > w / 2 + 0.01 or abs(kp[i][1] - cy) > h / 2 + 0.01:
            bad.append("scale point %d outside the dial box" % i)
    for i, (x, y, v) in enumerate(kp):
        inside = 0 <= x < size[0] and 0 <= y < size[1]
        if (v > 0) != inside:
            bad.append("key point %d visibility %d disagrees with its position" % (i, v))
    n = lab["needles"][0]
    d = (math.cos(n["angle"]), math.sin(n["angle"]))
    tip = (n["cx"] + d[0] * n["w"] / 2, n["cy"] + d[1] * n["w"] / 2)
    tail = (n["cx"] - d[0] * n["w"] / 2, n["cy"] - d[1] * n["w"] / 2)
    if math.dist(tip, kp[1][:2]) > 0.02 or math.dist(tail, kp[2][:2]) > 0.02:
        bad.append("needle box ends are not key points 1 and 2")
    if not n["w"] > n["h"] > 0:
        bad.append("needle box width must be its long side")
    if math.dist(tail, (cx, cy)) >= math.dist(tip, (cx, cy)):
        bad.append("needle tail is not nearer the dial centre than the tip")
    return bad


def check_pixels(lab, masks):
    """The drawn needle and start/end ticks against the labels."""
    import numpy as np
    bad = []
    n = lab["needles"][0]
    cov = masks["needle"]
    if (cov >= 128).sum() < 5:
        return ["needle not drawn"]
    d = np.array([math.cos(n["angle"]), math.sin(n["angle"])])
    nn = np.array([-d[1], d[0]])

    def along_across(threshold):
        ys, xs = np.nonzero(cov >= threshold)
        rel = np.stack([xs - n["cx"], ys - n["cy"]], 1)   # pixel centres are integers
        return rel @ d, rel @ nn

    # ends: sharp tips fade below half coverage, so look for any real ink
    # (under tilt the corners of a wide counterweight project a little past the axis end)
    u, _ = along_across(32)
    tol = 1.5 + 0.01 * n["w"] + 0.15 * n["h"] / 2
    if abs(u.max() - n["w"] / 2) > tol:
        bad.append("drawn needle tip %.1f px from the labelled tip" % (u.max() - n["w"] / 2))
    if abs(u.min() + n["w"] / 2) > tol:
        bad.append("drawn needle tail %.1f px from the labelled tail" % (u.min() + n["w"] / 2))
    # width: the box height is measured at the pivot; perspective may widen the far end a little
    _, v = along_across(128)
    if np.abs(v).max() > n["h"] / 2 * 1.15 + 0.75:
        bad.append("drawn needle wider than its box")
    ends = masks["ends"] > 64
    hgt, wid = ends.shape
    for i in (3, 4):
        x, y = lab["keypoints"][i][:2]
        x0, x1 = max(0, int(x) - 2), min(wid, int(x) + 3)
        y0, y1 = max(0, int(y) - 2), min(hgt, int(y) + 3)
        if not ends[y0:y1, x0:x1].any():
            bad.append("key point %d is not on the drawn %s tick" % (i, "start" if i == 3 else "end"))
    return bad


def pct(values, q):
    v = sorted(values)
    return v[min(len(v) - 1, int(q * len(v)))] if v else float("nan")


def check_gauge(lab, masks, errors, engine_errors):
    """One gauge's faults; its reading errors go to the two lists."""
    bad = check_geometry(lab)
    value, xs = read_label(lab)
    if not xs:
        bad.append("pointer line does not meet the scale")
    else:
        err = abs(value - lab["reading"])
        errors.append(err)
        if err > TOLERANCE:
            bad.append("reads %.4f, stored %.4f" % (value, lab["reading"]))
        if len(xs) > 1:
            bad.append("pointer line meets the scale %d times" % len(xs))
    q = engine_quantised(lab)
    if q is not None:
        engine_errors.append(abs(q - lab["reading"]))
    if masks is not None:
        bad += check_pixels(lab, masks)
    return bad


def gauges_of(lab, masks):
    """A frame's gauges with their masks: none in an empty frame; the second
    of two labelled in frame pixels like the first."""
    if lab.get("gauges", 1) == 0:
        return []
    gauges = [(lab, masks)]
    if "second" in lab:
        second = dict(lab["second"], width=lab["width"], height=lab["height"])
        gauges.append((second, None if masks is None else masks["second"]))
    return gauges


def main(argv=None):
    ap = argparse.ArgumentParser(description="Check that synthetic gauge labels read back their own reading.")
    ap.add_argument("--labels", help="labels.jsonl of a rendered set (otherwise samples are rendered here)")
    ap.add_argument("--count", type=int, default=500)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--size", type=int, default=640)
    args = ap.parse_args(argv)

    if args.labels:
        with open(args.labels) as fh:
            items = [(json.loads(line), None) for line in fh if line.strip()]
        total = None
    else:
        from .render import render_sample
        items = ((render_sample(args.seed, i, args.size, with_masks=True)[1:]) for i in range(args.count))
        total = args.count

    errors, engine_errors, failures, n = [], [], [], 0
    for frame, frame_masks in items:
        n += 1
        bad = []
        for lab, masks in gauges_of(frame, frame_masks):
            bad += check_gauge(lab, masks, errors, engine_errors)
        if bad:
            failures.append((frame.get("image", "sample %d" % (n - 1)), bad))
    if total is not None and n != total:
        failures.append(("set", ["rendered %d of %d" % (n, total)]))

    for name, bad in failures[:20]:
        print("FAIL %s: %s" % (name, "; ".join(bad)))
    print("checked %d samples: reading error (%% of span) median %.3f, 99th pct %.3f, max %.3f"
          % (n, 100 * pct(errors, 0.5), 100 * pct(errors, 0.99), 100 * max(errors, default=float("nan"))))
    print("with the engine's integer needle box and rounded distances: median %.3f, 99th pct %.3f, max %.3f"
          % (100 * pct(engine_errors, 0.5), 100 * pct(engine_errors, 0.99),
             100 * max(engine_errors, default=float("nan"))))
    print("%d passed, %d failed" % (n - len(failures), len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
