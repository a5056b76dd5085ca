#!/usr/bin/python3
"""Trains the network that tells which way a dial's scale runs (model.Direction).

  direction.py --data DIR [DIR ...] --out RUN [--val DIR] [--epochs E] [--resume]
               [--init CKPT] [--lr R] [--warmup W] [--seed S] [--stop E] [--crops DIR]

It learns from crops about the labelled start and end of every training
gauge, shown in either order, in the picture the dial model sees (the
engine's letterbox). The crops are cut once, twice as wide as the network
sees them, into RUN/crops-*.npz; each step then takes a crop of random scale
and offset from them, as the dial model's ends are a little off, with its
own brightness, colour and noise. Counter-clockwise scales are weighted up
to half of the loss, so the network cannot lean on the shape of a
clockwise scale's ends instead of the numbers. RUN/last.pt is written after
every epoch, and --resume continues from it. A further leg starts from a
finished run's weights (--init) with a schedule of its own, and may share
that run's crops (--crops).
"""
import argparse
import hashlib
import os
import sys
import time
from multiprocessing import Pool

import cv2
import numpy as np
import torch
import torch.nn.functional as F

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import model as M  # noqa: E402
import train as T  # noqa: E402

WIDE = 2            # stored crops are this many times wider than the network's
SCALE_SIGMA = 0.12  # log-normal spread of the crop's width
SHIFT_SIGMA = 0.05  # spread of its centre, in pivot-to-end radii
BATCH = 128


def wide_crops(args):
    """Wide crops [2, P, P, 3] (uint8 RGB) about one gauge's start and end."""
    data_dir, lab = args
    img = cv2.imread(os.path.join(data_dir, lab["image"]))
    rgb, _, kp, _ = T.prepare(img, lab, M.INPUT_SIZE)
    x = T.to_tensor(rgb).unsqueeze(0)
    point = lambda k: torch.from_numpy(kp[k:k + 1, :2].astype(np.float32))
    crops = M.end_crops(x, point(M.PIVOT), (point(M.START), point(M.END)), (M.DIR_SHARE * WIDE,), M.DIR_PATCH * WIDE)
    return (torch.cat(crops).permute(0, 2, 3, 1) * 255).round().byte().numpy()


def cached_crops(data_dir, out):
    """The set's wide crops [N, 2, P, P, 3] and whether each scale is clockwise."""
    labs = T.read_labels(data_dir)
    # Named by the labels and the crops' geometry, so a set rendered again,
    # or crops of another width or size, are cut again.
    with open(os.path.join(data_dir, "labels.jsonl"), "rb") as fh:
        key = hashlib.sha1(fh.read()).hexdigest()[:12]
    path = os.path.join(out, "crops-%s-%d-%g-%d.npz" % (key, len(labs), M.DIR_SHARE, M.DIR_PATCH))
    if not os.path.exists(path):
        with Pool(2, initializer=torch.set_num_threads, initargs=(1,)) as pool:
            crops = pool.map(wide_crops, [(data_dir, lab) for lab in labs], chunksize=64)
        np.savez(path + ".partial.npz", crops=np.stack(crops), clockwise=np.array([l["clockwise"] for l in labs]))
        os.replace(path + ".partial.npz", path)
    saved = np.load(path)
    return saved["crops"], saved["clockwise"]


def to_tensor(crops):
    """uint8 [..., P, P, 3] -> float [N, 3, P, P] in 0..1."""
    p = crops.shape[-2]
    return torch.from_numpy(crops.reshape(-1, p, p, 3)).permute(0, 3, 1, 2).float() / 255.0


def cut(wide, scale, shift):
    """From wide crops [N, 3, WP, WP], the network's crops: scale times its
    width, centred shift [N, 2] pivot-to-end radii off the end."""
    n = wide.shape[0]
    theta = torch.zeros(n, 2, 3)
    theta[:, 0, 0] = scale / WIDE
    theta[:, 1, 1] = scale / WIDE
    theta[:, :, 2] = shift * 2 / (M.DIR_SHARE * WIDE)
    grid = F.affine_grid(theta, (n, 3, M.DIR_PATCH, M.DIR_PATCH), align_corners=False)
    return M.sample_grey(wide, grid)


def photometric(x, g):
    n = x.shape[0]
    gain = torch.exp(torch.randn(n, 1, 1, 1, generator=g) * 0.25)
    tint = torch.exp(torch.randn(n, 3, 1, 1, generator=g) * 0.08)
    x = (x - 0.5) * gain * tint + 0.5 + torch.randn(n, 1, 1, 1, generator=g) * 0.08
    grey = (torch.rand(n, 1, 1, 1, generator=g) < 0.15).float()
    x = grey * x.mean(1, keepdim=True) + (1 - grey) * x
    x = x + torch.randn(x.shape, generator=g) * 0.03 * torch.rand(n, 1, 1, 1, generator=g)
    return x.clamp(0, 1)


def logits(net, crops):
    """The dial model's verdict on each gauge's (start, end) as labelled, the
    mean over the crop widths it looks at: negative when right."""
    n, wide = len(crops), to_tensor(crops)
    net.eval()
    out = torch.zeros(n)
    with torch.no_grad():
        for k in M.DIR_LOOKS:
            x = cut(wide, torch.full((2 * n,), k), torch.zeros(2 * n, 2)).view(n, 2, 3, M.DIR_PATCH, M.DIR_PATCH)
            out += torch.cat([net(x[i:i + 256, 0], x[i:i + 256, 1]) for i in range(0, n, 256)])
    net.train()
    return (out / len(M.DIR_LOOKS)).numpy()


def main():
    ap = argparse.ArgumentParser(description="Train the scale-direction network.")
    ap.add_argument("--data", required=True, nargs="+", help="rendered training sets")
    ap.add_argument("--out", required=True)
    ap.add_argument("--val", help="rendered held-out set, read after every epoch")
    ap.add_argument("--epochs", type=int, default=10)
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--warmup", type=float, default=0.15, help="share of the steps over which the rate rises")
    ap.add_argument("--stop", type=int, help="end after this epoch of the schedule's (default: all)")
    ap.add_argument("--init", help="a checkpoint whose weights start a new run")
    ap.add_argument("--seed", type=int, default=0, help="epoch e draws its order and crops from seed + e")
    ap.add_argument("--resume", action="store_true", help="continue from OUT/last.pt if it exists")
    ap.add_argument("--crops", help="where the cut crops are kept (default: OUT)")
    ap.add_argument("--threads", type=int, default=2)
    args = ap.parse_args()
    torch.set_num_threads(args.threads)
    torch.manual_seed(0)
    os.makedirs(args.out, exist_ok=True)
    ckpt = os.path.join(args.out, "last.pt")

    cache = args.crops or args.out
    os.makedirs(cache, exist_ok=True)
    sets = [cached_crops(d, cache) for d in args.data]
    crops, clockwise = np.concatenate([c for c, _ in sets]), np.concatenate([w for _, w in sets])
    del sets
    val = cached_crops(args.val, cache) if args.val else None
    weight = torch.from_numpy(np.where(clockwise, 0.5 / clockwise.mean(), 0.5 / max(1e-6, 1 - clockwise.mean())))
    n = len(crops)
    net = M.Direction()
    opt = torch.optim.AdamW(net.parameters(), args.lr, weight_decay=5e-4)
    steps = args.epochs * (n // BATCH)
    sched = torch.optim.lr_scheduler.OneCycleLR(opt, args.lr, total_steps=steps, pct_start=args.warmup)
    stop = args.epochs if args.stop is None else min(args.stop, args.epochs)
    epoch = 0
    if args.init and not os.path.exists(ckpt):
        net.load_state_dict(torch.load(args.init, map_location="cpu")["model"])
        print("direction: starting from the weights of %s" % args.init, flush=True)
    if os.path.exists(ckpt):
        if not args.resume:
            sys.exit("direction.py: %s exists; pass --resume to continue it, or remove it" % ckpt)
        saved = torch.load(ckpt, map_location="cpu")
        net.load_state_dict(saved["model"])
        opt.load_state_dict(saved["optimizer"])
        sched.load_state_dict(saved["schedule"])
        epoch = saved["epoch"]
    print("direction: %d training gauges (%.1f%% counter-clockwise), epoch %d of %d"
          % (n, 100 * (1 - clockwise.mean()), epoch, stop), flush=True)
    start = time.time()
    while epoch < stop:
        # Every draw comes from (epoch, step), so a resumed run repeats an unbroken one.
        g = torch.Generator().manual_seed(args.seed + epoch)
        order = torch.randperm(n, generator=g)
        for i in range(n // BATCH):
            idx = order[i * BATCH:(i + 1) * BATCH]
            m = len(idx)
            scale = torch.exp(torch.randn(2 * m, generator=g) * SCALE_SIGMA)
            shift = torch.randn(2 * m, 2, generator=g) * SHIFT_SIGMA
            x = photometric(cut(to_tensor(crops[idx.numpy()]), scale, shift), g)
            x = x.view(m, 2, 3, M.DIR_PATCH, M.DIR_PATCH)
            swap = (torch.rand(m, generator=g) < 0.5).view(m, 1, 1, 1)
            a, b = torch.where(swap, x[:, 1], x[:, 0]), torch.where(swap, x[:, 0], x[:, 1])
            loss = (F.binary_cross_entropy_with_logits(net(a, b), swap.view(m).float(), reduction="none")
                    * weight[idx].float()).mean()
            opt.zero_grad(set_to_none=True)
            loss.backward()
            opt.step()
            sched.step()
        epoch += 1
        torch.save({"task": "direction", "model": net.state_dict(), "optimizer": opt.state_dict(),
                    "schedule": sched.state_dict(), "epoch": epoch}, ckpt + ".partial")
        os.replace(ckpt + ".partial", ckpt)
        text = "epoch %d/%d, loss %.3f, %.1f min" % (epoch, args.epochs, float(loss), (time.time() - start) / 60)
        if val is not None:
            lg = logits(net, val[0])
            text += "; held out: %s" % ", ".join(
                "margin %g: %d would turn right, %d wrong" % (m, (lg < -m).sum(), (lg > m).sum())
                for m in sorted({0, 2, M.DIR_MARGIN}))
        print(text, flush=True)


if __name__ == "__main__":
    main()
