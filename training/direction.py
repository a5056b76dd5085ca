"""Which way a scale runs, told from the numerals at its two ends, and the
training of the network that tells it.

  python3 -m training.direction --data DIR... --out DIR [--epochs E] [--resume] [--val DIR...]

The dial network lays every scale out clockwise, and a logit per cell says
where the minimum lies. On real photos a needle resting on its stop pin
covers the start's numeral, and the turn that logit chose read resting
gauges as full scale. DirectionNet sees both ends at once, each in a crop
about its mark on the engine's full-resolution input, and gives the logit
that the first is the scale's maximum; graph.CoarseToFine orders the best
dial's scale by it.

Training reads the rendered sets' labelled ends, each moved and sized about
as loosely as the dial network places them. The crops are cut once into
windows (OUT/windows.npy) with room for those moves; the order and every
draw come from (seed, epoch, index), so a resumed run sees what an unbroken
one would have. OUT/last.pt is written every --checkpoint-minutes and at
the end, with the moving average that training.export writes out.
"""
import argparse
import copy
import hashlib
import math
import multiprocessing
import os
import time

import cv2
import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

from . import model as M
from .contract import END, PIVOT, START
from .train import data as D

# A crop about an end mark is this many mean pivot-to-end distances wide:
# the mark, its numeral inside or outside the scale, and a resting needle.
SIDE = 1.0
SIZE = 64
# The smallest crop, in input pixels: a tiny dial's crop stays a crop of it.
MIN_SIDE = 16.0
# How loosely the dial network places an end, in pivot-to-end distances,
# and by how much (log) the crop's side varies with its radii.
END_SHIFT = 0.05
MAX_SHIFT = 0.15
SIDE_ZOOM = 0.2
# The stored window about each end: wide enough for every move above.
WINDOW = 1.6
WINDOW_PX = 112


class DirectionNet(nn.Module):
    """Two end crops [N, 3, SIZE, SIZE] in, the logit [N] that the first is
    the maximum's end. The same features read both crops, and swapping them
    negates the logit, so the order they come in says nothing."""

    task = "direction"
    size = SIZE

    def __init__(self):
        super().__init__()
        self.embed = nn.Sequential(
            M.conv_bn(3, 16, 3, 2), M.conv_bn(16, 32, 3, 2), M.Residual(32), M.conv_bn(32, 64, 3, 2),
            M.Residual(64), M.conv_bn(64, 96, 3, 2), M.Residual(96), nn.Flatten(),
            nn.Linear(96 * (SIZE // 16) ** 2, 64), nn.ReLU(inplace=True))
        self.head = nn.Sequential(nn.Linear(128, 64), nn.ReLU(inplace=True), nn.Linear(64, 1))

    @staticmethod
    def side_of(pivot, start, end):
        """The side in input pixels of the crops about a scale's two ends (points [..., 2])."""
        return crop_side(end_radius(pivot, start, end))

    def forward(self, a, b):
        n = a.shape[0]
        f = self.embed(torch.cat([a, b]))
        fa, fb = f[:n], f[n:]
        return (self.head(torch.cat([fa, fb], 1)) - self.head(torch.cat([fb, fa], 1)))[:, 0]


def end_radius(pivot, start, end):
    """The mean distance [...] of a scale's two ends from its pivot (points [..., 2])."""
    return 0.5 * ((start - pivot).norm(dim=-1) + (end - pivot).norm(dim=-1))


def crop_side(radius):
    """The side in input pixels of both end crops of a scale of that mean radius."""
    return (SIDE * radius).clamp(min=MIN_SIDE)


def sample_at(img, cx, cy, side, size):
    """The square crop [size, size, 3] of img about (cx, cy), side pixels
    wide, sampled as graph.CropResize samples it: bilinear, pixel centres at
    whole numbers, the letterbox's grey outside."""
    step = side / size
    fx, fy = cx - side / 2 + 0.5 * step, cy - side / 2 + 0.5 * step
    m = np.array([[step, 0, fx], [0, step, fy]], np.float64)
    return cv2.warpAffine(img, m, (size, size), flags=cv2.INTER_LINEAR | cv2.WARP_INVERSE_MAP,
                          borderMode=cv2.BORDER_CONSTANT, borderValue=(D.GREY,) * 3)


def usable(lab):
    """A picture with one gauge, whose ends are labelled."""
    return lab.get("gauges", 1) == 1 and "keypoints" in lab


def windows_of(job):
    folder, lab = job
    img = cv2.imread(os.path.join(folder, lab["image"]), cv2.IMREAD_COLOR)
    if img is None:
        raise IOError("cannot read %s" % lab["image"])
    return end_windows(img, lab)


def end_windows(img, lab):
    """The windows [2, WINDOW_PX, WINDOW_PX, 3] (RGB) about the start and the
    end of the labelled picture img (BGR), in the engine's letterbox, the
    crops' side and the ends' mean radius."""
    img, (sx, sy, tx, ty) = D.letterbox(img, M.FRAME_SIZE, D.GREY)
    kp = np.array(lab["keypoints"], np.float64)[:, :2] * (sx, sy) + (tx, ty)
    t = torch.from_numpy(kp)
    radius = end_radius(t[PIVOT], t[START], t[END])
    side = float(DirectionNet.side_of(t[PIVOT], t[START], t[END]))
    rgb = np.ascontiguousarray(img[:, :, ::-1])
    wins = [sample_at(rgb, kp[k, 0], kp[k, 1], WINDOW * side, WINDOW_PX) for k in (START, END)]
    return np.stack(wins), side, float(radius)


def cut_windows(data_dirs, out, jobs=2):
    """OUT's windows.npy [N, 2, W, W, 3] and sides.npy [N, 2] (crop side,
    mean radius) of every usable picture of data_dirs, made once for those
    sets' labels and this geometry."""
    path, stamp_path = os.path.join(out, "windows.npy"), os.path.join(out, "windows.stamp")
    items = [(d, lab) for d in data_dirs for lab in D.read_labels(d) if usable(lab)]
    h = hashlib.sha256(repr((SIDE, MIN_SIDE, WINDOW, WINDOW_PX, M.FRAME_SIZE)).encode())
    for d in data_dirs:
        with open(os.path.join(d, "labels.jsonl"), "rb") as fh:
            h.update(hashlib.sha256(fh.read()).digest())
    stamp = h.hexdigest()
    if os.path.exists(path) and os.path.exists(stamp_path):
        with open(stamp_path) as fh:
            if fh.read() == stamp:
                return np.load(path, mmap_mode="r"), np.load(os.path.join(out, "sides.npy"))
    wins = np.lib.format.open_memmap(path + ".partial.npy", "w+", np.uint8, (len(items), 2, WINDOW_PX, WINDOW_PX, 3))
    sides = np.zeros((len(items), 2), np.float32)
    with multiprocessing.Pool(jobs) as pool:
        for i, (w, side, radius) in enumerate(pool.imap(windows_of, items, chunksize=16)):
            wins[i], sides[i] = w, (side, radius)
    wins.flush()
    del wins
    np.save(os.path.join(out, "sides.npy"), sides)
    os.replace(path + ".partial.npy", path)
    with open(stamp_path, "w") as fh:
        fh.write(stamp)
    return np.load(path, mmap_mode="r"), sides


def pair(windows, sides, index, rng):
    """The two end crops (start, end) of a picture from its windows: each
    moved and both resized by rng's draws, or as labelled without rng."""
    side, radius = float(sides[index, 0]), float(sides[index, 1])
    wide = WINDOW * side
    crops = []
    zoom = math.exp(rng.uniform(-SIDE_ZOOM, SIDE_ZOOM)) if rng is not None else 1.0
    for k in range(2):
        dx = dy = 0.0
        if rng is not None:
            dx, dy = np.clip(rng.normal(0, END_SHIFT * radius, 2), -MAX_SHIFT * radius, MAX_SHIFT * radius)
        # The window's pixels are wide / WINDOW_PX input pixels apart, its centre the end.
        k_side = side * zoom * WINDOW_PX / wide
        centre = (WINDOW_PX / 2 + dx * WINDOW_PX / wide - 0.5, WINDOW_PX / 2 + dy * WINDOW_PX / wide - 0.5)
        crops.append(sample_at(np.ascontiguousarray(windows[index, k]), centre[0], centre[1], k_side, SIZE))
    if rng is not None:
        both = D.photometric(np.concatenate(crops, 1), rng)
        crops = [both[:, :SIZE], both[:, SIZE:]]
    return crops


def to_batch(crops):
    return torch.from_numpy(np.stack(crops).transpose(0, 3, 1, 2).copy()).float().div_(255.0)


def accuracy(net, windows, sides):
    """The share of pictures whose ends, as labelled, net orders right (the
    logit is odd in its crops' order, so one order tells both)."""
    right, n = 0, len(sides)
    with torch.no_grad():
        for lo in range(0, n, 64):
            idx = range(lo, min(n, lo + 64))
            crops = [pair(windows, sides, i, None) for i in idx]
            starts, ends = to_batch([c[0] for c in crops]), to_batch([c[1] for c in crops])
            right += int((net(ends, starts) > 0).sum())
    return right / max(1, n)


def main():
    ap = argparse.ArgumentParser(description="Train the network that tells which way a scale runs.")
    ap.add_argument("--data", nargs="+", required=True)
    ap.add_argument("--val", nargs="*", default=[])
    ap.add_argument("--epochs", type=float, default=4.0)
    ap.add_argument("--batch", type=int, default=64)
    # Imported here: training.train reads the graph, which reads this module.
    from .train.__main__ import adamw, learning_rate, open_run, run_arguments, save
    run_arguments(ap)
    args = ap.parse_args()
    ckpt, say = open_run(args)

    windows, sides = cut_windows(args.data, args.out)
    val = []
    for i, d in enumerate(args.val):
        os.makedirs(os.path.join(args.out, "val-%d" % i), exist_ok=True)
        val.append((d, cut_windows([d], os.path.join(args.out, "val-%d" % i))))
    net = DirectionNet()
    ema = copy.deepcopy(net).eval()
    for p in ema.parameters():
        p.requires_grad_(False)
    decay, no_decay = [], []
    for p in net.parameters():
        (decay if p.ndim >= 2 else no_decay).append(p)
    opt = adamw(decay, no_decay, args.lr)
    state = {"epoch": 0, "pos": 0, "step": 0, "images": 0, "elapsed": 0.0}
    if os.path.exists(ckpt):
        if not args.resume:
            raise SystemExit("direction: %s exists; pass --resume to continue it, or remove it" % ckpt)
        saved = torch.load(ckpt, map_location="cpu")
        net.load_state_dict(saved["model"])
        ema.load_state_dict(saved["ema"])
        opt.load_state_dict(saved["optimizer"])
        state = saved["state"]
        say("resumed at step %d, epoch %d" % (state["step"], state["epoch"]))
    n = len(sides)
    budget = round(args.epochs * n)
    if state["images"] >= budget:
        say("training budget already used; nothing to do")
        return
    say("direction: %d training images, budget %g epochs" % (n, args.epochs))

    def checkpoint():
        save(ckpt, {"task": "direction", "model": net.state_dict(), "ema": ema.state_dict(),
                    "optimizer": opt.state_dict(), "state": state})

    net.train()
    start = last_ckpt = last_log = time.time()
    base_elapsed, loss_sum, steps_since = state["elapsed"], 0.0, 0
    while state["images"] < budget:
        order = np.random.default_rng([args.seed, state["epoch"], 7]).permutation(n)
        batch = order[state["pos"]:state["pos"] + args.batch]
        a, b, y = [], [], []
        for i in batch:
            rng = np.random.default_rng([args.seed, state["epoch"], int(i)])
            s, e = pair(windows, sides, int(i), rng)
            flip = rng.random() < 0.5
            a.append(e if flip else s)
            b.append(s if flip else e)
            y.append(float(flip))
        lr = learning_rate(args.lr, state["images"] / budget, state["step"])
        for g in opt.param_groups:
            g["lr"] = lr
        loss = F.binary_cross_entropy_with_logits(net(to_batch(a), to_batch(b)), torch.tensor(y))
        opt.zero_grad(set_to_none=True)
        loss.backward()
        opt.step()
        with torch.no_grad():
            d = 0.999 * (1 - math.exp(-(state["step"] + 1) / 200))
            src = net.state_dict()
            for k, v in ema.state_dict().items():
                v.copy_(v * d + src[k] * (1 - d)) if v.dtype.is_floating_point else v.copy_(src[k])
        state["step"] += 1
        state["images"] += len(batch)
        state["pos"] += len(batch)
        if state["pos"] >= n:
            state["epoch"] += 1
            state["pos"] = 0
        now = time.time()
        state["elapsed"] = base_elapsed + now - start
        loss_sum += float(loss)
        steps_since += 1
        done = state["images"] >= budget
        if now - last_log >= 60 or done:
            say("step %d epoch %.2f/%g lr %.2e loss %.4f, %.1f min" % (
                state["step"], state["images"] / n, args.epochs, lr, loss_sum / steps_since, state["elapsed"] / 60))
            last_log, loss_sum, steps_since = now, 0.0, 0
        if now - last_ckpt >= args.checkpoint_minutes * 60 or done:
            checkpoint()
            for d, (w, s) in val:
                say("val %s: ends ordered right %.1f%% of %d" % (os.path.basename(d), 100 * accuracy(ema, w, s), len(s)))
            last_ckpt = time.time()
            net.train()
    say("done: %d steps (%.2f epochs) in %.1f min" % (state["step"], state["images"] / n, state["elapsed"] / 60))


if __name__ == "__main__":
    main()
