#!/usr/bin/python3
"""Synthetic dial-gauge photographs with exact labels.

Library: render_sample(seed, index, size) -> (BGR image, label dict, masks);
render_frame(seed, index) the same for a wide camera frame.
Command line: render.py --out DIR --count N --seed S [--size 640 | --frames]
[--jobs J] writes DIR/NNNNNN.jpg and DIR/labels.jsonl (one JSON object per
image, in index order). Every sample draws its own random stream from
(seed, index), every frame from (seed, index, 1), so a set is reproducible
and can be rendered in parallel or in polys.

Geometry is built in a flat "dial canvas" (pixels, x right, y down, angles
in radians with positive = clockwise on screen). The canvas is drawn, then
mapped into the photo by one homography H; every label point goes through
the same H, so labels stay exact under tilt and roll.
"""
import argparse
import glob
import json
import math
import os
import sys
import time

import cv2
import numpy as np

from contract import NUM_KP

SHIFT = 4                      # sub-pixel bits for OpenCV drawing
ONE = 1 << SHIFT
AA = cv2.LINE_AA
VIS_IN = 2                     # COCO style: 2 visible, 1 hidden but in frame, 0 outside
VIS_HIDDEN = 1

BACKGROUND_GLOBS = [
    "/usr/share/backgrounds/mate/nature/*.jpg",
    "/usr/share/backgrounds/mate/abstract/*.jpg",
    "/usr/share/backgrounds/mate/desktop/*.jpg",
    "/usr/share/backgrounds/*.jpg",
    "/usr/share/backgrounds/*.png",
]

FONTS = [cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_DUPLEX, cv2.FONT_HERSHEY_COMPLEX,
         cv2.FONT_HERSHEY_TRIPLEX, cv2.FONT_HERSHEY_PLAIN, cv2.FONT_HERSHEY_COMPLEX_SMALL]

RANGES = [(0, 1), (0, 1.6), (0, 2.5), (0, 4), (0, 6), (0, 10), (0, 16), (0, 25), (0, 40),
          (0, 60), (0, 100), (0, 160), (0, 250), (0, 400), (0, 600), (0, 1000), (0, 5),
          (0, 7), (0, 8), (0, 12), (0, 15), (0, 20), (0, 30), (0, 50), (0, 120), (0, 140),
          (0, 150), (0, 200), (0, 300), (0, 500), (0, 5000), (0, 3), (0, 2), (0, 0.6)]
NEG_RANGES = [(-1, 0), (-1, 1.5), (-1, 3), (-1, 5), (-1, 9), (-30, 50), (-40, 40), (-20, 120),
              (-50, 50), (-60, 140), (-30, 30), (-10, 50), (-100, 0), (-20, 60), (-40, 120)]
UNITS = ["bar", "psi", "kPa", "MPa", "PSI", "BAR", "C", "F", "A", "V", "mA", "kV", "kgf/cm2",
         "x100kPa", "mbar", "inHg", "OIL", "FUEL", "WATER", "TEMP", "AIR", "VOLTS", "AMP",
         "PRESSURE", "VACUUM", "x1000", "m3/h", "RPM", "%"]
SYLL = ["ka", "ro", "me", "ta", "ni", "sa", "po", "lu", "vi", "de", "ter", "mon", "tek", "gar",
        "fix", "dyn", "flo", "bar", "hy", "dro", "ma", "nu", "tor", "ex", "al", "quo", "zen"]


# ---------------------------------------------------------------- helpers

def U(rng, a, b):
    return float(rng.uniform(a, b))


def chance(rng, p):
    return bool(rng.random() < p)


# The share of round and sector scales drawn counter-clockwise, when set
# (--counter-clockwise): for a set that shows more of them. Only the share
# changes; every other draw of the sample stays the same.
COUNTER_CLOCKWISE = None


def counter_clockwise(usual):
    return usual if COUNTER_CLOCKWISE is None else COUNTER_CLOCKWISE


def pick(rng, items, weights=None):
    if weights is None:
        return items[int(rng.integers(len(items)))]
    w = np.asarray(weights, dtype=np.float64)
    return items[int(rng.choice(len(items), p=w / w.sum()))]


def fixed(pts):
    return np.round(np.asarray(pts, dtype=np.float64) * ONE).astype(np.int32)


def fill_poly(img, pts, color):
    cv2.fillPoly(img, [fixed(pts).reshape(-1, 1, 2)], color, AA, SHIFT)


def fill_circle(img, c, r, color, thickness=-1):
    cx, cy = fixed(c)
    cv2.circle(img, (int(cx), int(cy)), max(1, int(round(r * ONE))), color, thickness, AA, SHIFT)


def coverage(polys, shape, ss=4):
    """Exact area coverage (uint8) of polygons, from a supersampled fill, and its box.
    OpenCV's anti-aliased fill grows shapes by ~0.7 px a side, which would
    make a thin needle twice as wide as its label says."""
    allp = np.concatenate(polys)
    x0, y0 = np.maximum(np.floor(allp.min(0)) - 2, 0).astype(int)
    x1, y1 = np.minimum(np.ceil(allp.max(0)) + 3, [shape[1], shape[0]]).astype(int)
    out = np.zeros(shape[:2], np.uint8)
    out_box = (x0, y0, x1, y1)
    if x1 <= x0 or y1 <= y0:
        return out, out_box
    big = np.zeros(((y1 - y0) * ss, (x1 - x0) * ss), np.uint8)
    # pixel (i, j) covers [j - 0.5, j + 0.5]: shift so sub-pixel centres fall inside it
    for p in polys:
        q = (np.asarray(p) - [x0, y0] + 0.5) * ss - 0.5
        cv2.fillPoly(big, [fixed(q).reshape(-1, 1, 2)], 255, cv2.LINE_8, SHIFT)
    out[y0:y1, x0:x1] = cv2.resize(big, (x1 - x0, y1 - y0), interpolation=cv2.INTER_AREA)
    return out, out_box


def put_text_centred(img, text, centre, font, scale, color, thick):
    (w, h), base = cv2.getTextSize(text, font, scale, thick)
    org = (int(round(centre[0] - w / 2)), int(round(centre[1] + h / 2)))
    cv2.putText(img, text, org, font, scale, color, thick, AA)


def text_box(text, font, scale, thick):
    (w, h), _ = cv2.getTextSize(text, font, scale, thick)
    return w, h


def font_scale_for_height(font, px):
    _, h = text_box("0", font, 1.0, 1)
    return px / max(h, 1)


def unit(a):
    return np.array([math.cos(a), math.sin(a)])


def arc_poly(c, r, a0, a1, n=None):
    if n is None:
        n = max(8, int(abs(a1 - a0) * r / 6) + 2)
    t = np.linspace(a0, a1, n)
    return np.stack([c[0] + r * np.cos(t), c[1] + r * np.sin(t)], 1)


def band_poly(c, r0, r1, a0, a1):
    return np.concatenate([arc_poly(c, r1, a0, a1), arc_poly(c, r0, a1, a0)])


def fmt_value(v):
    if abs(v - round(v)) < 1e-9:
        return str(int(round(v)))
    return ("%.2f" % v).rstrip("0").rstrip(".")


def shade(color, k):
    return tuple(min(255, max(0, int(c * k))) for c in color)


def mix(c1, c2, t):
    return tuple(int(round(a * (1 - t) + b * t)) for a, b in zip(c1, c2))


def random_word(rng, n=None):
    n = n or int(rng.integers(1, 4))
    return "".join(pick(rng, SYLL) for _ in range(n))


def warp_points(H, pts):
    pts = np.asarray(pts, dtype=np.float64).reshape(-1, 2)
    h = np.concatenate([pts, np.ones((len(pts), 1))], 1) @ H.T
    return h[:, :2] / h[:, 2:3]


# ------------------------------------------------------------ backgrounds

_BG_FILES = None
_BG_CACHE = {}


def background_files():
    global _BG_FILES
    if _BG_FILES is None:
        files = set()
        for g in BACKGROUND_GLOBS:
            files.update(glob.glob(g))
        # The large copies of the same picture add nothing but decode time.
        _BG_FILES = sorted(f for f in files if not os.path.basename(f).startswith("Elephants_"))
    return _BG_FILES


def load_background(path):
    im = _BG_CACHE.get(path)
    if im is None:
        flag = cv2.IMREAD_COLOR
        if os.path.getsize(path) > 3_000_000 and path.endswith(".jpg"):
            flag = cv2.IMREAD_REDUCED_COLOR_2
        im = cv2.imread(path, flag)
        if im is None:
            im = np.full((64, 64, 3), 128, np.uint8)
        s = 1024 / max(im.shape[:2])
        if s < 1:
            im = cv2.resize(im, None, fx=s, fy=s, interpolation=cv2.INTER_AREA)
        _BG_CACHE[path] = im
    return im


def value_noise(rng, h, w, octaves=4, base=3):
    acc = np.zeros((h, w), np.float32)
    amp, tot = 1.0, 0.0
    for o in range(octaves):
        n = base * 2 ** o
        small = rng.random((n, n)).astype(np.float32)
        acc += amp * cv2.resize(small, (w, h), interpolation=cv2.INTER_CUBIC)
        tot += amp
        amp *= 0.55
    return acc / tot


def random_colour(rng, lo=0, hi=255):
    return tuple(int(x) for x in rng.integers(lo, hi + 1, 3))


def colorize(field, c0, c1):
    """Map a [0, 1] field onto the colour ramp c0 -> c1 (through a lookup table: fast)."""
    idx = np.ascontiguousarray(np.clip(field * 255, 0, 255).astype(np.uint8))
    t = np.linspace(0, 1, 256, dtype=np.float32)[:, None]
    lut = np.asarray(c0, np.float32) * (1 - t) + np.asarray(c1, np.float32) * t
    lut = np.clip(lut, 0, 255).astype(np.uint8).reshape(256, 1, 3)
    return cv2.LUT(cv2.merge([idx, idx, idx]), lut)


def blend(fg, bg, w):
    """fg * w + bg * (1 - w) with a per-pixel float32 weight map."""
    w = np.ascontiguousarray(w, dtype=np.float32)
    return cv2.blendLinear(np.ascontiguousarray(fg), np.ascontiguousarray(bg), w, 1.0 - w)


def photo_background(rng, size):
    files = background_files()
    if not files:
        return procedural_background(rng, size)
    im = load_background(pick(rng, files))
    h, w = im.shape[:2]
    side = int(min(h, w) * U(rng, 0.3, 1.0))
    x = int(rng.integers(0, w - side + 1))
    y = int(rng.integers(0, h - side + 1))
    crop = cv2.resize(im[y:y + side, x:x + side], (size, size), interpolation=cv2.INTER_LINEAR)
    return treated_crop(rng, crop, 1.0)


def treated_crop(rng, crop, blur):
    """Sometimes mirrored, blurred (blur scales the radius) and desaturated."""
    if chance(rng, 0.5):
        crop = crop[:, ::-1]
    if chance(rng, 0.3):
        crop = cv2.GaussianBlur(crop, (0, 0), U(rng, 1, 5) * blur)
    if chance(rng, 0.5):   # desaturate: photos of plants behind gauges are rare
        g = cv2.cvtColor(crop, cv2.COLOR_BGR2GRAY)[..., None]
        t = U(rng, 0.3, 1.0)
        crop = (crop * (1 - t) + g * t).astype(np.uint8)
    return np.ascontiguousarray(crop)


def procedural_background(rng, size):
    kind = pick(rng, ["studio", "noise", "brushed", "wood", "tiles", "pipes", "panel"],
                [3, 2, 1.5, 1, 1, 1.5, 1.5])
    if kind == "studio":   # product shots: white or plain backdrop with soft falloff
        if chance(rng, 0.6):
            c0 = (int(rng.integers(225, 256)),) * 3
        else:
            c0 = random_colour(rng, 60, 250)
        c1 = shade(c0, U(rng, 0.6, 1.0))
        y = np.linspace(0, 1, size, dtype=np.float32)[:, None] * np.ones((1, size), np.float32)
        if chance(rng, 0.5):
            y = y.T
        return colorize(y ** U(rng, 0.5, 2), c0, c1)
    if kind == "noise":
        f = value_noise(rng, size, size, octaves=5, base=int(rng.integers(2, 8)))
        img = colorize(f, random_colour(rng, 20, 220), random_colour(rng, 20, 220))
        grain = rng.normal(0, U(rng, 2, 12), (size, size, 1)).astype(np.float32)
        return np.clip(img + grain, 0, 255).astype(np.uint8)
    if kind == "brushed":
        streak = cv2.resize(rng.random((size, 12)).astype(np.float32), (size, size),
                            interpolation=cv2.INTER_LINEAR)
        streak = 0.6 * streak + 0.4 * value_noise(rng, size, size, 3, 2)
        if chance(rng, 0.5):
            streak = streak.T.copy()
        g = int(rng.integers(80, 220))
        return colorize(streak, (g - 50,) * 3, (min(255, g + 40),) * 3)
    if kind == "wood":
        n = value_noise(rng, size, size, 3, 3)
        x = np.linspace(0, U(rng, 10, 40), size, dtype=np.float32)[None, :]
        f = 0.5 + 0.5 * np.sin(x + 8 * n)
        base = (int(rng.integers(20, 90)), int(rng.integers(60, 130)), int(rng.integers(110, 200)))
        img = colorize(f.astype(np.float32), shade(base, 0.6), base)
        return img if chance(rng, 0.5) else np.ascontiguousarray(img.transpose(1, 0, 2))
    if kind == "tiles":
        c = random_colour(rng, 120, 240)
        img = colorize(value_noise(rng, size, size, 4, 4), shade(c, 0.85), c)
        step = int(rng.integers(40, 200))
        mortar = shade(c, U(rng, 0.4, 0.8))
        off = int(rng.integers(0, step))
        for k in range(-1, size // step + 2):
            cv2.line(img, (0, k * step + off), (size, k * step + off), mortar, 3, AA)
            cv2.line(img, (k * step + off, 0), (k * step + off, size), mortar, 3, AA)
        return img
    if kind == "panel":   # painted machine panel or cabinet
        c = random_colour(rng, 40, 220)
        img = colorize(value_noise(rng, size, size, 3, 2), shade(c, 0.8), c)
        for _ in range(int(rng.integers(0, 6))):
            p = rng.integers(0, size, 2)
            fill_circle(img, p, U(rng, 3, 10), shade(c, 0.5))
        return img
    # pipes in front of a wall
    img = colorize(value_noise(rng, size, size, 4, 3), random_colour(rng, 60, 200),
                   random_colour(rng, 60, 200))
    for _ in range(int(rng.integers(1, 4))):
        w = int(rng.integers(20, 140))
        pos = int(rng.integers(-w // 2, size))
        col = random_colour(rng, 40, 230)
        prof = np.cos(np.linspace(-1.3, 1.3, w)) * U(rng, 0.5, 1.0) + 0.2
        strip = (np.asarray(col, np.float32)[None, :] * prof[:, None].astype(np.float32))
        strip = np.clip(strip, 0, 255).astype(np.uint8)
        lo, hi = max(pos, 0), min(pos + w, size)
        if hi <= lo:
            continue
        seg = strip[lo - pos:hi - pos]
        if chance(rng, 0.5):
            img[lo:hi, :] = seg[:, None, :]
        else:
            img[:, lo:hi] = seg[None, :, :]
    return img


def background(rng, size):
    if chance(rng, 0.45):
        img = photo_background(rng, size)
    else:
        img = procedural_background(rng, size)
    img = np.ascontiguousarray(img)
    if chance(rng, 0.5):
        add_distractors(rng, img)
    return img


def add_distractors(rng, img):
    size = img.shape[0]
    for _ in range(int(rng.integers(1, 6))):
        kind = pick(rng, ["text", "line", "rect", "circle", "hex"])
        col = random_colour(rng)
        p = rng.integers(0, size, 2)
        if kind == "text":
            t = pick(rng, [random_word(rng).upper(), fmt_value(float(rng.integers(0, 500))),
                           random_word(rng) + " " + fmt_value(float(rng.integers(1, 99)))])
            cv2.putText(img, t, (int(p[0]), int(p[1])), pick(rng, FONTS), U(rng, 0.5, 2.5), col,
                        int(rng.integers(1, 4)), AA)
        elif kind == "line":
            q = rng.integers(0, size, 2)
            cv2.line(img, (int(p[0]), int(p[1])), (int(q[0]), int(q[1])), col, int(rng.integers(1, 8)), AA)
        elif kind == "rect":
            q = p + rng.integers(10, 150, 2)
            cv2.rectangle(img, (int(p[0]), int(p[1])), (int(q[0]), int(q[1])), col,
                          -1 if chance(rng, 0.5) else int(rng.integers(1, 5)), AA)
        elif kind == "circle":
            fill_circle(img, p, U(rng, 5, 80), col, -1 if chance(rng, 0.4) else int(rng.integers(1, 6)))
        else:
            r = U(rng, 8, 40)
            a = rng.random() * math.pi
            pts = [p + r * unit(a + k * math.pi / 3) for k in range(6)]
            fill_poly(img, pts, col)
            fill_circle(img, p, r * 0.5, shade(col, 0.6))


# ------------------------------------------------------------------ scale

def major_steps(vmin, vmax):
    span = vmax - vmin
    out = []
    for e in range(-2, 5):
        for k in (1, 2, 2.5, 5):
            st = k * 10.0 ** e
            n = span / st
            if abs(n - round(n)) < 1e-6 and 3 <= round(n) <= 12 and abs(vmin / st - round(vmin / st)) < 1e-6:
                out.append((st, int(round(n))))
    return out


def sample_range(rng):
    vmin, vmax = pick(rng, RANGES) if chance(rng, 0.85) else pick(rng, NEG_RANGES)
    vmin, vmax = float(vmin), float(vmax)
    steps = major_steps(vmin, vmax)
    good = [s for s in steps if 4 <= s[1] <= 10] or steps
    step, n = pick(rng, good)
    return vmin, vmax, step, n


class Scale:
    """Where values sit on the dial: angle(f) for a value fraction f in [0, 1]."""

    def __init__(self, pivot, a0, sweep, gamma, r_kp):
        self.pivot = np.asarray(pivot, np.float64)
        self.a0, self.sweep, self.gamma, self.r_kp = a0, sweep, gamma, r_kp

    def angle(self, f):
        f = min(1.0, max(0.0, float(f)))
        return self.a0 + self.sweep * f ** self.gamma

    def point(self, f, r=None):
        a = self.angle(f)
        r = self.r_kp if r is None else r
        return self.pivot + r * np.array([np.cos(a), np.sin(a)])


# ------------------------------------------------------------- the needle

def needle_polygons(rng, L, R, style):
    """Polygons in needle coordinates (u along pivot->tip, v across), the
    pivot at the origin, the tip at (L, 0)."""
    hb = max(1.0, R * U(rng, 0.008, 0.035))          # half width at the pivot
    shape = pick(rng, ["line", "tapered", "arrow", "lance", "fat"], [2, 4, 1.5, 1.5, 1.5])
    if style == "panel":
        shape = pick(rng, ["line", "tapered", "lance"], [3, 2, 1])
        hb = max(0.8, R * U(rng, 0.005, 0.015))
    polys = []
    if shape == "line":
        hw = max(0.8, hb * U(rng, 0.4, 0.8))
        polys.append([(0, -hw), (L - hw, -hw), (L, 0), (L - hw, hw), (0, hw)])
    elif shape == "tapered":
        ht = U(rng, 0.15, 0.45) * min(hb, 2.0)
        polys.append([(0, -hb), (L, -ht), (L, ht), (0, hb)])
    elif shape == "arrow":
        hs = max(0.8, hb * U(rng, 0.35, 0.6))
        hl = L * U(rng, 0.08, 0.16)
        ha = hs * U(rng, 2.5, 4.5)
        polys.append([(0, -hs), (L - hl, -hs), (L - hl, -ha), (L, 0), (L - hl, ha), (L - hl, hs), (0, hs)])
    elif shape == "lance":
        hm = hb * U(rng, 1.1, 1.8)
        k = U(rng, 0.5, 0.8)
        polys.append([(0, -hb), (k * L, -hm), (L, 0), (k * L, hm), (0, hb)])
    else:   # broad pointer of big industrial gauges
        hb = R * U(rng, 0.03, 0.06)
        polys.append([(0, -hb), (L * 0.97, -U(rng, 0.5, 1.5)), (L, 0), (L * 0.97, U(rng, 0.5, 1.5)), (0, hb)])

    tail_kind = pick(rng, ["none", "bar", "disc", "fan"], [3, 2, 2, 2])
    if shape == "fat" and chance(rng, 0.7):
        tail_kind = "fan"
    if style == "panel":
        tail_kind = pick(rng, ["none", "bar"], [1, 2])
    tail = 0.0
    if tail_kind != "none":
        tail = L * U(rng, 0.12, 0.38)
    if tail_kind == "bar":
        ht = hb * U(rng, 0.7, 1.4)
        polys.append([(-tail, -ht), (0, -hb), (0, hb), (-tail, ht)])
    elif tail_kind == "disc":
        rd = min(tail * 0.45, hb * U(rng, 2.0, 4.0))
        polys.append([(-tail + rd, -hb * 0.7), (0, -hb * 0.7), (0, hb * 0.7), (-tail + rd, hb * 0.7)])
        t = np.linspace(0, 2 * math.pi, 28, endpoint=False)
        polys.append(list(zip(-tail + rd + rd * np.cos(t), rd * np.sin(t))))
    elif tail_kind == "fan":
        hf = max(hb * U(rng, 1.8, 4.0), L * U(rng, 0.04, 0.1))
        if chance(rng, 0.5):    # swallow-tail notch
            polys.append([(0, -hb), (-tail, -hf), (-tail * U(rng, 0.6, 0.85), 0), (-tail, hf), (0, hb)])
        else:
            polys.append([(0, -hb), (-tail, -hf), (-tail, hf), (0, hb)])
    polys = [np.asarray(p, np.float64) for p in polys]
    back = max(0.0, -min(float(p[:, 0].min()) for p in polys))
    half = max(float(np.abs(p[:, 1]).max()) for p in polys)
    return polys, back, half, hb


def needle_to_canvas(polys, pivot, a):
    d = unit(a)
    n = np.array([-d[1], d[0]])
    return [pivot + p[:, :1] * d + p[:, 1:2] * n for p in polys]


# ------------------------------------------------------------ the gauge

FACE_LIGHT = [(255, 255, 255), (246, 248, 250), (225, 240, 248), (200, 232, 245), (245, 245, 235),
              (238, 232, 215), (220, 225, 230), (235, 225, 200), (180, 220, 240), (205, 235, 225)]
FACE_DARK = [(10, 10, 10), (30, 30, 30), (45, 40, 35), (60, 30, 20), (25, 35, 25), (70, 70, 70)]


def bezel_colours(rng):
    kind = pick(rng, ["chrome", "black", "brass", "painted", "steel"], [4, 2.5, 1, 1.5, 2])
    if kind == "chrome":
        return kind, (200, 200, 205), 0.45
    if kind == "steel":
        return kind, (165, 168, 170), 0.3
    if kind == "brass":
        return kind, (70, 150, 190), 0.35
    if kind == "black":
        return kind, (int(rng.integers(15, 50)),) * 3, 0.25
    return kind, random_colour(rng, 30, 200), 0.2


def metal_field(rng, h, w, centre, r_in, r_out, base, shine, n=96):
    """Low-resolution colour field of a ring: reflections vary with the angle
    (what makes a chrome bezel read as metal) and across the ring."""
    sx = w / n
    ny = max(2, int(round(h / sx)))
    ys, xs = np.mgrid[0:ny, 0:n].astype(np.float32)
    x = (xs + 0.5) * sx - centre[0]
    y = (ys + 0.5) * (h / ny) - centre[1]
    th = np.arctan2(y, x)
    r = np.sqrt(x * x + y * y)
    phi = rng.random() * 2 * math.pi
    ang = 1 + shine * (np.cos(2 * (th - phi)) + 0.5 * np.cos(th - phi * 1.7))
    t = np.clip((r - r_in) / max(r_out - r_in, 1), 0, 1)
    prof = 0.75 + 0.35 * np.sin(t * math.pi * U(rng, 0.8, 2.2) + U(rng, 0, 3))
    k = (ang * prof)[..., None]
    f = np.clip(np.asarray(base, np.float32)[None, None, :] * k, 0, 255).astype(np.uint8)
    return cv2.resize(f, (w, h), interpolation=cv2.INTER_LINEAR)


def face_field(rng, h, w, centre, radius, colour, n=64):
    """Face colour with the bezel's shadow and uneven light."""
    ny = max(2, int(round(n * h / w)))
    ys, xs = np.mgrid[0:ny, 0:n].astype(np.float32)
    x = (xs + 0.5) * (w / n) - centre[0]
    y = (ys + 0.5) * (h / ny) - centre[1]
    sh = unit(rng.random() * 2 * math.pi) * radius * U(rng, 0.0, 0.08)
    r = np.sqrt((x - sh[0]) ** 2 + (y - sh[1]) ** 2) / max(radius, 1)
    depth = U(rng, 0.05, 0.45)
    k = 1 - depth * np.clip((r - U(rng, 0.75, 0.95)) / 0.1, 0, 1) ** 1.5
    g = unit(rng.random() * 2 * math.pi)
    k = k * (1 + U(rng, 0, 0.12) * (x * g[0] + y * g[1]) / max(radius, 1))
    f = np.clip(np.asarray(colour, np.float32)[None, None, :] * k[..., None], 0, 255).astype(np.uint8)
    return cv2.resize(f, (w, h), interpolation=cv2.INTER_LINEAR)


class Gauge:
    """One drawn dial: its canvas (BGR + alpha) and the label geometry in canvas pixels."""


def sample_sweep(rng):
    r = rng.random()
    if r < 0.45:
        return math.radians(U(rng, 260, 280))
    if r < 0.65:
        return math.radians(U(rng, 220, 300))
    if r < 0.8:
        return math.radians(U(rng, 170, 230))
    if r < 0.9:
        return math.radians(U(rng, 300, 340))
    return math.radians(U(rng, 90, 170))


def build_gauge(rng, R_target, want_masks):
    kind = pick(rng, ["round", "panel", "sector"], [8, 1.2, 0.8])
    if kind == "round":
        return build_round(rng, R_target, want_masks)
    if kind == "panel":
        return build_panel(rng, R_target, want_masks)
    return build_sector(rng, R_target, want_masks)


def scale_style(rng, dark):
    st = {}
    st["ink"] = (pick(rng, [(240, 240, 240), (255, 255, 255), (120, 220, 250), (60, 170, 250)], [4, 3, 1, 1])
                 if dark else pick(rng, [(10, 10, 10), (40, 40, 40), (90, 40, 20), (30, 30, 140)], [6, 2, 1, 1]))
    st["num_ink"] = st["ink"] if chance(rng, 0.85) else (
        (50, 50, 220) if not dark else (255, 255, 255))
    st["font"] = pick(rng, FONTS, [4, 3, 1.5, 1, 1, 1.5])
    st["italic"] = chance(rng, 0.1)
    st["tick_shape"] = pick(rng, ["rect", "wedge", "dot"], [6, 2, 0.5])
    st["minor_dots"] = chance(rng, 0.08)
    st["arc_line"] = chance(rng, 0.45)
    st["every_other"] = chance(rng, 0.25)
    return st


def draw_scale(rng, img, masks, sc, R, vmin, vmax, step, nmaj, st, layout):
    """Ticks, numbers, an optional arc line and colour bands.
    layout: dict(anchor='outer'|'inner', r_out, Lmaj, numbers='inside'|'outside')."""
    pivot = sc.pivot
    ink = st["ink"]
    Lmaj = layout["Lmaj"]
    Lmin = Lmaj * U(rng, 0.35, 0.6)
    Lmid = (Lmaj + Lmin) / 2
    wmaj = max(1.3, R * U(rng, 0.006, 0.022))
    wmin = max(0.9, wmaj * U(rng, 0.4, 0.75))
    if layout["anchor"] == "outer":
        r_edge = layout["r_out"]
        span = lambda L: (r_edge - L, r_edge)
    elif layout["anchor"] == "inner":
        r_edge = layout["r_out"] - Lmaj
        span = lambda L: (r_edge, r_edge + L)
    else:
        rc = layout["r_out"] - Lmaj / 2
        span = lambda L: (rc - L / 2, rc + L / 2)
    r0m, r1m = span(Lmaj)
    assert abs((r0m + r1m) / 2 - sc.r_kp) < 1e-6, "key points sit at the middle of major ticks"

    # minor subdivisions: dense enough to look real, sparse enough to stay apart
    arc_px = abs(sc.sweep) * r1m
    subs = [m for m in (1, 2, 4, 5, 10) if nmaj * m <= 100 and arc_px / (nmaj * m) >= 4.5]
    m = pick(rng, subs, [1 if s == 1 else 2 for s in subs]) if subs else 1

    # colour bands (red/green zones) under the ticks
    if chance(rng, 0.3):
        for _ in range(int(rng.integers(1, 3))):
            f0 = pick(rng, [0.0, U(rng, 0.5, 0.85)])
            f1 = min(1.0, f0 + U(rng, 0.1, 0.35))
            col = pick(rng, [(40, 40, 220), (60, 170, 40), (40, 200, 240), (200, 120, 30)])
            bw = Lmaj * U(rng, 0.3, 1.0)
            ra, rb = (r1m - bw, r1m) if layout["anchor"] == "outer" else (r0m, r0m + bw)
            a0, a1 = sorted([float(sc.angle(f0)), float(sc.angle(f1))])
            fill_poly(img, band_poly(pivot, ra, rb, a0, a1), col)
    if st["arc_line"]:
        aw = max(1.0, wmin)
        r_line = r1m if layout["anchor"] == "outer" else r0m
        a0, a1 = sorted([float(sc.angle(0.0)), float(sc.angle(1.0))])
        fill_poly(img, band_poly(pivot, r_line - aw / 2, r_line + aw / 2, a0 - wmaj / 2 / r_line,
                                 a1 + wmaj / 2 / r_line), ink)

    polys = []
    total = nmaj * m
    for k in range(total + 1):
        f = k / total
        a = float(sc.angle(f))
        d = unit(a)
        n = np.array([-d[1], d[0]])
        if k % m == 0:
            L, w = Lmaj, wmaj
        elif m in (4, 10) and (k % m) * 2 == m:
            L, w = Lmid, (wmaj + wmin) / 2
        else:
            L, w = Lmin, wmin
            if st["minor_dots"]:
                r0, r1 = span(L)
                fill_circle(img, pivot + d * (r0 + r1) / 2, max(1.0, w), ink)
                continue
        r0, r1 = span(L)
        if st["tick_shape"] == "dot" and k % m == 0:
            fill_circle(img, pivot + d * (r0 + r1) / 2, max(1.5, L * 0.3), ink)
            if masks is not None and k in (0, total):
                fill_circle(masks["ends"], pivot + d * (r0 + r1) / 2, max(1.5, L * 0.3), 255)
            continue
        w_in = w * (0.45 if st["tick_shape"] == "wedge" else 1.0)
        p = [pivot + d * r0 - n * w_in / 2, pivot + d * r1 - n * w / 2,
             pivot + d * r1 + n * w / 2, pivot + d * r0 + n * w_in / 2]
        polys.append(fixed(p).reshape(-1, 1, 2))
        if masks is not None and k in (0, total):
            fill_poly(masks["ends"], p, 255)
    cv2.fillPoly(img, polys, ink, AA, SHIFT)

    # numbers at the major ticks
    font = st["font"] | (cv2.FONT_ITALIC if st["italic"] else 0)
    labelled = list(range(0, nmaj + 1, 2 if (st["every_other"] and nmaj % 2 == 0) else 1))
    texts = [fmt_value(vmin + i * step) for i in labelled]
    num_h = layout["num_h"]
    fs = font_scale_for_height(font, num_h)
    th = max(1, int(round(num_h * U(rng, 0.08, 0.16))))
    # shrink until neighbouring numbers stay apart on the arc
    r_guess = r0m - num_h if layout["numbers"] == "inside" else r1m + num_h
    da = abs(sc.sweep) / nmaj * (labelled[1] - labelled[0] if len(labelled) > 1 else 1)
    for _ in range(8):
        wmax = max(text_box(t, font, fs, th)[0] for t in texts)
        if wmax <= 0.8 * r_guess * 2 * math.sin(min(da, math.pi) / 2) or fs < 0.2:
            break
        fs *= 0.85
        th = max(1, th - 1) if fs < 0.5 else th
    gap = Lmaj * U(rng, 0.15, 0.45)
    max_r = r1m + gap
    for i, t in zip(labelled, texts):
        a = float(sc.angle(i / nmaj))
        d = unit(a)
        w, h = text_box(t, font, fs, th)
        ext = abs(d[0]) * w / 2 + abs(d[1]) * h / 2
        if layout["numbers"] == "inside":
            r = r0m - gap - ext
        else:
            r = r1m + gap + ext
        max_r = max(max_r, r + ext)
        put_text_centred(img, t, pivot + d * r, font, fs, st["num_ink"], th)
    return max_r, m


def place_text(rng, img, centre, R, ink, dark, strings=None):
    font = pick(rng, FONTS)
    t = strings or pick(rng, UNITS)
    h = R * U(rng, 0.05, 0.11)
    fs = font_scale_for_height(font, h)
    th = max(1, int(round(h * U(rng, 0.06, 0.14))))
    col = ink if chance(rng, 0.7) else pick(rng, [(40, 40, 200), (160, 60, 20), (60, 120, 40)])
    put_text_centred(img, t, centre, font, fs, col, th)


def finish_gauge(rng, g, canvas, alpha, want_masks):
    g.canvas = canvas
    g.alpha = alpha
    g.masks = {"needle": np.zeros(alpha.shape, np.uint8),
               "ends": np.zeros(alpha.shape, np.uint8)} if want_masks else None


def draw_needle_and_glass(rng, g, R, dark, style, face_mask, max_back=None):
    img = g.canvas
    sc = g.scale
    a = float(sc.angle(g.reading))
    L = min(g.face_r * 0.97, sc.r_kp * U(rng, 0.78, 1.08))
    if style == "panel":
        L = min(g.face_r * 0.99, sc.r_kp * U(rng, 0.95, 1.12))
    polys, back, half, hb = needle_polygons(rng, L, R, style)
    # the tail must stay well inside the scale so the pointer line meets the scale once,
    # and on the face (behind a corner pivot there is none)
    limit = 0.45 * sc.r_kp if max_back is None else min(0.45 * sc.r_kp, max_back)
    if back > limit:
        k = limit / back
        for p in polys:
            neg = p[:, 0] < 0
            p[neg, 0] *= k
        back = max(0.0, -min(float(p[:, 0].min()) for p in polys))
    col = (pick(rng, [(30, 30, 230), (255, 255, 255), (0, 140, 255), (40, 220, 250), (20, 20, 200)], [4, 3, 2, 1, 1])
           if dark else pick(rng, [(15, 15, 15), (30, 30, 210), (40, 40, 40), (110, 40, 10), (20, 20, 170)], [5, 4, 1, 1, 1]))
    cpolys = needle_to_canvas(polys, sc.pivot, a)
    # shadow on the face: the needle stands above it
    if chance(rng, 0.7):
        off = unit(rng.random() * 2 * math.pi) * R * U(rng, 0.005, 0.03)
        sigma = max(0.6, R * U(rng, 0.003, 0.015))
        allp = np.concatenate(cpolys) + off
        x0, y0 = np.maximum(np.floor(allp.min(0) - 3 * sigma - 2), 0).astype(int)
        x1, y1 = np.minimum(np.ceil(allp.max(0) + 3 * sigma + 2), [img.shape[1], img.shape[0]]).astype(int)
        if x1 > x0 and y1 > y0:
            sh = np.zeros((y1 - y0, x1 - x0), np.uint8)
            for p in cpolys:
                fill_poly(sh, p + off - [x0, y0], 255)
            sh = cv2.GaussianBlur(sh, (0, 0), sigma)
            k = sh.astype(np.float32) * (U(rng, 0.2, 0.55) / 255.0)
            roi = img[y0:y1, x0:x1]
            roi[:] = blend(np.zeros_like(roi), roi, k)
    cov, (x0, y0, x1, y1) = coverage(cpolys, img.shape)
    if x1 > x0 and y1 > y0:
        roi = img[y0:y1, x0:x1]
        roi[:] = blend(np.full_like(roi, col), roi, cov[y0:y1, x0:x1].astype(np.float32) / 255.0)
    if g.masks is not None:
        g.masks["needle"] = cov
    # pivot cap
    rc = max(hb * 1.3, R * U(rng, 0.025, 0.09))
    if style == "panel":
        rc = max(hb * 1.5, R * U(rng, 0.012, 0.03))
    cap = pick(rng, [col, (20, 20, 20), (180, 180, 185), (60, 140, 180)], [3, 2, 2, 1])
    fill_circle(img, sc.pivot, rc, cap)
    if chance(rng, 0.6):
        fill_circle(img, sc.pivot, rc * U(rng, 0.3, 0.7), shade(cap, U(rng, 0.5, 1.6)))
    if chance(rng, 0.4):
        hl = sc.pivot + unit(-2.3) * rc * 0.4
        fill_circle(img, hl, rc * 0.25, mix(cap, (255, 255, 255), 0.6))
    g.needle = dict(angle=a, length=L, back=back, half=half)


def add_glare(rng, g, mask_f, R, centre, dark=False):
    """Reflections on the glass: a window-like bright patch or a crescent along
    the rim, and sometimes a dull haze over everything."""
    h, w = g.canvas.shape[:2]
    n = 96
    k = n / w                                   # low-res pixels per canvas pixel
    ny = max(2, int(round(h * k)))
    low = np.zeros((ny, n), np.float32)
    c = np.asarray(centre) * k
    if chance(rng, 0.5):   # crescent hugging the rim
        a0 = U(rng, 0, 360)
        rr = R * k * U(rng, 0.8, 0.97)
        cv2.ellipse(low, (int(c[0] * ONE), int(c[1] * ONE)), (int(rr * ONE), int(rr * ONE)), 0, a0,
                    a0 + U(rng, 30, 120), 1.0, max(1, int(R * k * U(rng, 0.03, 0.12))), AA, SHIFT)
        sigma = U(rng, 0.4, 1.5)
    else:                  # a window or lamp seen in the glass
        p = c + unit(rng.random() * 2 * math.pi) * R * k * U(rng, 0, 0.6)
        ax = (max(1, int(R * k * U(rng, 0.15, 0.6))), max(1, int(R * k * U(rng, 0.05, 0.3))))
        cv2.ellipse(low, (int(p[0]), int(p[1])), ax, U(rng, 0, 180), 0, 360, 1.0, -1, AA)
        sigma = U(rng, 0.5, 3.0)
    low = cv2.GaussianBlur(low, (0, 0), sigma)
    strength = U(rng, 0.15, 0.5) if dark else U(rng, 0.3, 0.9)
    gl = cv2.resize(low, (w, h), interpolation=cv2.INTER_LINEAR) * strength
    if chance(rng, 0.25):
        gl = gl + U(rng, 0.03, 0.1)
    gl = np.clip(gl * mask_f, 0, 1)
    g.canvas = blend(np.full_like(g.canvas, 255), g.canvas, gl)


def build_round(rng, R_case, want_masks):
    g = Gauge()
    g.kind = "round"
    bezel_kind, bezel_col, shine = bezel_colours(rng)
    bw = R_case * U(rng, 0.03, 0.14)
    R = R_case - bw                          # face radius
    stem = chance(rng, 0.3)
    margin = 2 + int(R_case * 0.02)
    W = int(math.ceil(2 * (R_case + margin)))
    stem_len = R_case * U(rng, 0.35, 0.6) if stem else 0.0
    flange = chance(rng, 0.08)
    Rfl = R_case * U(rng, 1.1, 1.22) if flange else R_case
    if flange:
        margin = int(math.ceil(Rfl - R_case)) + 2
        W = int(math.ceil(2 * (R_case + margin)))
    Hh = W + int(math.ceil(stem_len))
    centre = np.array([W / 2, W / 2])
    dark = chance(rng, 0.22)
    face_col = pick(rng, FACE_DARK) if dark else pick(rng, FACE_LIGHT)
    face_col = shade(face_col, U(rng, 0.85, 1.05))

    alpha = np.zeros((Hh, W), np.uint8)
    fill_circle(alpha, centre, R_case, 255)
    face_m = np.zeros((Hh, W), np.uint8)
    fill_circle(face_m, centre, R, 255)
    bez = metal_field(rng, Hh, W, centre, R, R_case, bezel_col, shine)
    face = face_field(rng, Hh, W, centre, R, face_col)
    canvas = blend(face, bez, face_m.astype(np.float32) / 255.0)
    if bezel_kind in ("chrome", "steel", "brass"):   # sharp reflections make metal read as metal
        for _ in range(int(rng.integers(1, 5))):
            rr = U(rng, R + bw * 0.15, R_case - bw * 0.15)
            a0 = U(rng, 0, 360)
            col = (255, 255, 255) if chance(rng, 0.6) else shade(bezel_col, 0.35)
            cv2.ellipse(canvas, tuple(int(v) for v in fixed(centre)), (int(rr * ONE), int(rr * ONE)), 0, a0,
                        a0 + U(rng, 15, 110), col, max(1, int(bw * U(rng, 0.05, 0.3))), AA, SHIFT)
    if chance(rng, 0.6):   # dark inner lip where bezel meets the glass
        fill_circle(canvas, centre, R + max(1.0, bw * 0.15), shade(bezel_col, U(rng, 0.3, 0.7)),
                    max(1, int(bw * 0.2)))
    finish_gauge(rng, g, canvas, alpha, want_masks)
    img = g.canvas

    if flange or stem:   # pieces behind the case: draw, then put the case back on top
        back = img.copy()
        if flange:
            fcol = shade(bezel_col, 0.85)
            fill_circle(back, centre, Rfl, fcol)
            fill_circle(g.alpha, centre, Rfl, 255)
            for k in range(3):
                p = centre + unit(-math.pi / 2 + k * 2 * math.pi / 3) * (R_case + Rfl) / 2
                fill_circle(back, p, (Rfl - R_case) * 0.3, (30, 30, 30))
        if stem:
            brass = pick(rng, [(60, 150, 200), (70, 130, 170), (160, 160, 160)])
            hw = R_case * U(rng, 0.14, 0.22)
            y0 = centre[1] + R_case * 0.9
            y1 = centre[1] + R_case + stem_len * 0.45
            y2 = Hh - 1
            tw = hw * U(rng, 0.55, 0.75)
            for x0, x1, k in [(-hw, -hw / 3, 0.75), (-hw / 3, hw / 3, 1.1), (hw / 3, hw, 0.85)]:
                fill_poly(back, [(centre[0] + x0, y0), (centre[0] + x1, y0), (centre[0] + x1, y1),
                                 (centre[0] + x0, y1)], shade(brass, k))
            fill_poly(back, [(centre[0] - tw, y1), (centre[0] + tw, y1), (centre[0] + tw, y2),
                             (centre[0] - tw, y2)], brass)
            for yy in np.arange(y1 + 3, y2, max(2.5, stem_len * 0.07)):
                cv2.line(back, (int(centre[0] - tw), int(yy)), (int(centre[0] + tw), int(yy + 2)),
                         shade(brass, 0.55), 1, AA)
            fill_poly(g.alpha, [(centre[0] - hw, y0), (centre[0] + hw, y0), (centre[0] + hw, y1),
                                (centre[0] - hw, y1)], 255)
            fill_poly(g.alpha, [(centre[0] - tw, y1), (centre[0] + tw, y1), (centre[0] + tw, y2),
                                (centre[0] - tw, y2)], 255)
        inside = np.zeros((Hh, W), np.uint8)
        fill_circle(inside, centre, R_case, 255)
        img = blend(img, back, inside.astype(np.float32) / 255.0)
        g.canvas = img

    # scale
    sweep = sample_sweep(rng)
    mid = -math.pi / 2 + (math.radians(rng.normal(0, 6)) if chance(rng, 0.85) else U(rng, -math.pi, math.pi))
    cw = chance(rng, 1.0 - counter_clockwise(0.1))
    s = sweep if cw else -sweep
    a0 = mid - s / 2
    gamma = U(rng, 0.93, 1.08) if chance(rng, 0.1) else 1.0
    numbers = "inside" if chance(rng, 0.8) else "outside"
    Lmaj = R * U(rng, 0.06, 0.16)
    num_h = R * U(rng, 0.06, 0.13)
    if numbers == "inside":
        r_out = R * U(rng, 0.84, 0.95)
    else:
        r_out = R * 0.95 - 2.4 * num_h - Lmaj * 0.3
    anchor = pick(rng, ["outer", "inner", "centre"], [5, 2, 1])
    rk = {"outer": r_out - Lmaj / 2, "inner": r_out - Lmaj / 2, "centre": r_out - Lmaj / 2}[anchor]
    g.scale = Scale(centre, a0, s, gamma, rk)
    g.face_r = R
    vmin, vmax, step, nmaj = sample_range(rng)
    st = scale_style(rng, dark)
    layout = dict(anchor=anchor, r_out=r_out, Lmaj=Lmaj, numbers=numbers, num_h=num_h)
    band_r, _ = draw_scale(rng, img, g.masks, g.scale, R, vmin, vmax, step, nmaj, st, layout)

    # a second, inner scale in other units
    if numbers == "inside" and chance(rng, 0.18) and abs(sweep) > math.radians(200):
        r2 = R * U(rng, 0.4, 0.52)
        v2 = sample_range(rng)
        q = U(rng, 0.7, 1.0)
        sc2 = Scale(centre, a0, s * q, 1.0, r2)
        st2 = dict(st, ink=pick(rng, [(40, 40, 200), (160, 60, 20), (40, 120, 40)]), arc_line=chance(rng, 0.5),
                   every_other=chance(rng, 0.5), tick_shape="rect", minor_dots=False)
        st2["num_ink"] = st2["ink"]
        draw_scale(rng, img, None, sc2, R * 0.7, *v2, st2,
                   dict(anchor="outer", r_out=r2 + R * 0.03, Lmaj=R * 0.06, numbers="inside",
                        num_h=R * U(rng, 0.04, 0.06)))

    # texts, screws and the stop pin, opposite the scale and below it
    gap_dir = unit(mid + math.pi)
    top_dir = unit(mid)
    if chance(rng, 0.75):
        place_text(rng, img, centre + gap_dir * R * U(rng, 0.3, 0.5), R, st["ink"], dark)
    if chance(rng, 0.5):
        place_text(rng, img, centre + top_dir * R * U(rng, 0.25, 0.4), R, st["ink"], dark,
                   random_word(rng).upper())
    if chance(rng, 0.3):
        place_text(rng, img, centre + gap_dir * R * U(rng, 0.55, 0.72), R * 0.6, st["ink"], dark,
                   pick(rng, ["CL 1.6", "CL 2.5", "EN 837-1", "No " + str(int(rng.integers(1000, 99999))),
                              "1.0", "G1/4", "MADE IN " + random_word(rng, 2).upper()]))
    if chance(rng, 0.3):
        side = np.array([-gap_dir[1], gap_dir[0]])
        for sgn in (-1, 1):
            p = centre + gap_dir * R * 0.45 + side * sgn * R * U(rng, 0.1, 0.2)
            fill_circle(img, p, R * 0.03, shade(face_col, 0.6))
            fill_circle(img, p, R * 0.018, shade(face_col, 0.85))
    if chance(rng, 0.3):
        fill_circle(img, g.scale.point(0.0, rk) + unit(float(g.scale.angle(0.0)) - np.sign(s) * math.pi / 2) * R * 0.06,
                    R * 0.018, (90, 90, 90))

    if chance(rng, 0.15):   # old gauges: specks and stains on the face
        for _ in range(int(rng.integers(10, 120))):
            p = centre + unit(rng.random() * 2 * math.pi) * R * math.sqrt(rng.random())
            fill_circle(img, p, max(0.6, R * U(rng, 0.002, 0.008)), shade(face_col, U(rng, 0.3, 0.8)))
        stain = value_noise(rng, 24, 24, 2, 2)
        stain = cv2.resize(stain, (W, Hh), interpolation=cv2.INTER_LINEAR)
        k = np.clip(stain - U(rng, 0.4, 0.7), 0, 1) * U(rng, 0.3, 0.8) * (face_m.astype(np.float32) / 255.0)
        img[:] = blend(np.full_like(img, shade(face_col, 0.7)), img, k)
    g.reading = sample_reading(rng)
    draw_needle_and_glass(rng, g, R, dark, "round", face_m)
    if chance(rng, 0.75):
        add_glare(rng, g, face_m.astype(np.float32) / 255.0, R, centre, dark)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = arc_poly(centre, R_case, 0, 2 * math.pi, 64)
    g.depth = R_case * U(rng, 0.08, 0.4) if chance(rng, 0.8) else 0.0
    g.side_colour = shade(bezel_col, 0.8)
    g.hidden = set()
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="round", sweep_deg=round(math.degrees(sweep), 2), clockwise=cw, gamma=round(gamma, 4),
                  face="dark" if dark else "light", bezel=bezel_kind)
    return g


def sample_reading(rng):
    r = rng.random()
    if r < 0.15:
        return 0.0        # resting on the stop: common in real photographs
    if r < 0.18:
        return 1.0
    return float(rng.random())


def build_panel(rng, Rt, want_masks):
    """Moving-coil panel meter: rectangular case, pivot low, a short arc."""
    g = Gauge()
    Wc = 2 * Rt
    Hc = Wc * U(rng, 0.75, 1.0)
    margin = 3
    W, Hh = int(math.ceil(Wc + 2 * margin)), int(math.ceil(Hc + 2 * margin))
    case_col = pick(rng, [(20, 20, 20), (40, 40, 40), (200, 205, 210), (150, 160, 165), (60, 50, 40)])
    x0, y0 = margin, margin
    ins = Wc * U(rng, 0.05, 0.1)
    fx0, fy0, fx1, fy1 = x0 + ins, y0 + ins, x0 + Wc - ins, y0 + Hc - ins
    dark = chance(rng, 0.1)
    face_col = pick(rng, FACE_DARK) if dark else pick(rng, FACE_LIGHT)
    alpha = np.zeros((Hh, W), np.uint8)
    rr = Wc * U(rng, 0.01, 0.06)
    case_poly = rounded_rect(x0, y0, x0 + Wc, y0 + Hc, rr)
    fill_poly(alpha, case_poly, 255)
    face_m = np.zeros((Hh, W), np.uint8)
    fill_poly(face_m, rounded_rect(fx0, fy0, fx1, fy1, rr * 0.5), 255)
    centre = np.array([W / 2, Hh / 2])
    bez = metal_field(rng, Hh, W, centre, 0, Wc, case_col, 0.1)
    face = face_field(rng, Hh, W, centre, Wc * 0.6, face_col)
    finish_gauge(rng, g, blend(face, bez, face_m.astype(np.float32) / 255.0), alpha, want_masks)
    img = g.canvas
    for cx in (x0 + ins / 2, x0 + Wc - ins / 2):     # corner screws
        for cy in (y0 + ins / 2, y0 + Hc - ins / 2):
            if ins > 6 and chance(rng, 0.5):
                fill_circle(img, (cx, cy), ins * 0.3, shade(case_col, 1.6) if case_col[0] < 100 else shade(case_col, 0.6))

    fw, fh = fx1 - fx0, fy1 - fy0
    pivot = np.array([W / 2 + U(rng, -0.03, 0.03) * fw, fy1 - fh * U(rng, 0.03, 0.3)])
    covered = pivot[1] > fy1 - 0.12 * fh or chance(rng, 0.4)
    sweep = math.radians(U(rng, 80, 110))
    mid = -math.pi / 2 + math.radians(rng.normal(0, 2))
    num_h = fh * U(rng, 0.05, 0.085)
    Lmaj = fh * U(rng, 0.06, 0.12)
    top_room = pivot[1] - fy0 - 2.6 * num_h - Lmaj
    side_room = (fw / 2) * 0.92 / math.sin(sweep / 2) - Lmaj - 2.2 * num_h
    r_out = min(top_room, side_room)
    rk = r_out - Lmaj / 2
    g.scale = Scale(pivot, mid - sweep / 2, sweep, U(rng, 0.93, 1.08) if chance(rng, 0.2) else 1.0, rk)
    g.face_r = r_out + Lmaj
    vmin, vmax, step, nmaj = sample_range(rng)
    st = scale_style(rng, dark)
    st["tick_shape"] = "rect"
    R = r_out / 0.9
    layout = dict(anchor=pick(rng, ["inner", "outer"]), r_out=r_out, Lmaj=Lmaj, numbers="outside", num_h=num_h)
    band_r, _ = draw_scale(rng, img, g.masks, g.scale, R, vmin, vmax, step, nmaj, st, layout)
    if chance(rng, 0.8):
        place_text(rng, img, (pivot[0] + U(rng, -0.3, 0.3) * fw, pivot[1] - rk * U(rng, 0.35, 0.6)), R * 1.4,
                   st["ink"], dark, pick(rng, ["A", "V", "mA", "kV", "uA", "mV", "kW", "Hz", "%"]))
    if chance(rng, 0.5):
        place_text(rng, img, (fx0 + fw * U(rng, 0.15, 0.3), fy1 - fh * U(rng, 0.06, 0.15)), R * 0.6, st["ink"], dark,
                   pick(rng, ["CLASS 2.5", "CL 1.5", random_word(rng).upper(), "85C1", "DC", "AC"]))
    g.reading = sample_reading(rng)
    draw_needle_and_glass(rng, g, R, dark, "panel", face_m, max_back=0.9 * (fy1 - pivot[1]))
    g.hidden = set()
    if covered:    # the cover over the movement hides the pivot
        cw_ = fw * U(rng, 0.18, 0.35)
        top = pivot[1] - U(rng, 0.04, 0.1) * fh
        cov = pick(rng, [(20, 20, 20), (40, 40, 40), shade(case_col, 0.9)])
        fill_poly(img, rounded_rect(pivot[0] - cw_, top, pivot[0] + cw_, fy1 + 1, cw_ * 0.3), cov)
        g.hidden.add(0)
        tail = pivot - unit(g.needle["angle"]) * g.needle["back"]
        if tail[1] >= top - 1:
            g.hidden.add(2)
    if chance(rng, 0.6):
        add_glare(rng, g, face_m.astype(np.float32) / 255.0, Wc / 2, centre, dark)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = case_poly
    g.depth = Wc * U(rng, 0.1, 0.4) if chance(rng, 0.8) else 0.0
    g.side_colour = shade(case_col, 0.8) if case_col[0] > 60 else (50, 50, 50)
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="panel", sweep_deg=round(math.degrees(sweep), 2), clockwise=True,
                  gamma=round(g.scale.gamma, 4), face="dark" if dark else "light", bezel="case")
    return g


def band_outline(sc, r):
    """The outer edge of the scale band (ticks and numbers): the dial box contains it."""
    a0, a1 = sorted([float(sc.angle(0.0)), float(sc.angle(1.0))])
    return arc_poly(sc.pivot, r, a0, a1, 48)


def rounded_rect(x0, y0, x1, y1, r):
    r = max(0.0, min(r, (x1 - x0) / 2, (y1 - y0) / 2))
    pts = []
    for cx, cy, a in [(x1 - r, y0 + r, -math.pi / 2), (x1 - r, y1 - r, 0), (x0 + r, y1 - r, math.pi / 2),
                      (x0 + r, y0 + r, math.pi)]:
        t = np.linspace(a, a + math.pi / 2, 6)
        pts.extend(zip(cx + r * np.cos(t), cy + r * np.sin(t)))
    return np.asarray(pts)


def build_sector(rng, Rt, want_masks):
    """Quadrant gauge: the pivot in a corner, the face a pie slice."""
    g = Gauge()
    sweep = math.radians(U(rng, 80, 120))
    mid = pick(rng, [-math.pi / 4, -3 * math.pi / 4, -math.pi / 2]) + math.radians(rng.normal(0, 4))
    pad = math.radians(U(rng, 4, 12))
    R_case = 2 * Rt * U(rng, 0.8, 0.95)
    bw = R_case * U(rng, 0.03, 0.08)
    R = R_case - bw
    back = R * 0.12
    # pie in local coordinates with the pivot at the origin, then shifted into the canvas
    lo, hi = mid - sweep / 2 - pad, mid + sweep / 2 + pad
    face_local = np.concatenate([[unit(mid + math.pi) * back], arc_poly((0, 0), R, lo, hi, 40)])
    case_local = np.concatenate([[unit(mid + math.pi) * (back + bw * 1.4)],
                                 arc_poly((0, 0), R_case, lo - bw / R_case, hi + bw / R_case, 40)])
    mn = case_local.min(0) - 3
    mx = case_local.max(0) + 3
    W, Hh = int(math.ceil(mx[0] - mn[0])), int(math.ceil(mx[1] - mn[1]))
    pivot = -mn
    face_p, case_p = face_local + pivot, case_local + pivot
    bezel_kind, bezel_col, shine = bezel_colours(rng)
    dark = chance(rng, 0.2)
    face_col = pick(rng, FACE_DARK) if dark else pick(rng, FACE_LIGHT)
    alpha = np.zeros((Hh, W), np.uint8)
    fill_poly(alpha, case_p, 255)
    face_m = np.zeros((Hh, W), np.uint8)
    fill_poly(face_m, face_p, 255)
    bez = metal_field(rng, Hh, W, pivot, 0, R_case, bezel_col, shine * 0.5)
    face = face_field(rng, Hh, W, pivot + unit(mid) * R * 0.5, R * 0.6, face_col)
    finish_gauge(rng, g, blend(face, bez, face_m.astype(np.float32) / 255.0), alpha, want_masks)
    img = g.canvas

    cw = chance(rng, 1.0 - counter_clockwise(0.15))
    s = sweep if cw else -sweep
    num_h = R * U(rng, 0.06, 0.1)
    Lmaj = R * U(rng, 0.06, 0.12)
    numbers = "inside" if chance(rng, 0.7) else "outside"
    r_out = R * U(rng, 0.86, 0.95) if numbers == "inside" else R * 0.95 - 2.4 * num_h
    rk = r_out - Lmaj / 2
    g.scale = Scale(pivot, mid - s / 2, s, 1.0, rk)
    g.face_r = R
    vmin, vmax, step, nmaj = sample_range(rng)
    st = scale_style(rng, dark)
    layout = dict(anchor=pick(rng, ["outer", "inner"]), r_out=r_out, Lmaj=Lmaj, numbers=numbers, num_h=num_h)
    band_r, _ = draw_scale(rng, img, g.masks, g.scale, R, vmin, vmax, step, nmaj, st, layout)
    if chance(rng, 0.7):
        place_text(rng, img, pivot + unit(mid) * R * U(rng, 0.35, 0.5), R, st["ink"], dark)
    g.reading = sample_reading(rng)
    draw_needle_and_glass(rng, g, R, dark, "round", face_m, max_back=0.8 * back)
    if chance(rng, 0.6):
        add_glare(rng, g, face_m.astype(np.float32) / 255.0, R * 0.6, pivot + unit(mid) * R * 0.5, dark)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = case_p
    g.depth = R_case * U(rng, 0.05, 0.25) if chance(rng, 0.7) else 0.0
    g.side_colour = shade(bezel_col, 0.8)
    g.hidden = set()
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="sector", sweep_deg=round(math.degrees(sweep), 2), clockwise=cw, gamma=1.0,
                  face="dark" if dark else "light", bezel=bezel_kind)
    return g


# ------------------------------------------------------ pose and labels

def rotation(tilt, axis_angle, roll):
    c, s = math.cos(roll), math.sin(roll)
    Rz = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])
    ax = np.array([math.cos(axis_angle), math.sin(axis_angle), 0.0])
    K = np.array([[0, -ax[2], ax[1]], [ax[2], 0, -ax[0]], [-ax[1], ax[0], 0]])
    Rt = np.eye(3) + math.sin(tilt) * K + (1 - math.cos(tilt)) * (K @ K)
    return Rt @ Rz


def pose_homography(rng, g, scale):
    """Homography from canvas pixels to output pixels (before translation):
    the dial plane rotated in 3-D and seen by a pinhole camera."""
    r = rng.random()
    if r < 0.35:
        tilt = math.radians(U(rng, 0, 5))
    elif r < 0.8:
        tilt = math.radians(U(rng, 5, 20))
    else:
        tilt = math.radians(U(rng, 20, 30))
    r = rng.random()
    if r < 0.7:
        roll = math.radians(rng.normal(0, 7))
    elif r < 0.95:
        roll = math.radians(U(rng, -45, 45))
    else:
        roll = U(rng, -math.pi, math.pi)
    Rm = rotation(tilt, rng.random() * 2 * math.pi, roll)
    h, w = g.canvas.shape[:2]
    c = g.scale.pivot
    size_ref = max(h, w) * scale
    dist = size_ref * U(rng, 1.5, 5.0)

    def project(pts, z=0.0):
        """Canvas points lifted to depth z behind the dial plane (canvas pixels) -> output pixels."""
        pts = np.asarray(pts, np.float64).reshape(-1, 2)
        P = np.stack([(pts[:, 0] - c[0]) * scale, (pts[:, 1] - c[1]) * scale,
                      np.full(len(pts), z * scale)], 1) @ Rm.T
        return np.stack([dist * P[:, 0] / (dist + P[:, 2]), dist * P[:, 1] / (dist + P[:, 2])], 1)

    src = np.array([[0, 0], [w, 0], [w, h], [0, h]], np.float64)
    dst = project(src)
    H = cv2.getPerspectiveTransform(src.astype(np.float32), dst.astype(np.float32)).astype(np.float64)
    return H, project, dict(tilt_deg=round(math.degrees(tilt), 2), roll_deg=round(math.degrees(roll), 2))


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


# ------------------------------------------------------------- the photo

def photometric(rng, img):
    h, w = img.shape[:2]
    # uneven light and a colour cast, as one smooth per-channel gain map
    low = 1 + rng.normal(0, U(rng, 0, 0.25), (4, 4, 1))
    cast = np.array([U(rng, 0.9, 1.08), U(rng, 0.95, 1.04), U(rng, 0.9, 1.1)])
    low = (low * cast * U(rng, 0.65, 1.2)).astype(np.float32)
    gain = cv2.resize(low, (w, h), interpolation=cv2.INTER_CUBIC)
    img = cv2.multiply(img, gain, dtype=cv2.CV_8U)
    if chance(rng, 0.35):
        img = cv2.GaussianBlur(img, (0, 0), U(rng, 0.4, 1.8))
    elif chance(rng, 0.12):   # hand shake
        k = int(rng.integers(3, 10))
        ker = np.zeros((k, k), np.float32)
        ker[k // 2, :] = 1.0 / k
        M = cv2.getRotationMatrix2D((k / 2 - 0.5, k / 2 - 0.5), U(rng, 0, 180), 1.0)
        ker = cv2.warpAffine(ker, M, (k, k))
        img = cv2.filter2D(img, -1, ker / max(float(ker.sum()), 1e-6))
    if chance(rng, 0.25):   # a small source picture scaled up
        s = U(rng, 0.3, 0.7)
        small = cv2.resize(img, None, fx=s, fy=s, interpolation=cv2.INTER_AREA)
        img = cv2.resize(small, (w, h), interpolation=cv2.INTER_LINEAR)
    if chance(rng, 0.3):   # contrast curve
        lut = (255.0 * np.power(np.arange(256) / 255.0, U(rng, 0.6, 1.5))).astype(np.uint8)
        img = cv2.LUT(img, lut)
    if chance(rng, 0.6):   # sensor noise
        # drawn at half size: phone noise is not per-pixel white anyway
        n = rng.standard_normal((h // 2, w // 2), dtype=np.float32) * U(rng, 1, 9)
        n = cv2.resize(n, (w, h), interpolation=cv2.INTER_LINEAR)
        img = cv2.add(img, cv2.merge([n, n, n]), dtype=cv2.CV_8U)
    if chance(rng, 0.05):
        g = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
        img = cv2.cvtColor(g, cv2.COLOR_GRAY2BGR)
    return img


FIT_MARGIN = 4.0               # key points stay this far inside the picture (pixels)


def fit_pose(rng, g, room, scale=1.0):
    """A pose whose key points fit a room of (width, height) pixels, or a
    square of that side, shrinking the gauge until they do. Returns the
    homography before translation, its projection, the pose label, and the
    key points and canvas corners it maps to."""
    w, h = g.canvas.shape[1], g.canvas.shape[0]
    corners = np.array([[0, 0], [w, 0], [w, h], [0, h]])
    for attempt in range(12):
        H, project, pose = pose_homography(rng, g, scale * (0.85 ** attempt))
        kp = warp_points(H, canvas_keypoints(g))
        case = warp_points(H, corners)
        lo, hi = kp.min(0), kp.max(0)
        if np.all(hi - lo <= np.asarray(room) - 2 * FIT_MARGIN):
            break
    return H, project, pose, kp, case


def translation(rng, kp, case, region, case_inside=0.85):
    """A shift that keeps the key points inside region (x0, y0, x1, y1), and
    the whole gauge too when it fits, with chance case_inside."""
    t = np.zeros(2)
    lo, hi = kp.min(0), kp.max(0)
    clo, chi = case.min(0), case.max(0)
    for k in range(2):
        a, b = region[k] + FIT_MARGIN - lo[k], region[k + 2] - FIT_MARGIN - hi[k]
        fa, fb = region[k] - clo[k], region[k + 2] - chi[k]
        na, nb = max(a, fa), min(b, fb)
        if nb >= na and chance(rng, case_inside):
            a, b = na, nb
        t[k] = U(rng, a, b) if b > a else (a + b) / 2
    return t


def shifted(H, t):
    return np.array([[1, 0, t[0]], [0, 1, t[1]], [0, 0, 1.0]]) @ H


def composite(rng, bg, g, H, project, t, reach, layers=None):
    """The gauge over the background bg (drawn on): the side of its case,
    the gauge itself through H, and sometimes its shadow, offset and
    blurred in proportion to reach (pixels). Returns the picture and the
    canvas-sized masks in layers, warped as the gauge was."""
    height, width = bg.shape[:2]
    if g.depth > 0:   # the side of the case, seen when the gauge is tilted
        col = g.side_colour
        zs = np.linspace(g.depth, 0, 7)
        for k, z in enumerate(zs):
            fill_poly(bg, project(g.case_outline, z) + t, shade(col, 0.55 + 0.45 * k / (len(zs) - 1)))
    bgra = np.dstack([g.canvas, g.alpha])
    warped = cv2.warpPerspective(bgra, H, (width, height), flags=cv2.INTER_LINEAR, borderValue=0)
    a = warped[..., 3].astype(np.float32) / 255.0
    base = bg
    if chance(rng, 0.6):   # the gauge's shadow on what is behind it, made at quarter size
        q = 4
        off = unit(rng.random() * 2 * math.pi) * reach * U(rng, 0.005, 0.04) / q
        small = cv2.resize(warped[..., 3], (width // q, height // q), interpolation=cv2.INTER_AREA)
        M = np.array([[1, 0, off[0]], [0, 1, off[1]]], np.float32)
        small = cv2.warpAffine(small, M, (width // q, height // q))
        small = cv2.GaussianBlur(small, (0, 0), max(0.5, reach * U(rng, 0.005, 0.03) / q))
        sh = cv2.resize(small, (width, height), interpolation=cv2.INTER_LINEAR)
        base = blend(np.zeros_like(bg), bg, sh.astype(np.float32) * (U(rng, 0.2, 0.6) / 255.0))
    drawn = None
    if layers is not None:
        drawn = {k: cv2.warpPerspective(v, H, (width, height), flags=cv2.INTER_LINEAR) for k, v in layers.items()}
    return blend(warped[..., :3], base, a), drawn


def render_sample(seed, index, size=640, with_masks=False):
    """Render one photograph. Returns (BGR image, label dict, masks or None);
    masks (needle, scale-end ticks) are in output pixels, for the label checks."""
    rng = np.random.default_rng([int(seed), int(index)])
    # dial size: mostly close-ups, sometimes a small dial in a scene
    r = rng.random()
    frac = U(rng, 0.32, 0.52) if r < 0.7 else (U(rng, 0.1, 0.32) if r < 0.93 else U(rng, 0.52, 0.62))
    R_target = max(28.0, frac * size)
    g = build_gauge(rng, R_target, with_masks)
    H, project, pose, kp, case = fit_pose(rng, g, size)
    t = translation(rng, kp, case, (0, 0, size, size))
    H = shifted(H, t)
    bg = background(rng, size)
    img = photometric(rng, composite(rng, bg, g, H, project, t, size)[0])

    box, kps, needle = labels_from(g, H, size)
    label = dict(width=size, height=size, dial_box=[round(v, 4) for v in box], keypoints=kps,
                 needles=[{k: round(v, 7 if k == "angle" else 4) for k, v in needle.items()}],
                 reading=round(g.reading, 6), min=g.min, max=g.max, major_intervals=g.major,
                 jpeg_quality=int(rng.integers(35, 96)))
    label.update(g.meta)
    label.update(pose)
    masks = None
    if with_masks:
        masks = {k: cv2.warpPerspective(v, H, (size, size), flags=cv2.INTER_LINEAR) for k, v in g.masks.items()}
    return img, label, masks


# ------------------------------------------------------------ wide frames

# Camera frames (width, height) and how often each is drawn.
FRAME_SIZES = [((640, 480), 2), ((800, 600), 1), ((1024, 768), 1), ((1280, 720), 2), ((1280, 960), 2),
               ((1600, 900), 1), ((1920, 1080), 2), ((480, 640), 0.6), ((720, 1280), 0.6), ((960, 1280), 0.4),
               ((1080, 1920), 0.4)]
# The scale's width as a share of the frame's short side, drawn log-uniform:
# as many dials between 8 and 16% as between 46 and 92%.
FRAME_SHARE = (0.08, 0.92)
FRAME_EMPTY_P = 0.03
FRAME_SECOND_P = 0.05
# A frame's stream is its own: (seed, index) of a frame and of a square
# sample draw nothing alike.
FRAME_STREAM = 1
MIN_CANVAS_R = 28.0


def frame_layout(rng, gauges=None):
    """Frame size, and the region and target scale width (pixels) of each
    gauge: a second gauge gets the other half of the frame. gauges forces
    their number (the draw that picks it is made all the same)."""
    (w, h) = pick(rng, [s for s, _ in FRAME_SIZES], [p for _, p in FRAME_SIZES])
    r = rng.random()
    count = 0 if r < FRAME_EMPTY_P else (2 if r < FRAME_EMPTY_P + FRAME_SECOND_P else 1)
    if gauges is not None:
        count = gauges
    short = min(w, h)
    if count == 2:
        if w >= h:
            regions = [(0, 0, w // 2, h), (w // 2, 0, w, h)]
        else:
            regions = [(0, 0, w, h // 2), (0, h // 2, w, h)]
        if chance(rng, 0.5):
            regions.reverse()
    else:
        regions = [(0, 0, w, h)] * count
    lo, hi = FRAME_SHARE
    targets = []
    for x0, y0, x1, y1 in regions:
        top = min(hi, hi * min(x1 - x0, y1 - y0) / short)
        targets.append(short * math.exp(U(rng, math.log(lo), math.log(top))))
    return (w, h), regions, targets


def scale_width(kp):
    """The scale's width: the larger side of the box around key points 3-13."""
    pts = np.asarray(kp)[3:, :2]
    return float(np.max(pts.max(0) - pts.min(0)))


def gauge_for_width(rng, target, want_masks):
    """A gauge drawn at about the resolution it is shown at, and the scale
    factor from its canvas to a scale target pixels wide. Drawn from a seed
    of its own, so that a second try at a better canvas size draws the same
    design (the draws that depend on size aside)."""
    gseed = int(rng.integers(1 << 62))
    R = max(MIN_CANVAS_R, target / 1.6)
    for attempt in range(2):
        g = build_gauge(np.random.default_rng(gseed), R, want_masks)
        k = target / scale_width(canvas_keypoints(g))
        if 0.8 <= k <= 1.25 or R * k < MIN_CANVAS_R or attempt:
            return g, k
        R *= k


def photo_frame_background(rng, w, h):
    """A crop of a desktop wallpaper of the frame's shape, treated as photo_background does."""
    files = background_files()
    if not files:
        return procedural_frame_background(rng, w, h)
    im = load_background(pick(rng, files))
    ih, iw = im.shape[:2]
    k = min(iw / w, ih / h) * U(rng, 0.3, 1.0)
    cw, ch = max(1, int(w * k)), max(1, int(h * k))
    x = int(rng.integers(0, iw - cw + 1))
    y = int(rng.integers(0, ih - ch + 1))
    crop = cv2.resize(im[y:y + ch, x:x + cw], (w, h), interpolation=cv2.INTER_LINEAR)
    return treated_crop(rng, crop, max(w, h) / 640)


def procedural_frame_background(rng, w, h):
    return np.ascontiguousarray(procedural_background(rng, max(w, h))[:h, :w])


def add_clutter(rng, img):
    """What stands around a gauge in a plant: cables, pipes, boxes, name
    plates, rings and nuts, their number and size in proportion to the frame."""
    h, w = img.shape[:2]
    k = min(w, h) / 640
    for _ in range(int(rng.integers(2, 9) * math.sqrt(w * h) / 640)):
        kind = pick(rng, ["text", "cable", "box", "plate", "ring", "nut", "pipe"], [2, 2, 2, 1.5, 1.5, 1, 1.5])
        col = random_colour(rng)
        p = np.array([U(rng, 0, w), U(rng, 0, h)])
        if kind == "text":
            cv2.putText(img, pick(rng, [random_word(rng).upper(), fmt_value(float(rng.integers(0, 500))),
                                        random_word(rng) + " " + fmt_value(float(rng.integers(1, 99)))]),
                        (int(p[0]), int(p[1])), pick(rng, FONTS), U(rng, 0.5, 2.5) * k, col,
                        max(1, int(rng.integers(1, 4) * k)), AA)
        elif kind == "cable":
            pts = [p]
            a = rng.random() * 2 * math.pi
            for _ in range(int(rng.integers(2, 6))):
                a += rng.normal(0, 0.6)
                pts.append(pts[-1] + unit(a) * U(rng, 40, 250) * k)
            cv2.polylines(img, [fixed(pts).reshape(-1, 1, 2)], False, col, max(1, int(U(rng, 2, 12) * k)), AA, SHIFT)
        elif kind in ("box", "plate"):
            q = p + np.array([U(rng, 20, 220), U(rng, 15, 160)]) * k
            cv2.rectangle(img, tuple(int(v) for v in p), tuple(int(v) for v in q), col, -1, AA)
            cv2.rectangle(img, tuple(int(v) for v in p), tuple(int(v) for v in q), shade(col, 0.5),
                          max(1, int(2 * k)), AA)
            if kind == "plate":
                ink = (20, 20, 20) if sum(col) > 380 else (235, 235, 235)
                put_text_centred(img, random_word(rng).upper(), (p + q) / 2, pick(rng, FONTS),
                                 font_scale_for_height(FONTS[0], (q[1] - p[1]) * 0.3), ink, max(1, int(k)))
        elif kind == "ring":
            fill_circle(img, p, U(rng, 6, 90) * k, col, max(1, int(U(rng, 1, 8) * k)))
        elif kind == "nut":
            r = U(rng, 8, 40) * k
            a = rng.random() * math.pi
            fill_poly(img, [p + r * unit(a + j * math.pi / 3) for j in range(6)], col)
            fill_circle(img, p, r * 0.5, shade(col, 0.6))
        else:
            wide = U(rng, 15, 90) * k
            a = pick(rng, [0.0, math.pi / 2]) + rng.normal(0, 0.05)
            d, n = unit(a), unit(a + math.pi / 2)
            far = 2.0 * max(w, h)
            for j, tone in enumerate((0.55, 0.85, 1.0, 0.85, 0.55)):
                o0, o1 = wide * (j / 5 - 0.5), wide * ((j + 1) / 5 - 0.5)
                fill_poly(img, [p - d * far + n * o0, p + d * far + n * o0, p + d * far + n * o1,
                                p - d * far + n * o1], shade(col, tone))


def frame_background(rng, w, h, photos=True, clutter=0.7):
    """A scene behind the gauges: a wallpaper (with photos) or one of the
    renderer's procedural backdrops, and with chance clutter the things
    around a gauge in a plant."""
    if photos and chance(rng, 0.45):
        img = photo_frame_background(rng, w, h)
    else:
        img = procedural_frame_background(rng, w, h)
    if chance(rng, clutter):
        add_clutter(rng, img)
    return img


def gauge_label(g, H, pose, w, h):
    box, kps, needle = labels_from(g, H, w, h)
    label = dict(dial_box=[round(v, 4) for v in box], keypoints=kps,
                 needles=[{k: round(v, 7 if k == "angle" else 4) for k, v in needle.items()}],
                 reading=round(g.reading, 6), min=g.min, max=g.max, major_intervals=g.major)
    return label, dict(g.meta, **pose, scale_share=round(scale_width(kps) / min(w, h), 4))


def render_frame(seed, index, with_masks=False, gauges=None):
    """Render one wide camera frame with a gauge somewhere in it (some with
    two, some with none). Returns (BGR image, label dict, masks or None):
    the masks (needle, scale-end ticks, the whole gauge) are those the
    picture was drawn with.
    The label holds the (first) gauge's usual fields in frame pixels, plus
    "scale_share" (the scale's width over the frame's short side), "gauges"
    (0, 1 or 2) and, on a frame with two, the other's label as "second"
    (its masks as masks["second"]). gauges forces the number of gauges."""
    rng = np.random.default_rng([int(seed), int(index), FRAME_STREAM])
    (w, h), regions, targets = frame_layout(rng, gauges)
    placed = []
    for region, target in zip(regions, targets):
        g, k = gauge_for_width(rng, target, with_masks)
        room = np.array([region[2] - region[0], region[3] - region[1]], np.float64)
        for attempt in range(6):
            H, project, pose, kp, case = fit_pose(rng, g, room, k)
            extent = case.max(0) - case.min(0)
            # Two gauges keep to their halves, so that neither hides the other.
            if len(regions) == 1 or np.all(extent <= room):
                break
            k *= 0.95 * float(np.min(room / extent))
        t = translation(rng, kp, case, region, 0.85 if len(regions) == 1 else 1.0)
        placed.append((g, shifted(H, t), project, pose, t, 1.25 * float(np.max(extent))))
    img = frame_background(rng, w, h)
    drawn = []
    for g, H, project, _, t, reach in placed:
        img, layers = composite(rng, img, g, H, project, t, reach, dict(g.masks, gauge=g.alpha) if with_masks else None)
        drawn.append(layers)
    img = photometric(rng, img)

    label, masks = dict(width=w, height=h), None
    parts = []
    for (g, H, _, pose, _, _), layers in zip(placed, drawn):
        parts.append(gauge_label(g, H, pose, w, h) + (layers,))
    if parts:
        label.update(parts[0][0])
    label["jpeg_quality"] = int(rng.integers(35, 96))
    if parts:
        label.update(parts[0][1])
        masks = parts[0][2]
    label["gauges"] = len(parts)
    if len(parts) > 1:
        label["second"] = dict(parts[1][0], **parts[1][1])
        if with_masks:
            masks["second"] = parts[1][2]
    return img, label, masks


# ------------------------------------------------------------ command line

def _render_one(args):
    seed, index, size, out, frames = (tuple(args) + (False,))[:5]
    img, label, _ = render_frame(seed, index) if frames else render_sample(seed, index, size)
    name = "%06d.jpg" % index
    cv2.imwrite(os.path.join(out, name), img, [cv2.IMWRITE_JPEG_QUALITY, label["jpeg_quality"]])
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
    args = ap.parse_args(argv)
    if args.frames and args.size is not None:
        ap.error("--size does not apply to --frames: frames come in sizes of their own")
    size = 640 if args.size is None else args.size
    global COUNTER_CLOCKWISE
    COUNTER_CLOCKWISE = args.counter_clockwise
    os.makedirs(args.out, exist_ok=True)
    work = [(args.seed, i, size, args.out, args.frames) for i in range(args.start, args.start + args.count)]
    t0 = time.time()
    path = os.path.join(args.out, "labels.jsonl")
    with open(path, "w") as fh:
        if args.jobs > 1:
            import multiprocessing as mp
            with mp.Pool(args.jobs) as pool:
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
