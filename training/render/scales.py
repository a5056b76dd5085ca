"""A dial's scale: its range and major steps, where each value sits
(Scale), and the ticks, numbers and bands drawn along it."""
import math

import cv2
import numpy as np

from . import plant
from .primitives import (AA, FONTS, SHIFT, TRUETYPE, U, TrueType, band_poly, arc_poly, chance, fill_circle, fill_poly,
                         fixed, fmt_value, font_scale_for_height, pick, put_text_centred, text_box, unit)


RANGES = [(0, 1), (0, 1.6), (0, 2.5), (0, 4), (0, 6), (0, 10), (0, 16), (0, 25), (0, 40),
          (0, 60), (0, 100), (0, 160), (0, 250), (0, 400), (0, 600), (0, 1000), (0, 5),
          (0, 7), (0, 8), (0, 12), (0, 15), (0, 20), (0, 30), (0, 50), (0, 120), (0, 140),
          (0, 150), (0, 200), (0, 300), (0, 500), (0, 5000), (0, 3), (0, 2), (0, 0.6)]
NEG_RANGES = [(-1, 0), (-1, 1.5), (-1, 3), (-1, 5), (-1, 9), (-30, 50), (-40, 40), (-20, 120),
              (-50, 50), (-60, 140), (-30, 30), (-10, 50), (-100, 0), (-20, 60), (-40, 120)]
TRUETYPE_P = 0.4       # of scales: numerals in a TrueType face
YELLOW_P = 0.3         # of dark faces: yellow ink
UNITS = ["bar", "psi", "kPa", "MPa", "PSI", "BAR", "C", "F", "A", "V", "mA", "kV", "kgf/cm2",
         "x100kPa", "mbar", "inHg", "OIL", "FUEL", "WATER", "TEMP", "AIR", "VOLTS", "AMP",
         "PRESSURE", "VACUUM", "x1000", "m3/h", "RPM", "%"]


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


def scale_style(rng, dark, extra=None):
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
    if extra is not None:
        # The later families, from the side stream: TrueType numerals, and
        # yellow ink on dark faces (transformer and switchgear gauges).
        if plant.drawn(extra, TRUETYPE_P):
            st["font"], st["italic"] = TrueType(pick(extra, TRUETYPE)), False
        if dark and plant.drawn(extra, YELLOW_P):
            st["ink"] = st["num_ink"] = pick(extra, [(0, 210, 255), (40, 230, 250), (0, 180, 240)])
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
    font = st["font"] | (cv2.FONT_ITALIC if st["italic"] else 0) if not isinstance(st["font"], TrueType) \
        else st["font"]
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


def sample_reading(rng):
    r = rng.random()
    if r < 0.15:
        return 0.0        # resting on the stop: common in real photographs
    if r < 0.18:
        return 1.0
    return float(rng.random())


def band_outline(sc, r):
    """The outer edge of the scale band (ticks and numbers): the dial box contains it."""
    a0, a1 = sorted([float(sc.angle(0.0)), float(sc.angle(1.0))])
    return arc_poly(sc.pivot, r, a0, a1, 48)
