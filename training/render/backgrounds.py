"""What lies behind a gauge: desktop wallpapers (when installed), the
renderer's procedural backdrops, distractors on square samples and plant
clutter in wide frames."""
import glob
import math
import os

import cv2
import numpy as np

from . import plant
from .primitives import (AA, FONTS, SHIFT, U, chance, colorize, fill_circle, fill_poly, fixed, fmt_value,
                         font_scale_for_height, pick, put_text_centred, random_colour, random_word, shade, side_stream,
                         unit, value_noise)


BACKGROUND_GLOBS = [
    "/usr/share/backgrounds/mate/nature/*.jpg",
    "/usr/share/backgrounds/mate/abstract/*.jpg",
    "/usr/share/backgrounds/mate/desktop/*.jpg",
    "/usr/share/backgrounds/*.jpg",
    "/usr/share/backgrounds/*.png",
]
# Off (render --no-photos), backgrounds come from the procedural backdrops
# alone, as on a machine without wallpapers.
PHOTOS = True
_BG_FILES = None
_BG_CACHE = {}


def background_files():
    global _BG_FILES
    if not PHOTOS:
        return []
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
    extra = side_stream(rng)
    if plant.drawn(extra, plant.CLOCK_P):
        plant.clock(extra, img, k)
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
