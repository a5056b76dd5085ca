"""Drawing and random-draw helpers shared by every part of the renderer.

Points are floats in pixels; OpenCV draws them anti-aliased at SHIFT
sub-pixel bits. Every draw comes from the caller's numpy Generator, so a
sample's picture depends on its (seed, index) alone.
"""
import functools
import math
import os

import cv2
import numpy as np
from PIL import Image, ImageDraw, ImageFont


SHIFT = 4                      # sub-pixel bits for OpenCV drawing
ONE = 1 << SHIFT
AA = cv2.LINE_AA
FONTS = [cv2.FONT_HERSHEY_SIMPLEX, cv2.FONT_HERSHEY_DUPLEX, cv2.FONT_HERSHEY_COMPLEX,
         cv2.FONT_HERSHEY_TRIPLEX, cv2.FONT_HERSHEY_PLAIN, cv2.FONT_HERSHEY_COMPLEX_SMALL]
# Bold, condensed and plain sans faces like the numerals of plant gauges,
# beside OpenCV's Hershey strokes: Debian's fonts-dejavu-core,
# fonts-dejavu-extra and fonts-liberation (scripts/setup-deps and
# training/setup install them).
TRUETYPE_DIR = "/usr/share/fonts/truetype"
TRUETYPE = ("dejavu/DejaVuSans-Bold.ttf", "dejavu/DejaVuSansCondensed-Bold.ttf", "dejavu/DejaVuSans.ttf",
            "dejavu/DejaVuSansCondensed.ttf", "liberation/LiberationSans-Bold.ttf",
            "liberation/LiberationSansNarrow-Bold.ttf", "liberation/LiberationSans-Regular.ttf")
SYLL = ["ka", "ro", "me", "ta", "ni", "sa", "po", "lu", "vi", "de", "ter", "mon", "tek", "gar",
        "fix", "dyn", "flo", "bar", "hy", "dro", "ma", "nu", "tor", "ex", "al", "quo", "zen"]


class TrueType(str):
    """A TrueType face, by its path under TRUETYPE_DIR. Where the text
    helpers take an OpenCV font and its scale, this takes its pixel size."""


@functools.lru_cache(maxsize=512)
def truetype_face(font, size):
    path = os.path.join(TRUETYPE_DIR, font)
    if not os.path.exists(path):
        raise FileNotFoundError("%s is missing: training/setup installs the renderer's fonts" % path)
    return ImageFont.truetype(path, size)


def side_stream(rng):
    """A generator seeded from rng's state without drawing from it. What a
    later family of pictures draws from it leaves every draw of rng as it
    was, so that a picture that gets none of the family stays the same."""
    state = rng.bit_generator.state["state"]
    return np.random.default_rng([state["state"], state["inc"]])


def U(rng, a, b):
    return float(rng.uniform(a, b))


def chance(rng, p):
    return bool(rng.random() < p)


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
    if isinstance(font, TrueType):
        face = truetype_face(font, max(1, int(round(scale))))
        left, top, right, bottom = face.getbbox(text)
        ink = Image.new("L", (right - left + 2, bottom - top + 2), 0)
        ImageDraw.Draw(ink).text((1 - left, 1 - top), text, fill=255, font=face)
        ink = np.asarray(ink)
        x0 = int(round(centre[0] - (right - left) / 2)) - 1
        y0 = int(round(centre[1] - (bottom - top) / 2)) - 1
        # Clipped to the picture: a number may reach past its edge.
        x1, y1 = min(img.shape[1], x0 + ink.shape[1]), min(img.shape[0], y0 + ink.shape[0])
        cx0, cy0 = max(0, x0), max(0, y0)
        if x1 > cx0 and y1 > cy0:
            k = ink[cy0 - y0:y1 - y0, cx0 - x0:x1 - x0].astype(np.float32) / 255.0
            roi = img[cy0:y1, cx0:x1]
            roi[:] = blend(np.full_like(roi, color), roi, k)
        return
    (w, h), base = cv2.getTextSize(text, font, scale, thick)
    org = (int(round(centre[0] - w / 2)), int(round(centre[1] + h / 2)))
    cv2.putText(img, text, org, font, scale, color, thick, AA)


def text_box(text, font, scale, thick):
    if isinstance(font, TrueType):
        left, top, right, bottom = truetype_face(font, max(1, int(round(scale)))).getbbox(text)
        return right - left, bottom - top
    (w, h), _ = cv2.getTextSize(text, font, scale, thick)
    return w, h


def font_scale_for_height(font, px):
    if isinstance(font, TrueType):
        return px * 100.0 / max(text_box("0", font, 100, 1)[1], 1)
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
