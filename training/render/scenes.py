"""Photographs: a dial posed in 3-D and seen by a pinhole camera,
composited over a background and treated like a phone's photo; square
samples (render_sample) and wide camera frames (render_frame)."""
import math

import cv2
import numpy as np

from .backgrounds import background, frame_background
from .faces import build_gauge
from .labels import canvas_keypoints, gauge_label, labels_from, scale_width
from .primitives import U, blend, chance, fill_poly, pick, shade, unit, warp_points


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
