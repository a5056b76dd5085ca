"""The needle: its outline in needle coordinates, and the needle drawn
on a dial with its shadow and pivot cap."""
import math

import cv2
import numpy as np

from .primitives import U, blend, chance, coverage, fill_circle, fill_poly, mix, pick, shade, unit


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
