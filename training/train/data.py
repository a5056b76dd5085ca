"""The training samples: rendered pictures cut, mirrored, recoloured and
letterboxed as the engine letterboxes them, and seen as each network sees
them inside the exported graph (a pooled frame for the finder, a crop about
the dial for the others). Every draw comes from (seed, epoch, index)."""
import json
import math
import os

import cv2
import numpy as np
import torch

from .. import model as M
from ..engine import box_corners, letterbox_geometry

# The loader process shares two cores with the training threads.
cv2.setNumThreads(1)


GREY = round(M.GREY * 255)    # the letterbox's grey in 0..255
# Share of samples that are cut to a non-square photo, and of those, the
# share padded the way the engine pads an image file (black, bottom/right,
# to a square); the rest are letterboxed in grey like decoded uploads.
CROP_P = 0.5
FILE_PAD_P = 0.5
# Mirroring keeps every label exact but turns clockwise scales and their
# numbers backwards. The renderer already draws counter-clockwise scales
# with numbers the right way round, so the dial model never mirrors: it
# must not learn that mirrored numerals may run either way.
FLIP_P = {"pose": 0.0, "needle": 0.5, "finder": 0.5}
# How far, in dial-box sides, the finder's box may miss the dial's centre
# and size: the fine networks train on crops placed that loosely.
CROP_SHIFT = 0.1
CROP_ZOOM = 0.2
# The most gauges a frame holds (the renderer draws a second one on some).
FINDER_GAUGES = 2


def read_labels(data_dir):
    with open(os.path.join(data_dir, "labels.jsonl")) as fh:
        return [json.loads(line) for line in fh if line.strip()]


def photometric(img, rng):
    """Colour, contrast, blur and noise; the renderer does more of the same."""
    img = img.astype(np.float32)
    if rng.random() < 0.8:
        img = img * rng.uniform(0.7, 1.3) + rng.uniform(-25, 25)
    if rng.random() < 0.5:
        grey = img.mean(2, keepdims=True)
        img = grey + (img - grey) * rng.uniform(0.5, 1.4)
    if rng.random() < 0.3:
        img = img * rng.uniform(0.85, 1.15, size=3).astype(np.float32)
    img = np.clip(img, 0, 255)
    if rng.random() < 0.2:
        img = 255.0 * (img / 255.0) ** rng.uniform(0.7, 1.4)
    if rng.random() < 0.08:
        img = np.repeat(img.mean(2, keepdims=True), 3, 2)
    if rng.random() < 0.15:
        img = cv2.GaussianBlur(img, (0, 0), rng.uniform(0.3, 1.3))
    if rng.random() < 0.2:
        img = img + rng.normal(0, rng.uniform(2, 8), img.shape).astype(np.float32)
    return np.clip(img + 0.5, 0, 255).astype(np.uint8)


def choose_crop(width, height, pts, rng):
    """A window of the photo that holds every key point, or the whole photo.

    Cutting into the photo enlarges the gauge (mild zoom and shift) and,
    when not square, makes the engine pad it; no key point may leave the
    frame, as none does in the rendered set.
    """
    if rng.random() >= CROP_P or not len(pts):
        return 0, 0, width, height
    lo = pts.min(0)
    hi = pts.max(0)
    margin = 0.02 * max(width, height)
    need_w = min(width, hi[0] - lo[0] + 2 * margin)
    need_h = min(height, hi[1] - lo[1] + 2 * margin)
    side = rng.uniform(0.6, 1.0) * max(width, height)
    aspect = math.exp(rng.uniform(-0.5, 0.5)) if rng.random() < 0.7 else 1.0
    cw = int(round(min(width, max(need_w, side * math.sqrt(aspect)))))
    ch = int(round(min(height, max(need_h, side / math.sqrt(aspect)))))
    x_lo = int(math.ceil(max(0.0, hi[0] + margin - cw)))
    x_hi = int(math.floor(min(width - cw, lo[0] - margin)))
    y_lo = int(math.ceil(max(0.0, hi[1] + margin - ch)))
    y_hi = int(math.floor(min(height - ch, lo[1] - margin)))
    if x_lo > x_hi or y_lo > y_hi:
        return 0, 0, width, height
    return int(rng.integers(x_lo, x_hi + 1)), int(rng.integers(y_lo, y_hi + 1)), cw, ch


def letterbox(img, size, colour):
    """The engine's letterbox.fit(): the scale, the rounding and the pads.
    Returns the picture and the map x -> x * s + t of pixel-centre coordinates."""
    h, w = img.shape[:2]
    nw, nh, top, bottom, left, right = letterbox_geometry(w, h, size)
    if (nw, nh) != (w, h):
        img = cv2.resize(img, (nw, nh), interpolation=cv2.INTER_LINEAR)
    img = cv2.copyMakeBorder(img, top, bottom, left, right, cv2.BORDER_CONSTANT, value=(colour,) * 3)
    sx, sy = nw / w, nh / h
    return img, (sx, sy, 0.5 * sx - 0.5 + left, 0.5 * sy - 0.5 + top)


def gauges_of(lab):
    """The labels of every gauge in a picture: none, one, or the first and the second."""
    if lab.get("gauges", 1) == 0:
        return []
    return [lab] + ([lab["second"]] if "second" in lab else [])


def kept_points(part):
    """The points of a gauge that a cut may not lose: its key points, or a
    real needle's corners where it has none."""
    if "keypoints" in part:
        return np.array(part["keypoints"], np.float32)[:, :2]
    nd = part["needles"][0]
    return np.array(box_corners(nd["cx"], nd["cy"], nd["w"], nd["h"], nd["angle"]), np.float32)


def prepare(img, lab, size, rng=None, task="pose", colours=True, every_box=False):
    """One training (rng given) or evaluation (rng None) sample in model-input
    pixels: the RGB picture and the geometry (dial box, key points, needle)
    of the first gauge, zeros in a picture without one; with every_box the
    boxes [gauges, 4] of every gauge instead of the first's. Without colours
    a training sample skips the photometric changes, for the caller to make
    on a smaller picture cut from it."""
    parts = gauges_of(lab)
    boxes = np.array([p["dial_box"] for p in parts] or lab.get("decoy", []), np.float32).reshape(-1, 4)
    kp, needle = np.zeros((M.NUM_KP, 3), np.float32), np.zeros(5, np.float32)
    if parts:
        # A real photo's needle (real_needles.py) comes without key points.
        if "keypoints" in lab:
            kp = np.array(lab["keypoints"], np.float32)
        nd = lab["needles"][0]
        needle = np.array([nd["cx"], nd["cy"], nd["w"], nd["h"], nd["angle"]], np.float32)
    h0, w0 = img.shape[:2]
    colour = GREY
    if rng is not None:
        # A decoy's box stays whole in the photo, as a gauge's key points do.
        every_point = np.concatenate([kept_points(p) for p in parts]
                                     + [b[:2] + np.float32([[-0.5], [0.5]]) * b[2:] for b in boxes[len(parts):]]
                                     or [np.zeros((0, 2))])
        x0, y0, cw, ch = choose_crop(w0, h0, every_point, rng)
        img = img[y0:y0 + ch, x0:x0 + cw]
        kp[:, 0] -= x0
        kp[:, 1] -= y0
        # Row by row, as scalars: the same rounding as a single box always had.
        for box in boxes:
            box[0] -= x0
            box[1] -= y0
        needle[0] -= x0
        needle[1] -= y0
        if rng.random() < FLIP_P[task]:
            # Pixel i goes to cw - 1 - i; the axis angle a becomes pi - a.
            img = img[:, ::-1]
            kp[:, 0] = cw - 1 - kp[:, 0]
            for box in boxes:
                box[0] = cw - 1 - box[0]
            needle[0] = cw - 1 - needle[0]
            needle[4] = math.pi - needle[4]
        img = np.ascontiguousarray(img)
        if colours:
            img = photometric(img, rng)
        if cw != ch and rng.random() < FILE_PAD_P:
            # MeterReaderHandler::readImageFile: black to a square, image top-left.
            side = max(cw, ch)
            canvas = np.zeros((side, side, 3), np.uint8)
            canvas[:ch, :cw] = img
            img = canvas
    img, (sx, sy, tx, ty) = letterbox(img, size, colour)
    kp[:, 0] = kp[:, 0] * sx + tx
    kp[:, 1] = kp[:, 1] * sy + ty
    for box in boxes:
        box[0] = box[0] * sx + tx
        box[1] = box[1] * sy + ty
        box[2] *= sx
        box[3] *= sy
    needle[0] = needle[0] * sx + tx
    needle[1] = needle[1] * sy + ty
    # Uniform scale (sx == sy up to rounding): lengths scale, the angle stays.
    needle[2] *= sx
    needle[3] *= sx
    rgb = cv2.cvtColor(img, cv2.COLOR_BGR2RGB)
    if every_box:
        return rgb, boxes, kp, needle
    return rgb, boxes[0] if len(boxes) else np.zeros(4, np.float32), kp, needle


def prepare_view(img, lab, task, rng=None):
    """A sample as the network of task sees it inside the exported graph
    (graph.CoarseToFine): the finder the engine's FRAME_SIZE letterbox pooled
    POOL times; the others a crop about the dial box, which training moves
    and scales as loosely as the finder may place it. The finder's box is
    every gauge's [FINDER_GAUGES, 5], each row a box and whether a gauge is
    there: it learns from frames with two gauges, or none, too. A decoy
    (decoys.py) is cropped as a dial would be, and its box and points are
    zeros: there is no dial in it."""
    finder = task == "finder"
    rgb, box, kp, needle = prepare(img, lab, M.FRAME_SIZE, rng, task, colours=False, every_box=finder)
    if task == "finder":
        fx = fy = (M.POOL - 1) / 2.0
        step = float(M.POOL)
        view = cv2.resize(rgb, (M.COARSE_SIZE, M.COARSE_SIZE), interpolation=cv2.INTER_AREA)
    else:
        cx, cy, side = box[0], box[1], max(box[2], box[3]) * M.CROP_MARGIN
        if rng is not None:
            cx += rng.uniform(-CROP_SHIFT, CROP_SHIFT) * box[2]
            cy += rng.uniform(-CROP_SHIFT, CROP_SHIFT) * box[3]
            side *= math.exp(rng.uniform(-CROP_ZOOM, CROP_ZOOM))
        size = M.FINE_SIZE
        step = side / size
        fx, fy = cx + 0.5 - side / 2 + 0.5 * step - 0.5, cy + 0.5 - side / 2 + 0.5 * step - 0.5
        view = cv2.warpAffine(rgb, np.float32([[step, 0, fx], [0, step, fy]]), (size, size),
                              flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP, borderMode=cv2.BORDER_CONSTANT,
                              borderValue=(GREY,) * 3)
    if rng is not None:
        view = photometric(view, rng)
    for xy in (*box, needle) if finder else (box, needle):
        xy[0], xy[1] = (xy[0] - fx) / step, (xy[1] - fy) / step
        xy[2:4] /= step
    kp[:, 0], kp[:, 1] = (kp[:, 0] - fx) / step, (kp[:, 1] - fy) / step
    if "decoy" in lab and not finder:
        box[:] = 0.0
    if finder:
        rows = np.zeros((FINDER_GAUGES, 5), np.float32)
        rows[:len(box), :4], rows[:len(box), 4] = box, 1.0
        box = rows
    return view, box, kp, needle


def to_tensor(rgb):
    return torch.from_numpy(np.ascontiguousarray(rgb.transpose(2, 0, 1))).float().div_(255.0)


def trainable(lab, task=None):
    """Whether a label trains task's network: the finder learns from every
    frame, the others only from those with one gauge (a crop about the
    first of two gauges may hold much of the second); the dial network
    also from decoys."""
    return task == "finder" or lab.get("gauges", 1) == 1 or (task == "pose" and "decoy" in lab)


class GaugeSet(torch.utils.data.Dataset):
    """The gauges of one or more rendered sets, seen as task's network sees them."""

    def __init__(self, data_dirs, task, seed, augment):
        self.items = [(d, lab) for d in data_dirs for lab in read_labels(d) if trainable(lab, task)]
        self.task, self.seed, self.augment = task, seed, augment

    def __len__(self):
        return len(self.items)

    def __getitem__(self, key):
        epoch, index = key if isinstance(key, tuple) else (0, key)
        folder, lab = self.items[index]
        img = cv2.imread(os.path.join(folder, lab["image"]), cv2.IMREAD_COLOR)
        if img is None:
            raise IOError("cannot read %s" % lab["image"])
        rng = np.random.default_rng([self.seed, epoch, index]) if self.augment else None
        rgb, box, kp, needle = prepare_view(img, lab, self.task, rng)
        return to_tensor(rgb), torch.from_numpy(box), torch.from_numpy(kp), torch.from_numpy(needle)


class EpochSampler(torch.utils.data.Sampler):
    """(epoch, index) keys: a fresh permutation of (seed, epoch) each epoch,
    starting mid-epoch after a resume."""

    def __init__(self, n, seed, epoch, start):
        self.n, self.seed, self.epoch, self.start = n, seed, epoch, start

    def __iter__(self):
        epoch, start = self.epoch, self.start
        while True:
            order = np.random.default_rng([self.seed, epoch, 7]).permutation(self.n)
            for i in order[start:]:
                yield epoch, int(i)
            epoch, start = epoch + 1, 0

    def __len__(self):
        return 1 << 62
