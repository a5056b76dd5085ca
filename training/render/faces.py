"""The dials: round gauges, moving-coil panel meters and quadrant
(sector) gauges, each drawn on a canvas of its own with its case, face,
scale, needle and glass."""
import math

import cv2
import numpy as np

from . import plant
from .needles import draw_needle_and_glass
from .primitives import (AA, ONE, SHIFT, U, arc_poly, blend, chance, fill_circle, fill_poly, fixed, fmt_value,
                         pick, random_colour, random_word, shade, side_stream, unit, value_noise)
from .scales import (Scale, band_outline, draw_scale, place_text, sample_range, sample_reading, sample_sweep,
                     scale_style)


# The share of round and sector scales drawn counter-clockwise, when set
# (--counter-clockwise): for a set that shows more of them. Only the share
# changes; every other draw of the sample stays the same.
COUNTER_CLOCKWISE = None


def counter_clockwise(usual):
    return usual if COUNTER_CLOCKWISE is None else COUNTER_CLOCKWISE


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


def build_gauge(rng, R_target, want_masks):
    kind = pick(rng, ["round", "panel", "sector"], [8, 1.2, 0.8])
    extra = side_stream(rng)
    if kind == "round":
        return build_round(rng, R_target, want_masks, extra)
    if kind == "panel":
        return build_panel(rng, R_target, want_masks, extra)
    return build_sector(rng, R_target, want_masks, extra)


def plant_families(extra, g, R, face_m, style, drag=False):
    """The plant families before the needle: a worn face, a drag pointer."""
    if plant.drawn(extra, plant.WORN_P):
        plant.worn(extra, g.canvas, face_m)
    if drag and plant.drawn(extra, plant.DRAG_P):
        plant.drag_pointer(extra, g, R, style)


def room_in_glass(extra, g, face_m):
    if plant.drawn(extra, plant.ROOM_P):
        plant.room_in_glass(extra, g, face_m.astype(np.float32) / 255.0)


def finish_gauge(rng, g, canvas, alpha, want_masks):
    g.canvas = canvas
    g.alpha = alpha
    g.masks = {"needle": np.zeros(alpha.shape, np.uint8),
               "ends": np.zeros(alpha.shape, np.uint8)} if want_masks else None


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


def build_round(rng, R_case, want_masks, extra):
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
    st = scale_style(rng, dark, extra)
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

    if plant.drawn(extra, plant.MARKERS_P):
        plant.setting_markers(extra, g, R)

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
    if plant.drawn(extra, plant.STICKER_P):
        plant.sticker(extra, img, centre + top_dir * R * U(extra, 0.2, 0.4), R)
    g.reading = sample_reading(rng)
    plant_families(extra, g, R, face_m, "round", drag=True)
    draw_needle_and_glass(rng, g, R, dark, "round", face_m)
    if chance(rng, 0.75):
        add_glare(rng, g, face_m.astype(np.float32) / 255.0, R, centre, dark)
    room_in_glass(extra, g, face_m)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = arc_poly(centre, R_case, 0, 2 * math.pi, 64)
    g.depth = R_case * U(rng, 0.08, 0.4) if chance(rng, 0.8) else 0.0
    g.side_colour = shade(bezel_col, 0.8)
    g.hidden = set()
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="round", sweep_deg=round(math.degrees(sweep), 2), clockwise=cw, gamma=round(gamma, 4),
                  face="dark" if dark else "light", bezel=bezel_kind)
    return g


def build_panel(rng, Rt, want_masks, extra):
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
    st = scale_style(rng, dark, extra)
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
    plant_families(extra, g, R, face_m, "panel")
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
    room_in_glass(extra, g, face_m)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = case_poly
    g.depth = Wc * U(rng, 0.1, 0.4) if chance(rng, 0.8) else 0.0
    g.side_colour = shade(case_col, 0.8) if case_col[0] > 60 else (50, 50, 50)
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="panel", sweep_deg=round(math.degrees(sweep), 2), clockwise=True,
                  gamma=round(g.scale.gamma, 4), face="dark" if dark else "light", bezel="case")
    return g


def rounded_rect(x0, y0, x1, y1, r):
    r = max(0.0, min(r, (x1 - x0) / 2, (y1 - y0) / 2))
    pts = []
    for cx, cy, a in [(x1 - r, y0 + r, -math.pi / 2), (x1 - r, y1 - r, 0), (x0 + r, y1 - r, math.pi / 2),
                      (x0 + r, y0 + r, math.pi)]:
        t = np.linspace(a, a + math.pi / 2, 6)
        pts.extend(zip(cx + r * np.cos(t), cy + r * np.sin(t)))
    return np.asarray(pts)


def build_sector(rng, Rt, want_masks, extra):
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
    st = scale_style(rng, dark, extra)
    layout = dict(anchor=pick(rng, ["outer", "inner"]), r_out=r_out, Lmaj=Lmaj, numbers=numbers, num_h=num_h)
    band_r, _ = draw_scale(rng, img, g.masks, g.scale, R, vmin, vmax, step, nmaj, st, layout)
    if chance(rng, 0.7):
        place_text(rng, img, pivot + unit(mid) * R * U(rng, 0.35, 0.5), R, st["ink"], dark)
    g.reading = sample_reading(rng)
    plant_families(extra, g, R, face_m, "round", drag=True)
    draw_needle_and_glass(rng, g, R, dark, "round", face_m, max_back=0.8 * back)
    if chance(rng, 0.6):
        add_glare(rng, g, face_m.astype(np.float32) / 255.0, R * 0.6, pivot + unit(mid) * R * 0.5, dark)
    room_in_glass(extra, g, face_m)
    g.box_outline = band_outline(g.scale, band_r)
    g.case_outline = case_p
    g.depth = R_case * U(rng, 0.05, 0.25) if chance(rng, 0.7) else 0.0
    g.side_colour = shade(bezel_col, 0.8)
    g.hidden = set()
    g.min, g.max, g.major = fmt_value(vmin), fmt_value(vmax), nmaj
    g.meta = dict(kind="sector", sweep_deg=round(math.degrees(sweep), 2), clockwise=cw, gamma=1.0,
                  face="dark" if dark else "light", bezel=bezel_kind)
    return g
