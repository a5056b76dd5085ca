"""What gauges in plants have and catalogue renders lack: a drag pointer or
set-point needle beside the main one, switch-setting markers on the scale,
paper stickers on the face, worn and dimmed faces, the room mirrored in the
glass, and clocks on the walls around them.

Each draws from the picture's side stream (primitives.side_stream), so a
picture that gets none of them is the one the renderer drew before. The
shares are first guesses, to be judged on the real validation photos."""
import math

import cv2
import numpy as np

from .needles import needle_polygons, needle_to_canvas
from .primitives import (FONTS, U, blend, chance, colorize, fill_circle, fill_poly, font_scale_for_height, pick,
                         put_text_centred, random_colour, random_word, shade, text_box, unit, value_noise)

DRAG_P = 0.08          # of round and sector gauges
MARKERS_P = 0.06       # of round gauges
STICKER_P = 0.08       # of round gauges
WORN_P = 0.08          # of every face
ROOM_P = 0.12          # of glasses
CLOCK_P = 0.15         # of cluttered backdrops

RED = (30, 30, 215)
# Off (render --plain): none of these families, for pictures chosen for what
# the renderer drew before them (the hard cases among the test fixtures).
FAMILIES = True


def drawn(extra, share):
    """Whether a picture gets a family drawn in share of them."""
    return FAMILIES and chance(extra, share)


def drag_pointer(extra, g, R, style):
    """A second, thinner pointer under the main needle: a red drag pointer
    left at the highest reading, or a set-point needle anywhere on the scale,
    clear of the main needle. The label stays the main needle's."""
    sc = g.scale
    if chance(extra, 0.6) and g.reading < 0.9:
        f = min(1.0, g.reading + U(extra, 0.08, 0.6))
    else:
        f = U(extra, 0.0, 1.0)
        if abs(f - g.reading) < 0.08:
            f = (f + 0.5) % 1.0
    L = sc.r_kp * U(extra, 0.8, 1.02)
    polys, _, _, hb = needle_polygons(extra, L, R * 0.6, style)
    col = pick(extra, [RED, (20, 20, 20), (0, 200, 250), (40, 160, 40)], [5, 1, 1, 1])
    # The blade alone: a tail could reach past a quadrant's corner.
    fill_poly(g.canvas, needle_to_canvas(polys[:1], sc.pivot, float(sc.angle(f)))[0], col)
    fill_circle(g.canvas, sc.pivot, max(1.5, hb * 2.5), shade(col, 0.8))


def setting_markers(extra, g, R):
    """One or two switch-setting markers: coloured wedges from the rim
    pointing at the scale."""
    sc = g.scale
    tip, base = sc.r_kp + 0.04 * R, min(0.98 * R, sc.r_kp + 0.16 * R)
    if base - tip < 0.05 * R:
        return
    for _ in range(int(extra.integers(1, 3))):
        a = float(sc.angle(U(extra, 0.05, 0.95)))
        d, n = unit(a), unit(a + math.pi / 2)
        half = R * U(extra, 0.02, 0.04)
        col = pick(extra, [RED, (40, 160, 40), (200, 90, 20), (0, 140, 250)])
        fill_poly(g.canvas, [g.scale.pivot + d * tip, g.scale.pivot + d * base + n * half,
                             g.scale.pivot + d * base - n * half], col)


def sticker(extra, img, at, R):
    """A paper label stuck on the face: a maker's, a calibration or an
    inspection sticker, with text."""
    w, h = R * U(extra, 0.25, 0.55), R * U(extra, 0.1, 0.22)
    a = math.radians(U(extra, -8, 8))
    d, n = unit(a), unit(a + math.pi / 2)
    corners = [at - d * w / 2 - n * h / 2, at + d * w / 2 - n * h / 2, at + d * w / 2 + n * h / 2,
               at - d * w / 2 + n * h / 2]
    paper = pick(extra, [(245, 245, 245), (60, 220, 250), (170, 110, 30), (200, 200, 200), (40, 40, 200)])
    fill_poly(img, corners, paper)
    ink = (20, 20, 20) if sum(paper) > 450 else (245, 245, 245)
    font = pick(extra, FONTS[:4])
    text = pick(extra, [random_word(extra).upper(), "CAL " + str(int(extra.integers(10, 99))) + "/"
                        + str(int(extra.integers(10, 30))), random_word(extra, 2).capitalize()])
    thick = max(1, int(h * 0.06))
    fs = font_scale_for_height(font, h * 0.45)
    fs *= min(1.0, 0.9 * w / max(1, text_box(text, font, fs, thick)[0]))
    put_text_centred(img, text, at, font, fs, ink, thick)


def worn(extra, img, face_mask):
    """A face gone dull: yellowed, greyed and lower in contrast."""
    k = U(extra, 0.15, 0.45)
    tint = pick(extra, [(150, 190, 205), (150, 160, 165), (120, 150, 170)])
    weight = face_mask.astype(np.float32) / 255.0 * k
    img[:] = blend(np.full_like(img, tint), img, weight)


def room_in_glass(extra, g, mask_f):
    """The room mirrored in the glass: a blurred, faint picture of walls,
    windows and lamps over the whole face."""
    h, w = g.canvas.shape[:2]
    field = value_noise(extra, h // 4 + 1, w // 4 + 1, 3, 2)
    room = colorize(field, random_colour(extra, 0, 160), random_colour(extra, 90, 255))
    for _ in range(int(extra.integers(1, 4))):
        p = np.array([U(extra, 0, room.shape[1]), U(extra, 0, room.shape[0])])
        q = p + np.array([U(extra, 3, room.shape[1] / 3), U(extra, 3, room.shape[0] / 2)])
        cv2.rectangle(room, tuple(int(v) for v in p), tuple(int(v) for v in q), (250, 250, 250), -1)
    room = cv2.GaussianBlur(cv2.resize(room, (w, h), interpolation=cv2.INTER_LINEAR), (0, 0), max(1.0, w / 60))
    g.canvas = blend(room, g.canvas, mask_f * U(extra, 0.08, 0.3))


def clock(extra, img, k):
    """A wall clock: a round face with twelve marks, numerals and two hands,
    that the finder must not take for a gauge."""
    h, w = img.shape[:2]
    r = U(extra, 25, 110) * k
    c = np.array([U(extra, r, max(r + 1, w - r)), U(extra, r, max(r + 1, h - r))])
    face = pick(extra, [(245, 245, 245), (235, 230, 215), (30, 30, 30)])
    ink = (20, 20, 20) if sum(face) > 300 else (235, 235, 235)
    fill_circle(img, c, r * 1.08, random_colour(extra, 0, 200))
    fill_circle(img, c, r, face)
    for j in range(12):
        d, n = unit(j * math.pi / 6), unit(j * math.pi / 6 + math.pi / 2) * r * 0.02
        fill_poly(img, [c + d * r * 0.8 + n, c + d * r * 0.95 + n, c + d * r * 0.95 - n, c + d * r * 0.8 - n], ink)
    if chance(extra, 0.6):
        font = pick(extra, FONTS[:3])
        fs = font_scale_for_height(font, r * 0.14)
        for j in range(1, 13):
            put_text_centred(img, str(j), c + unit(j * math.pi / 6 - math.pi / 2) * r * 0.66, font, fs, ink,
                             max(1, int(r * 0.02)))
    for length, width in ((0.5, 0.06), (0.78, 0.035)):
        a = U(extra, 0, 2 * math.pi)
        d, n = unit(a), unit(a + math.pi / 2)
        fill_poly(img, [c - d * r * 0.1 + n * r * width / 2, c + d * r * length, c - d * r * 0.1 - n * r * width / 2],
                  ink)
    fill_circle(img, c, r * 0.05, ink)
