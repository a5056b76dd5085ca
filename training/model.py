"""The two networks: dial key points ("pose") and needle oriented box ("needle").

Both share one design: a small residual backbone down to stride 32 with a
pooled context block, a top-down path back to stride 8, and a head that
predicts, for every stride-8 cell, a score and the object's geometry relative
to that cell. There are no anchors: each gauge has exactly one dial and one
needle, so the cells near the object's centre own it (see train/losses.py).

forward() returns the raw head map [N, C, G, G] for training; graph.decode()
turns it into the table the engine reads, [N, values, G*G], in input pixels.
"""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

from .contract import END, NUM_KP, PIVOT, SCALE_KP, START

STRIDE = 8
# The engine's rows: cx, cy, w, h, score, then per task the rest.
POSE_VALUES = 5 + 3 * NUM_KP
NEEDLE_VALUES = 6
# Raw channels per cell.
# Dial: score, centre, log size, key-point offsets, key-point confidences,
# then the scale-mark map: a heat logit and the offset to the nearest mark,
# and a heat logit of its own for each point of REFINED_KP; last the logit
# that the scale runs counter-clockwise.
POSE_CHANNELS = 1 + 2 + 2 + 2 * NUM_KP + NUM_KP + 1 + 2 + 3 + 1
MARK = 5 + 3 * NUM_KP
OWN_HEAT = MARK + 3
# Which way the scale runs is one bit, read from the numerals. Regressed
# straight into the key points, the two ends of a counter-clockwise scale
# (a tenth of the data) were learnt the clockwise way round: validation's
# 50 such squares were all misread, and 46 still were with a sixth of the
# dial network's data counter-clockwise. So the key
# points are learnt as if every scale ran clockwise (the start at the end
# a clockwise scale starts from), and this map says which end the minimum
# is at. The numerals sit beside the ends: a logit at the dial's centre
# cell, which sees them only across the whole dial, stayed at the prior's
# loss for 1.3 passes. So DIRECTION is a logit per cell that a scale's
# minimum lies there, and the graph turns a candidate's scale round where
# it is higher at the end the key points found than at the start. A
# comparison of one map at two cells needs no threshold, and how often
# scales run one way is no use to it.
DIRECTION = POSE_CHANNELS - 1
NEEDLE_CHANNELS = 1 + 2 + 2 + 2                     # score, centre, log w/h, cos/sin of twice the angle
# The map is exact on the scale's start, end and middle, which are printed
# marks on nearly every dial; each has a heat of its own, so that a coarse
# point far off is not pulled onto a neighbouring mark. The tenths between
# are often unmarked (a 0-400 scale marked every 50 has its 0.1 at 40): they
# are placed by angle about the pivot between those three (see place_tenths).
MIDDLE = SCALE_KP[len(SCALE_KP) // 2]
REFINED_KP = (START, END, MIDDLE)        # in the order of the OWN_HEAT channels

# The letterbox's grey (0..1), which crops beyond the picture take too.
GREY = 114.0 / 255.0
# The 14 key points with the scale turned round: the start and end swap,
# the tenths run backwards.
TURNED_KP = (0, 1, 2, 4, 3) + tuple(range(13, 4, -1))
# The widest stage is sized so that a packed model (hex text, twice the
# ONNX bytes) stays under 10 MB.
WIDTHS = (16, 24, 48, 96, 112)
DEPTHS = (0, 1, 1, 2, 2)
NECK = 48

# Coarse to fine. The engine letterboxes a picture to FRAME_SIZE. A small
# network, the finder, looks for dials on a view pooled FRAME_SIZE /
# COARSE_SIZE times smaller; the dial or needle network then reads a crop
# about the best dial, CROP_MARGIN dial-box sides wide, at FINE_SIZE pixels,
# taken from the full-resolution input. A 150-pixel dial in a 1280 x 960
# frame is 112 pixels of the input, 37 of the pooled view and 256 of the
# crop.
FRAME_SIZE = 960
COARSE_SIZE = 320
POOL = FRAME_SIZE // COARSE_SIZE
FINE_SIZE = 256
CROP_MARGIN = 1.3
# The finder draws boxes only, so it is far narrower.
FINDER_WIDTHS = (8, 16, 24, 32, 48)
FINDER_NECK = 24
FINDER_CHANNELS = 5

# ReLU rather than SiLU: in int8 ONNX Runtime folds a ReLU into the
# convolution before it (its output's quantisation clips at zero), where a
# SiLU stays a float Sigmoid and Mul between a dequantise and a quantise.
# With SiLU the int8 pair ran no faster than the float one.
def conv_bn(cin, cout, k=3, s=1):
    return nn.Sequential(nn.Conv2d(cin, cout, k, s, k // 2, bias=False), nn.BatchNorm2d(cout), nn.ReLU(inplace=True))


class Residual(nn.Module):
    def __init__(self, c):
        super().__init__()
        self.a = conv_bn(c, c)
        self.b = nn.Sequential(nn.Conv2d(c, c, 3, 1, 1, bias=False), nn.BatchNorm2d(c))
        self.act = nn.ReLU(inplace=True)

    def forward(self, x):
        return self.act(x + self.b(self.a(x)))


class Context(nn.Module):
    """Chained max pools: the stride-32 cells see the whole dial, which the
    scale points between printed marks and the dial's extent need."""

    def __init__(self, c):
        super().__init__()
        self.reduce = conv_bn(c, c // 2, 1)
        self.pool = nn.MaxPool2d(5, 1, 2)
        self.mix = conv_bn(c * 2, c, 1)

    def forward(self, x):
        y0 = self.reduce(x)
        y1 = self.pool(y0)
        y2 = self.pool(y1)
        y3 = self.pool(y2)
        return self.mix(torch.cat([y0, y1, y2, y3], 1))


def grid_cells(g):
    """Cell centres [1, 2, g * g] in grid units, flattened in the order of
    the output rows."""
    ys, xs = torch.meshgrid(torch.arange(g, dtype=torch.float32), torch.arange(g, dtype=torch.float32), indexing="ij")
    return torch.stack([xs + 0.5, ys + 0.5]).reshape(1, 2, g * g)


TASKS = ("pose", "needle", "finder")


def default_size(task):
    """The input a network of task is trained and exported at."""
    return COARSE_SIZE if task == "finder" else FINE_SIZE


class Net(nn.Module):
    def __init__(self, task, size=None):
        super().__init__()
        if task not in TASKS:
            raise ValueError("task must be one of " + ", ".join(TASKS))
        self.task = task
        self.size = size or default_size(task)
        self.grid = self.size // STRIDE
        widths, neck = (FINDER_WIDTHS, FINDER_NECK) if task == "finder" else (WIDTHS, NECK)
        stages = []
        cin = 3
        for i, (c, d) in enumerate(zip(widths, DEPTHS)):
            layers = [conv_bn(cin, c, 3, 2)]
            layers += [Residual(c) for _ in range(d)]
            if i == len(widths) - 1:
                layers.append(Context(c))
            stages.append(nn.Sequential(*layers))
            cin = c
        self.stages = nn.ModuleList(stages)
        self.lat32 = conv_bn(widths[4], neck, 1)
        self.lat16 = conv_bn(widths[3], neck, 1)
        self.lat8 = conv_bn(widths[2], neck, 1)
        self.smooth16 = conv_bn(neck, neck)
        self.smooth8 = conv_bn(neck, neck)
        out = {"pose": POSE_CHANNELS, "needle": NEEDLE_CHANNELS, "finder": FINDER_CHANNELS}[task]
        self.head = nn.Sequential(conv_bn(neck, neck), conv_bn(neck, neck), nn.Conv2d(neck, out, 1))
        self._init_head()
        self.register_buffer("cells", grid_cells(self.grid), persistent=False)

    def _init_head(self):
        last = self.head[-1]
        nn.init.normal_(last.weight, std=0.01)
        nn.init.zeros_(last.bias)
        # Start the scores near the background rate so early steps are not
        # spent pushing down a thousand cells.
        last.bias.data[0] = -4.6
        if self.task == "pose":
            last.bias.data[MARK] = -4.6
            last.bias.data[OWN_HEAT:OWN_HEAT + len(REFINED_KP)] = -4.6
        # Sizes start near a typical object (in strides) rather than one cell.
        if self.task == "finder":
            last.bias.data[3:5] = math.log(8.0)
        elif self.task == "pose":
            last.bias.data[3:5] = math.log(20.0)
        else:
            last.bias.data[3] = math.log(12.0)
            last.bias.data[4] = math.log(2.0)

    def load_grown(self, state):
        """Loads weights saved before the head grew channels: every tensor of
        the same shape, and the head's existing output channels; the new
        channels keep their initial values."""
        own = self.state_dict()
        for name, value in state.items():
            mine = own[name]
            if mine.shape == value.shape:
                mine.copy_(value)
            elif mine.shape[1:] == value.shape[1:] and mine.shape[0] > value.shape[0]:
                mine[:value.shape[0]].copy_(value)
            else:
                raise ValueError("%s: saved %s, model %s" % (name, tuple(value.shape), tuple(mine.shape)))

    def forward(self, x):
        feats = []
        for stage in self.stages:
            x = stage(x)
            feats.append(x)
        p = self.lat32(feats[4])
        p = self.smooth16(self.lat16(feats[3]) + F.interpolate(p, scale_factor=2.0, mode="nearest"))
        p = self.smooth8(self.lat8(feats[2]) + F.interpolate(p, scale_factor=2.0, mode="nearest"))
        return self.head(p)

def cell_value(m, p, g):
    """A map m [N, g * g] at the cells holding the points p [N, >= 2, A]
    (pixels), points beyond the grid at its edge: [N, A]."""
    col = torch.clamp(torch.floor(p[:, 0] / STRIDE), 0, g - 1)
    row = torch.clamp(torch.floor(p[:, 1] / STRIDE), 0, g - 1)
    return torch.gather(m, 1, (row * g + col).long())


def signed_turn(u, v):
    """The signed angle from u to v [N, 2, ...], and their lengths.
    2 atan(sin / (1 + cos)): ONNX has no Atan2."""
    ru, rv = torch.sqrt((u * u).sum(1)), torch.sqrt((v * v).sum(1))
    dot = (u * v).sum(1)
    cross = u[:, 0] * v[:, 1] - u[:, 1] * v[:, 0]
    return 2 * torch.atan(cross / torch.clamp(ru * rv + dot, min=1e-12)), ru, rv


def turn_of(kp):
    """How far [N], in radians, the scale of key points [N, 14, >= 2] turns
    about the pivot from start through middle to end."""
    kp = kp[:, :, :2]
    pivot = kp[:, PIVOT]
    first, _, _ = signed_turn(kp[:, START] - pivot, kp[:, MIDDLE] - pivot)
    second, _, _ = signed_turn(kp[:, MIDDLE] - pivot, kp[:, END] - pivot)
    return first + second


def count_macs(net, size=None):
    """Multiply-accumulates of one forward pass at size (by default the
    network's own), convolutions only."""
    size = size or net.size
    total = [0]

    def hook(m, _inp, out):
        k = m.kernel_size[0] * m.kernel_size[1] * (m.in_channels // m.groups)
        total[0] += out.numel() * k

    handles = [m.register_forward_hook(hook) for m in net.modules() if isinstance(m, nn.Conv2d)]
    with torch.no_grad():
        net.eval()
        net(torch.zeros(1, 3, size, size))
    for h in handles:
        h.remove()
    return total[0]


def main():
    for task in TASKS:
        net = Net(task)
        params = sum(p.numel() for p in net.parameters())
        print("%s: %.2f M parameters, %.2f GMAC at %d" % (task, params / 1e6, count_macs(net) / 1e9, net.size))


if __name__ == "__main__":
    main()
