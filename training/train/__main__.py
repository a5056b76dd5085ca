"""Trains the finder, the dial key-point network (pose) or the needle oriented-box network.

  python3 -m training.train --task finder|pose|needle --data DIR... --out DIR [--epochs E] [--resume]
                            [--val DIR] [--init CKPT]

DIR holds a rendered set (labels.jsonl and the images). The budget is a
number of epochs, not of minutes, so the same seeds give the same model on a
busy machine as on an idle one; the learning rate follows the share of the
budget's images seen, so a run stopped and resumed keeps its schedule.
OUT/last.pt is written every --checkpoint-minutes and at the end; it holds
the model, its moving average (which training.export writes out), the
optimiser and the position in the data. The order of the images and every
augmentation are drawn from (seed, epoch, index), so a resumed run sees
what an unbroken one would have.
"""
import argparse
import math
import os
import sys
import time

import cv2
import numpy as np
import torch

from .. import graph as G
from .. import model as M
from ..engine import count_dials, read_label
from .data import EpochSampler, GaugeSet, prepare_view, read_labels, to_tensor, trainable
from .losses import compute_loss


def validate(net, data_dir, task, limit=200):
    """Reads a held-out set with this model alone (the other half from the
    labels, the crop about the labelled dial), through the reading geometry
    of training.engine, and reports the error as % of the span; also how
    many images would be refused. The finder reports how often its best
    box's centre lies within a tenth of the dial's size of the true one."""
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
            value, _ = read_label(pred)
            errors.append(100.0 if value is None else 100.0 * abs(value - lab["reading"]))
    if task == "finder":
        return "val %d: refused %d, best box on the dial %d" % (len(labels), refused, hits)
    med = float(np.median(errors)) if errors else float("nan")
    within2 = 100.0 * sum(e <= 2 for e in errors) / max(1, len(labels))
    extra = ("dial-size-relative key point error %.2f%%" % (100 * np.median(kp_err)) if kp_err else
             "axis error %.2f deg" % np.median(ang_err) if ang_err else "")
    return "val %d: refused %d, reading error median %.2f%% of span, within 2%%: %.0f%%; %s" % (
        len(labels), refused, med, within2, extra)


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


def run_arguments(ap):
    """The arguments every training run takes besides its data and budget."""
    ap.add_argument("--out", required=True)
    ap.add_argument("--resume", action="store_true", help="continue from OUT/last.pt if it exists")
    ap.add_argument("--lr", type=float, default=2e-3)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--checkpoint-minutes", type=float, default=10.0)


def open_run(args):
    """Sets the threads and the seed and makes OUT; returns OUT/last.pt and a
    say() that prints a line and appends it to OUT/log.txt."""
    torch.set_num_threads(args.threads)
    torch.manual_seed(args.seed)
    os.makedirs(args.out, exist_ok=True)
    log = open(os.path.join(args.out, "log.txt"), "a")

    def say(text):
        print(text, flush=True)
        log.write(text + "\n")
        log.flush()

    return os.path.join(args.out, "last.pt"), say


def adamw(decay, no_decay, lr):
    """AdamW with weight decay on `decay` only."""
    return torch.optim.AdamW([{"params": decay, "weight_decay": 0.05}, {"params": no_decay, "weight_decay": 0.0}],
                             lr=lr)


def main():
    ap = argparse.ArgumentParser(description="Train the dial key-point or the needle model.")
    ap.add_argument("--task", required=True, choices=M.TASKS)
    ap.add_argument("--data", required=True, nargs="+", help="rendered training sets")
    ap.add_argument("--epochs", type=float, default=5.0, help="training budget in passes over the data")
    ap.add_argument("--val", help="rendered held-out set, read at every checkpoint")
    ap.add_argument("--init", help="a checkpoint whose averaged weights start a new run (its head may have "
                                   "fewer channels)")
    ap.add_argument("--batch", type=int, default=16)
    run_arguments(ap)
    args = ap.parse_args()
    ckpt, say = open_run(args)

    net = M.Net(args.task)
    if args.init and not os.path.exists(ckpt):
        start = torch.load(args.init, map_location="cpu")
        if start["task"] != args.task or start["size"] != net.size:
            sys.exit("train: %s is a %s model at %d" % (args.init, start["task"], start["size"]))
        with torch.no_grad():
            net.load_grown(start["ema"])
        say("starting from the averaged weights of %s" % args.init)
    decay, no_decay = [], []
    for name, p in net.named_parameters():
        (decay if p.ndim == 4 else no_decay).append(p)
    opt = adamw(decay, no_decay, args.lr)
    ema = Ema(net)
    state = {"epoch": 0, "pos": 0, "step": 0, "images": 0, "elapsed": 0.0}
    if os.path.exists(ckpt):
        if not args.resume:
            sys.exit("train: %s exists; pass --resume to continue it, or remove it" % ckpt)
        saved = torch.load(ckpt, map_location="cpu")
        if saved["task"] != args.task or saved["size"] != net.size:
            sys.exit("train: %s is a %s model at %d" % (ckpt, saved["task"], saved["size"]))
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
