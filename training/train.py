#!/usr/bin/python3
"""Trains the dial key-point model (pose) or the needle oriented-box model.

  train.py --task pose|needle --data DIR --out DIR [--epochs E] [--resume] [--val DIR] [--init CKPT]

DIR holds a rendered set (labels.jsonl and the images). The budget is a
number of epochs, not of minutes, so the same seeds give the same model on a
busy machine as on an idle one; the learning rate follows the share of the
budget's images seen, so a run stopped and resumed keeps its schedule.
OUT/last.pt is written every --checkpoint-minutes and at the end; it holds
the model, its moving average (which export.py writes out), the optimiser
and the position in the data. The order of the images and every
augmentation are drawn from (seed, epoch, index), so a resumed run sees
what an unbroken one would have.
"""
import argparse
import json
import math
import os
import sys
import time

import cv2
import numpy as np
import torch
import torch.nn.functional as F

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import contract  # noqa: E402
import graph as G  # noqa: E402
import model as M  # noqa: E402

# The loader process shares two cores with the training threads.
cv2.setNumThreads(1)

GREY = round(M.GREY * 255)    # the letterbox's grey in 0..255
# Width of a scale mark's peak in the mark map, in grid cells.
MARK_SIGMA = 0.8
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
# The most gauges a frame holds (render.py draws a second one on some).
FINDER_GAUGES = 2


# ---------------------------------------------------------------- data

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


def round_away(x):
    """std::round: halves away from zero (Python's round() takes them to even)."""
    return int(math.copysign(math.floor(abs(float(x)) + 0.5), float(x)))


def letterbox_geometry(w, h, size):
    """The engine's letterbox::fit() arithmetic, in single precision as there:
    the scaled size and the top, bottom, left and right pads. A test holds it
    to the engine over many sizes."""
    f = np.float32
    r = min(f(size) / f(w), f(size) / f(h))
    nw, nh = max(1, round_away(f(w) * r)), max(1, round_away(f(h) * r))
    dw, dh = f(size - nw) * f(0.5), f(size - nh) * f(0.5)
    return (nw, nh, round_away(dh - f(0.1)), round_away(dh + f(0.1)),
            round_away(dw - f(0.1)), round_away(dw + f(0.1)))


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
        kp = np.array(lab["keypoints"], np.float32)
        nd = lab["needles"][0]
        needle = np.array([nd["cx"], nd["cy"], nd["w"], nd["h"], nd["angle"]], np.float32)
    h0, w0 = img.shape[:2]
    colour = GREY
    if rng is not None:
        # A decoy's box stays whole in the photo, as a gauge's key points do.
        every_point = np.concatenate([np.array(p["keypoints"], np.float32)[:, :2] for p in parts]
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


# ---------------------------------------------------------------- targets and losses

def heat_target(cells, centre, spread, grid_stride):
    """Gaussian over the cells around the object's centre, its peak cell at 1.

    The score is trained towards this soft target, so it reads as a graded
    certainty: one clear maximum at the centre and low elsewhere. sigma grows
    a little with the object, so big dials get a few more owning cells.
    """
    c = centre / grid_stride                                   # [N, 2] grid units
    sigma = torch.clamp(0.04 * spread / grid_stride, 0.7, 2.0)  # [N]
    d2 = ((cells - c.unsqueeze(2)) ** 2).sum(1)                 # [N, A]
    y = torch.exp(-d2 / (2 * sigma.unsqueeze(1) ** 2))
    return y / y.max(1, keepdim=True).values


def score_loss(logit, y):
    """Quality focal loss: BCE against the soft target, weighted by how far
    the prediction is from it, normalised by the target's mass."""
    p = torch.sigmoid(logit)
    bce = F.binary_cross_entropy_with_logits(logit, y, reduction="none")
    return (bce * (p - y).abs().pow(2)).sum() / y.sum().clamp(min=1.0)


def mark_target(cells, kp, grid_stride):
    """The scale-mark map's targets: a Gaussian of fixed width around every
    labelled scale point (its peak cell at 1), and per cell the nearest
    scale point, in grid units; then the own heats, each point of
    REFINED_KP's Gaussian alone ([N, R, A])."""
    scale_kp = kp[:, list(M.SCALE_KP)]
    pts = scale_kp[:, :, :2] / grid_stride                                  # [N, 11, 2]
    seen = scale_kp[:, :, 2] > 0                                            # [N, 11]
    d2 = ((cells.unsqueeze(1) - pts.unsqueeze(3)) ** 2).sum(2)              # [N, 11, A]
    g = torch.exp(-d2 / (2 * MARK_SIGMA ** 2))
    g = g / g.max(2, keepdim=True).values.clamp(min=1e-12) * seen.unsqueeze(2)
    nearest = d2.masked_fill(~seen.unsqueeze(2), float("inf")).argmin(1)    # [N, A]
    target = torch.gather(pts.transpose(1, 2), 2, nearest.unsqueeze(1).expand(-1, 2, -1))  # [N, 2, A]
    own = g[:, [M.SCALE_KP.index(i) for i in M.REFINED_KP]]
    return g.max(1).values, target, own


def mark_loss(cells, raw_mark, kp, grid_stride):
    """raw_mark: the map's heat, its offset, then the own heats."""
    y, target, own = mark_target(cells, kp, grid_stride)
    wgt = y * (y >= 0.3)
    err = (cells + raw_mark[:, 1:3] - target).abs().sum(1)
    first = M.OWN_HEAT - M.MARK
    return {"mark": score_loss(raw_mark[:, 0], y), "mark_offset": (err * wgt).sum() / wgt.sum().clamp(min=1.0),
            "own_heat": sum(score_loss(raw_mark[:, first + i], own[:, i]) for i in range(own.shape[1]))}


def compute_loss(net, raw, box, kp, needle):
    n = raw.shape[0]
    a = net.grid * net.grid
    r = raw.reshape(n, raw.shape[1], a)
    cells = net.cells                                           # [1, 2, A] grid units
    s = M.STRIDE
    if net.task == "finder":
        # Every gauge of the frame is a target; each cell draws the box of
        # the gauge whose heat is greatest there.
        heats = torch.stack([heat_target(cells, box[:, j, :2], box[:, j, 2], s) * box[:, j, 4:5]
                             for j in range(box.shape[1])], 1)                        # [N, G, A]
        y, owner = heats.max(1)
        owner = owner.unsqueeze(1).expand(-1, 2, -1)
        centre = torch.gather(box[:, :, :2].transpose(1, 2), 2, owner)                 # [N, 2, A]
        size = torch.gather(box[:, :, 2:4].transpose(1, 2), 2, owner)
    else:
        centre, size = (box[:, :2], box[:, 2:4]) if net.task == "pose" else (needle[:, :2], needle[:, 2:4])
        # A decoy's box is zeros: no cell may score, and nothing else is learnt from it.
        present = (size[:, 0] > 0).float()
        y = heat_target(cells, centre, size[:, 0], s) * present.unsqueeze(1)
        centre, size = centre.unsqueeze(2), size.unsqueeze(2)
    terms = {"score": score_loss(r[:, 0], y)}
    # Cells that may score high must also draw the right box, or the engine's
    # suppression would keep them as a second object.
    wgt = y * (y >= 0.1)
    norm = wgt.sum().clamp(min=1.0)
    pc = cells + r[:, 1:3]
    terms["centre"] = (((pc - centre / s).abs().sum(1)) * wgt).sum() / norm
    log_size = torch.log(size.clamp(min=0.1) / s)
    terms["size"] = (((r[:, 3:5] - log_size).abs().sum(1)) * wgt).sum() / norm
    if net.task == "pose":
        # The key points as if the scale ran clockwise; the direction logit
        # says whether the graph must turn them round (model.DIRECTION).
        ccw = M.turn_of(kp) < 0
        kp = torch.where(ccw.view(n, 1, 1), kp[:, list(M.TURNED_KP)], kp)
        # The minimum's logit compared at the two ends, as graph.decode does,
        # at the ends' cells and at each pair of cells a step beside them:
        # the regressed ends are good to about a cell.
        turn = []
        for dx in (-s, 0, s):
            for dy in (-s, 0, s):
                step = torch.tensor([[dx], [dy]], dtype=kp.dtype)
                z = (M.cell_value(r[:, M.DIRECTION], kp[:, M.END, :2].unsqueeze(2) + step, net.grid)
                     - M.cell_value(r[:, M.DIRECTION], kp[:, M.START, :2].unsqueeze(2) + step, net.grid))
                bce = F.binary_cross_entropy_with_logits(z[:, 0], ccw.float(), reduction="none")
                turn.append((bce * present).sum() / present.sum().clamp(min=1.0))
        terms["direction"] = sum(turn) / len(turn)
        scale = size.mean(1).view(n, 1, 1, 1).clamp(min=1.0)
        tgt = (kp[:, :, :2].unsqueeze(3) - (cells * s).unsqueeze(1)) / scale       # [N, 14, 2, A]
        pred = r[:, 5:5 + 2 * M.NUM_KP].reshape(n, M.NUM_KP, 2, a)
        labelled = (kp[:, :, 2] > 0).float()                                       # [N, 14]
        err = (pred - tgt).abs().sum(2) * labelled.unsqueeze(2)                    # [N, 14, A]
        terms["kp"] = 10.0 * (err.sum(1) / labelled.sum(1, keepdim=True).clamp(min=1) * wgt).sum() / norm
        conf = r[:, 5 + 2 * M.NUM_KP:M.MARK]
        bce = F.binary_cross_entropy_with_logits(conf, labelled.unsqueeze(2).expand_as(conf), reduction="none")
        terms["conf"] = 0.1 * (bce.mean(1) * wgt).sum() / norm
        terms.update(mark_loss(cells, r[:, M.MARK:], kp, s))
    elif net.task == "needle":
        ang = needle[:, 4]
        tgt = torch.stack([torch.cos(2 * ang), torch.sin(2 * ang)], 1).unsqueeze(2)
        terms["angle"] = 5.0 * (((r[:, 5:7] - tgt).abs().sum(1)) * wgt).sum() / norm
    return sum(terms.values()), terms


# ---------------------------------------------------------------- validation

def validate(net, data_dir, task, limit=200):
    """Reads a held-out set with this model alone (the other half from the
    labels, the crop about the labelled dial), through the reading geometry
    of check_labels.py, and reports the error as % of the span; also how
    many images would be refused. The finder reports how often its best
    box's centre lies within a tenth of the dial's size of the true one."""
    import check_labels as CL
    labels = [lab for lab in read_labels(data_dir) if trainable(lab)][:limit]
    errors, refused, kp_err, ang_err, hits = [], 0, [], [], 0
    with torch.no_grad():
        for lab in labels:
            img = cv2.imread(os.path.join(data_dir, lab["image"]), cv2.IMREAD_COLOR)
            rgb, box, kp, needle = prepare_view(img, lab, task)
            out = G.decode(net, net(to_tensor(rgb).unsqueeze(0)))[0].numpy().T   # [A, values]
            best = out[np.argmax(out[:, 4])]
            if task == "finder":
                refused += count_dials(out) != 1
                hits += bool(np.hypot(*(best[:2] - box[0, :2])) <= 0.1 * box[0, 2:4].mean())
                continue
            pred = {"dial_box": box.tolist(), "keypoints": kp.tolist(),
                    "needles": [dict(zip(("cx", "cy", "w", "h", "angle"), needle.tolist()))]}
            if task == "pose":
                if count_dials(out) != 1:
                    refused += 1
                    continue
                pkp = best[5:].reshape(M.NUM_KP, 3)
                kp_err.append(float(np.median(np.hypot(*(pkp[:, :2] - kp[:, :2]).T)) / box[2]))
                pred["dial_box"] = best[:4].tolist()
                pred["keypoints"] = pkp.tolist()
            else:
                if best[4] <= 0.1:
                    refused += 1
                    continue
                d = (best[5] - needle[4]) % math.pi
                ang_err.append(math.degrees(min(d, math.pi - d)))
                pred["needles"] = [dict(zip(("cx", "cy", "w", "h", "angle"), best[[0, 1, 2, 3, 5]].tolist()))]
            value, _ = CL.read_label(pred)
            errors.append(100.0 if value is None else 100.0 * abs(value - lab["reading"]))
    if task == "finder":
        return "val %d: refused %d, best box on the dial %d" % (len(labels), refused, hits)
    med = float(np.median(errors)) if errors else float("nan")
    within2 = 100.0 * sum(e <= 2 for e in errors) / max(1, len(labels))
    extra = ("dial-size-relative key point error %.2f%%" % (100 * np.median(kp_err)) if kp_err else
             "axis error %.2f deg" % np.median(ang_err) if ang_err else "")
    return "val %d: refused %d, reading error median %.2f%% of span, within 2%%: %.0f%%; %s" % (
        len(labels), refused, med, within2, extra)


def survivors(out, threshold=contract.DIAL_SCORE, iou=contract.NMS_IOU):
    """The engine's survivors of a table [A, values], strongest first: the
    pose decoder's integer boxes (C++ truncation toward zero, halves of odd
    sizes floored as int division does) through the same cv::dnn::NMSBoxes,
    with scores below zero counted as zero."""
    def trunc(v):
        return int(math.trunc(float(v)))

    boxes, scores = [], []
    for c in out:
        cx, cy, w, h = trunc(c[0]), trunc(c[1]), trunc(c[2]), trunc(c[3])
        boxes.append([cx - int(w / 2), cy - int(h / 2), w, h])
        scores.append(max(float(c[4]), 0.0))
    if not boxes:
        return []
    kept = cv2.dnn.NMSBoxes(boxes, scores, threshold, iou, eta=1.0, top_k=0)
    return [out[i] for i in np.asarray(kept, dtype=int).reshape(-1)]


def count_dials(out, threshold=contract.DIAL_SCORE, iou=contract.NMS_IOU):
    return len(survivors(out, threshold, iou))


# ---------------------------------------------------------------- training

class Ema:
    """Moving average of the weights; a short run gains most from it."""

    def __init__(self, net, decay=0.9995, ramp=500):
        self.model = M.Net(net.task, net.size)
        self.model.load_state_dict(net.state_dict())
        self.model.eval()
        for p in self.model.parameters():
            p.requires_grad_(False)
        self.decay, self.ramp, self.updates = decay, ramp, 0

    def update(self, net):
        self.updates += 1
        d = self.decay * (1 - math.exp(-self.updates / self.ramp))
        with torch.no_grad():
            src = net.state_dict()
            for k, v in self.model.state_dict().items():
                if v.dtype.is_floating_point:
                    v.mul_(d).add_(src[k].detach(), alpha=1 - d)
                else:
                    v.copy_(src[k])


def learning_rate(base, progress, step):
    # Warm up over 300 steps, or over the first 5% of a short budget.
    warm = min(1.0, max((step + 1) / 300, progress / 0.05))
    cosine = 0.02 + 0.98 * 0.5 * (1 + math.cos(math.pi * min(1.0, progress)))
    return base * warm * cosine


def save(path, state):
    tmp = path + ".tmp"
    torch.save(state, tmp)
    os.replace(tmp, path)


def main():
    ap = argparse.ArgumentParser(description="Train the dial key-point or the needle model.")
    ap.add_argument("--task", required=True, choices=M.TASKS)
    ap.add_argument("--data", required=True, nargs="+", help="rendered training sets")
    ap.add_argument("--out", required=True)
    ap.add_argument("--epochs", type=float, default=5.0, help="training budget in passes over the data")
    ap.add_argument("--resume", action="store_true", help="continue from OUT/last.pt if it exists")
    ap.add_argument("--val", help="rendered held-out set, read at every checkpoint")
    ap.add_argument("--init", help="a checkpoint whose averaged weights start a new run (its head may have "
                                   "fewer channels)")
    ap.add_argument("--batch", type=int, default=16)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--checkpoint-minutes", type=float, default=10.0)
    args = ap.parse_args()

    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    os.makedirs(args.out, exist_ok=True)
    ckpt = os.path.join(args.out, "last.pt")
    log = open(os.path.join(args.out, "log.txt"), "a")

    def say(text):
        print(text, flush=True)
        log.write(text + "\n")
        log.flush()

    net = M.Net(args.task)
    if args.init and not os.path.exists(ckpt):
        start = torch.load(args.init, map_location="cpu")
        if start["task"] != args.task or start["size"] != net.size:
            sys.exit("train.py: %s is a %s model at %d" % (args.init, start["task"], start["size"]))
        with torch.no_grad():
            net.load_grown(start["ema"])
        say("starting from the averaged weights of %s" % args.init)
    decay, no_decay = [], []
    for name, p in net.named_parameters():
        (decay if p.ndim == 4 else no_decay).append(p)
    opt = torch.optim.AdamW([{"params": decay, "weight_decay": 0.05}, {"params": no_decay, "weight_decay": 0.0}],
                            lr=args.lr)
    ema = Ema(net)
    state = {"epoch": 0, "pos": 0, "step": 0, "images": 0, "elapsed": 0.0}
    if os.path.exists(ckpt):
        if not args.resume:
            sys.exit("train.py: %s exists; pass --resume to continue it, or remove it" % ckpt)
        saved = torch.load(ckpt, map_location="cpu")
        if saved["task"] != args.task or saved["size"] != net.size:
            sys.exit("train.py: %s is a %s model at %d" % (ckpt, saved["task"], saved["size"]))
        net.load_state_dict(saved["model"])
        ema.model.load_state_dict(saved["ema"])
        ema.updates = saved["ema_updates"]
        opt.load_state_dict(saved["optimizer"])
        state = saved["state"]
        say("resumed at step %d, epoch %d, after %.1f minutes" % (state["step"], state["epoch"],
                                                                   state["elapsed"] / 60))
    data = GaugeSet(args.data, args.task, args.seed, augment=True)
    n = len(data)
    budget = round(args.epochs * n)
    if state["images"] >= budget:
        say("training budget already used; nothing to do")
        return

    sampler = EpochSampler(n, args.seed, state["epoch"], state["pos"])
    loader = torch.utils.data.DataLoader(data, batch_size=args.batch, sampler=sampler, num_workers=1,
                                         prefetch_factor=4, persistent_workers=False)
    say("%s: %d training images, input %d, batch %d, budget %g epochs" % (args.task, n, net.size, args.batch,
                                                                           args.epochs))

    def checkpoint():
        save(ckpt, {"task": args.task, "size": net.size, "model": net.state_dict(), "ema": ema.model.state_dict(),
                    "ema_updates": ema.updates, "optimizer": opt.state_dict(), "state": state})

    net.train()
    start = time.time()
    base_elapsed = state["elapsed"]
    last_ckpt = last_log = start
    seen_since, loss_sum, terms_sum, steps_since = 0, 0.0, {}, 0
    for images, box, kp, needle in loader:
        lr = learning_rate(args.lr, state["images"] / budget, state["step"])
        for g in opt.param_groups:
            g["lr"] = lr
        raw = net(images)
        loss, terms = compute_loss(net, raw, box, kp, needle)
        opt.zero_grad(set_to_none=True)
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 10.0)
        opt.step()
        ema.update(net)

        b = images.shape[0]
        state["step"] += 1
        state["images"] += b
        state["pos"] += b
        if state["pos"] >= n:
            state["epoch"] += 1
            state["pos"] -= n
        now = time.time()
        state["elapsed"] = base_elapsed + (now - start)
        seen_since += b
        steps_since += 1
        loss_sum += float(loss)
        for k, v in terms.items():
            terms_sum[k] = terms_sum.get(k, 0.0) + float(v)
        done = state["images"] >= budget
        if now - last_log >= 60 or done:
            say("step %d epoch %.2f/%g lr %.2e loss %.4f (%s) %.1f img/s, %.1f min" % (
                state["step"], state["images"] / n, args.epochs, lr, loss_sum / steps_since,
                " ".join("%s %.4f" % (k, v / steps_since) for k, v in terms_sum.items()),
                seen_since / (now - last_log), state["elapsed"] / 60))
            last_log, seen_since, loss_sum, terms_sum, steps_since = now, 0, 0.0, {}, 0
        if now - last_ckpt >= args.checkpoint_minutes * 60 or done:
            checkpoint()
            if args.val:
                say(validate(ema.model, args.val, args.task))
            # Checkpoints and validation are neither training time nor part of the logged rate.
            paused = time.time() - now
            start += paused
            last_log += paused
            last_ckpt = now + paused
            net.train()
        if done:
            break
    say("done: %d steps, %d images (%.2f epochs) in %.1f min" % (state["step"], state["images"],
                                                                 state["images"] / n, state["elapsed"] / 60))


if __name__ == "__main__":
    main()
