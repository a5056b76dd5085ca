#!/usr/bin/python3
"""The two networks: dial key points ("pose") and needle oriented box ("needle").

Both share one design: a small residual backbone down to stride 32 with a
pooled context block, a top-down path back to stride 8, and a head that
predicts, for every stride-8 cell, a score and the object's geometry relative
to that cell. There are no anchors: each gauge has exactly one dial and one
needle, so the cells near the object's centre own it (see train.py).

forward() returns the raw head map [N, C, G, G] for training; decode() turns
it into the table the engine reads, [N, values, G*G], in input pixels.
"""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

STRIDE = 8
NUM_KP = 14
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
# exp() of more than this would only mean a diverged head; keeps the export finite.
MAX_LOG_SIZE = 7.0
# The scale's key points in their order along the scale: start, the tenths, end.
SCALE_KP = (3, 5, 6, 7, 8, 9, 10, 11, 12, 13, 4)
# Refinement of the scale points: the strongest candidates only (the engine
# reads the best one), a search window of this share of the local mark
# spacing around the seed (the ends' and the middle's), and the least
# windowed heat that counts. Marks closer than a cell share cells in the map,
# so they keep the coarse point. WINDOW, MIDDLE_WINDOW, MARK_MIN and
# MIN_SPACING were chosen on a validation set (seed 3).
REFINE_TOP = 4
WINDOW = 0.8
MIDDLE_WINDOW = 0.5
# The middle of a scale with an odd number of major intervals (0-7, 0-140
# by 20) is no printed mark: its own heat lies on the two marks either side.
# The middle therefore takes the heat-weighted mean of the marks whose
# windowed heat is at least this share of the strongest, which is the one
# mark where there is one and halfway between two where it is between them.
MIDDLE_SHARE = 0.5
MARK_MIN = 0.1
MIN_SPACING = STRIDE
# The map is exact on the scale's start, end and middle, which are printed
# marks on nearly every dial; each has a heat of its own, so that a coarse
# point far off is not pulled onto a neighbouring mark. The tenths between
# are often unmarked (a 0-400 scale marked every 50 has its 0.1 at 40): they
# are placed by angle about the pivot between those three (see place_tenths).
REFINED_KP = (3, 4, 9)        # in the order of the OWN_HEAT channels
PIVOT, START, END, MIDDLE = 0, 3, 4, 9

# The letterbox's grey (0..1), which crops beyond the picture take too.
GREY = 114.0 / 255.0
# The 14 key points with the scale turned round: the start and end swap,
# the tenths run backwards.
TURNED_KP = (0, 1, 2, 4, 3) + tuple(range(13, 4, -1))
# The rows of a decoded dial table that hold x and y coordinates: the box's
# centre and the key points.
X_ROWS = [0] + [5 + 3 * k for k in range(NUM_KP)]
Y_ROWS = [1] + [6 + 3 * k for k in range(NUM_KP)]

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

# The rules the exported graphs apply after the networks, by name. Each can
# be switched off, so that training/ablate.py can measure on the validation
# sets what it is worth, and a test can show a case that needs it.
#   echo     a candidate far weaker than the best is its echo (Net.decode)
#   refine   the scale's ends and middle move onto the mark map (refine_scale)
#   mean     the middle takes the mean of its strongest marks
#   tenths   the tenths placed by angle between start, middle and end
#   confirm  the crop's look confirms the finder's dial (CoarseToFine)
# A rule stays where leaving it out loses at least two standard errors on a
# validation set.
RULES = dict.fromkeys(("echo", "refine", "mean", "tenths", "confirm"), True)


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

    def decode(self, raw):
        """The table [N, values, cells] of a head map."""
        n, g = raw.shape[0], raw.shape[3]
        r = raw.reshape(n, raw.shape[1], g * g)
        cells = self.cells
        score = torch.sigmoid(r[:, 0:1])
        centre = (cells + r[:, 1:3]) * STRIDE
        size = torch.exp(torch.clamp(r[:, 3:5], max=MAX_LOG_SIZE)) * STRIDE
        if self.task != "needle":
            # The engine refuses a picture with two dials. A candidate far weaker
            # than the picture's best is that dial's echo (its needle tip, the
            # face's centre on a sector dial), not a second dial: scaling by
            # (score / best)^2 keeps the best as it is and sinks its echoes
            # under the engine's threshold, while two real dials of similar
            # strength both stay.
            if RULES["echo"]:
                best = score.amax(2, keepdim=True).clamp(min=1e-6)
                score = score * (score / best) ** 2
            if self.task == "finder":
                return torch.cat([centre, size, score], 1)
            # Key points are offsets from the cell in units of the dial's size,
            # so one set of weights serves small and large dials alike.
            scale = size.mean(1, keepdim=True)
            kp = cells * STRIDE + r[:, 5:5 + 2 * NUM_KP].reshape(n, NUM_KP, 2, -1) * scale.unsqueeze(1)
            heat = torch.sigmoid(r[:, OWN_HEAT:OWN_HEAT + len(REFINED_KP)])
            if RULES["refine"]:
                kp = refine_scale(kp, score[:, 0], heat, (cells + r[:, MARK + 1:MARK + 3]) * STRIDE)
            if RULES["tenths"]:
                kp = place_tenths(kp)
            conf = torch.sigmoid(r[:, 5 + 2 * NUM_KP:MARK]).unsqueeze(2)
            kp = torch.cat([kp, conf], 2)
            d = r[:, DIRECTION]
            turn = cell_value(d, kp[:, END], g) > cell_value(d, kp[:, START], g)
            kp = torch.where(turn.view(n, 1, 1, -1), kp[:, list(TURNED_KP)], kp)
            kp = kp.reshape(n, 3 * NUM_KP, -1)
            return torch.cat([centre, size, score, kp], 1)
        w = size[:, 0:1]
        h = torch.minimum(size[:, 1:2], w)
        angle = half_angle(r[:, 6:7], r[:, 5:6])
        return torch.cat([centre, w, h, score, angle], 1)


def cell_value(m, p, g):
    """A map m [N, g * g] at the cells holding the points p [N, >= 2, A]
    (pixels), points beyond the grid at its edge: [N, A]."""
    col = torch.clamp(torch.floor(p[:, 0] / STRIDE), 0, g - 1)
    row = torch.clamp(torch.floor(p[:, 1] / STRIDE), 0, g - 1)
    return torch.gather(m, 1, (row * g + col).long())


def refine_scale(kp, score, heat, mark_pos):
    """Moves the scale's ends and middle, on the strongest candidates, onto the marks.

    A point regressed from the dial's centre cell is good to a few degrees of
    the scale; the mark map is local and sub-cell exact. Each end takes the
    cell of highest own heat inside a window scaled by the spacing to its
    neighbour on the scale, then that cell's offset to the mark; without
    enough heat in the window it stays. The middle is sought last, about the
    point halfway in angle between the refined ends: that is within a
    fraction of a spacing of the middle mark even on a tilted dial, while the
    regressed middle is the least sure of the three points and from there a
    window wide enough to reach the mark often reaches its neighbour too. It
    takes the mean of the strongest marks in its window, as the middle of a
    scale with an odd number of major intervals lies between two.
    kp [N, 14, 2, A], score [N, A], heat [N, R, A] (R = len(REFINED_KP)),
    mark_pos [N, 2, A]; returns kp with the moves.
    """
    n, _, _, a = kp.shape
    k = REFINE_TOP
    top = score.topk(k, dim=1).indices                                         # [N, K]
    coarse = torch.gather(kp, 3, top.view(n, 1, 1, k).expand(n, kp.shape[1], 2, k))   # [N, 14, 2, K]
    scale_kp = coarse[:, list(SCALE_KP)]                                       # [N, 11, 2, K]
    seg = torch.sqrt(((scale_kp[:, 1:] - scale_kp[:, :-1]) ** 2).sum(2))      # [N, 10, K]
    spacing = torch.minimum(torch.cat([seg[:, :1], seg], 1), torch.cat([seg, seg[:, -1:]], 1))

    def snap(point, seed, share, mean=False):
        """seed [N, 2, K] moved onto the mark of point's own heat, or kept
        where the window holds none; with mean, onto the mean of the marks
        whose heat is near the strongest (MIDDLE_SHARE). Also whether the
        marks lie at least MIN_SPACING apart there [N, 1, K]."""
        row = REFINED_KP.index(point)
        space = spacing[:, SCALE_KP.index(point)]                              # [N, K]
        sigma = (share * space).clamp(min=1.0).unsqueeze(2)                    # [N, K, 1]
        d2 = ((mark_pos.view(n, 2, 1, a) - seed.unsqueeze(3)) ** 2).sum(1)     # [N, K, A]
        windowed = heat[:, row].view(n, 1, a) * torch.exp(-d2 / (2 * sigma * sigma))   # [N, K, A]
        best, cell = windowed.max(2)                                           # [N, K]
        if mean and RULES["mean"]:
            w = windowed * (windowed >= MIDDLE_SHARE * best.unsqueeze(2))
            found = (mark_pos.view(n, 2, 1, a) * w.unsqueeze(1)).sum(3) / w.sum(2).clamp(min=1e-12).unsqueeze(1)
        else:
            found = torch.gather(mark_pos, 2, cell.view(n, 1, k).expand(n, 2, k))  # [N, 2, K]
        return torch.where((best > MARK_MIN).unsqueeze(1), found, seed), (space >= MIN_SPACING).unsqueeze(1)

    moved = {}
    for point in (START, END):
        found, spaced = snap(point, coarse[:, point], WINDOW)
        moved[point] = torch.where(spaced, found, coarse[:, point])
    # The regressed middle says which way round the scale runs; where it lies
    # on neither side of the ends, it stays.
    pivot, middle = coarse[:, PIVOT], coarse[:, MIDDLE]
    turn1, r_start, _ = signed_turn(moved[START] - pivot, middle - pivot)
    turn2, _, r_end = signed_turn(middle - pivot, moved[END] - pivot)
    stretch = (r_start + r_end).unsqueeze(1) / (2 * r_start.clamp(min=1e-12).unsqueeze(1))
    halfway = pivot + rotate(moved[START] - pivot, (turn1 + turn2) / 2) * stretch
    seed = torch.where((turn1 * turn2 > 0).unsqueeze(1), halfway, middle)
    found, spaced = snap(MIDDLE, seed, MIDDLE_WINDOW, mean=True)
    moved[MIDDLE] = torch.where(spaced, found, middle)

    # Back to every candidate: the others, and the other points, do not move.
    onehot = (torch.arange(a, device=kp.device).view(1, 1, a) == top.unsqueeze(2)).float()  # [N, K, A]
    still = torch.zeros_like(coarse[:, 0])
    delta = torch.stack([moved[i] - coarse[:, i] if i in moved else still for i in range(kp.shape[1])], 1)
    return kp + torch.matmul(delta.reshape(n, -1, k), onehot).view(kp.shape)


def signed_turn(u, v):
    """The signed angle from u to v [N, 2, ...], and their lengths.
    2 atan(sin / (1 + cos)): ONNX has no Atan2."""
    ru, rv = torch.sqrt((u * u).sum(1)), torch.sqrt((v * v).sum(1))
    dot = (u * v).sum(1)
    cross = u[:, 0] * v[:, 1] - u[:, 1] * v[:, 0]
    return 2 * torch.atan(cross / torch.clamp(ru * rv + dot, min=1e-12)), ru, rv


def rotate(u, angle):
    """u [N, 2, ...] turned by angle [N, ...]."""
    cos, sin = torch.cos(angle), torch.sin(angle)
    return torch.stack([u[:, 0] * cos - u[:, 1] * sin, u[:, 0] * sin + u[:, 1] * cos], 1)


def place_tenths(kp):
    """Puts the tenths 0.1-0.4 and 0.6-0.9 at even angles about the pivot
    between start and middle and between middle and end, the radius going
    linearly between theirs.

    Regressed tenths are several pixels off along the scale, a percent of
    the span; the ends and the middle after refinement are about a pixel
    off, and even steps of angle hold for a linear scale and, within a few
    hundredths of the span, under the tilt of a photographed dial. A scale
    turns one way: where the two halves turn opposite ways, the three points
    are not a scale's, and the regressed tenths stay.
    kp [N, 14, 2, A]; returns kp with the tenths replaced.
    """
    c = kp[:, PIVOT]

    def arc(a, b):
        u = kp[:, a] - c
        turn, ru, rv = signed_turn(u, kp[:, b] - c)
        unit = u / torch.clamp(ru, min=1e-12).unsqueeze(1)
        points = []
        for k in range(1, 5):
            t = k / 5.0
            points.append(c + (ru + t * (rv - ru)).unsqueeze(1) * rotate(unit, t * turn))
        return torch.stack(points, 1), turn

    first, turn1 = arc(START, MIDDLE)
    second, turn2 = arc(MIDDLE, END)
    placed = torch.cat([first, kp[:, MIDDLE:MIDDLE + 1], second], 1)           # [N, 9, 2, A]
    one_way = (turn1 * turn2 > 0).view(kp.shape[0], 1, 1, -1)
    return torch.cat([kp[:, :5], torch.where(one_way, placed, kp[:, 5:])], 1)


def half_angle(s, c):
    """atan2(s, c) / 2 modulo pi, from ONNX operators (ONNX has no Atan2).

    The needle's axis is known only modulo pi, so it is learnt as the vector
    (cos 2a, sin 2a). tan(phi/2) = s / (r + c) = (r - c) / s with r = |(c, s)|;
    each branch is used where its denominator stays away from zero, and
    pi/2 - atan(s / (r - c)) is the same axis as atan((r - c) / s).
    """
    r = torch.sqrt(c * c + s * s)
    a = torch.atan(s / torch.clamp(r + c, min=1e-12))
    b = math.pi / 2 - torch.atan(s / torch.clamp(r - c, min=1e-12))
    return torch.where(c >= 0, a, b)


def sample_grey(images, grid):
    """Bilinear grid_sample (align_corners=False) that is the letterbox's grey,
    not black, outside the picture."""
    return F.grid_sample(images - GREY, grid, mode="bilinear", padding_mode="zeros", align_corners=False) + GREY


def best_column(out):
    """The best candidate [N, values] of a decoded table [N, values, A]."""
    n = out.shape[0]
    return torch.gather(out, 2, out[:, 4].argmax(1).view(n, 1, 1).expand(n, out.shape[1], 1))[:, :, 0]


def turn_of(kp):
    """How far [N], in radians, the scale of key points [N, 14, >= 2] turns
    about the pivot from start through middle to end."""
    kp = kp[:, :, :2]
    pivot = kp[:, PIVOT]
    first, _, _ = signed_turn(kp[:, START] - pivot, kp[:, MIDDLE] - pivot)
    second, _, _ = signed_turn(kp[:, MIDDLE] - pivot, kp[:, END] - pivot)
    return first + second


def crop_edges(cx, cy, side, size):
    """A square crop about (cx, cy), side [N] input pixels wide, at size
    pixels: where its first pixel centre lies in the picture (fx, fy), its
    top-left corner (x0, y0) and the spacing of its samples. Table
    coordinates put pixel centres at whole numbers."""
    x0, y0 = cx + 0.5 - side / 2, cy + 0.5 - side / 2
    step = side / size
    return x0 + 0.5 * step - 0.5, y0 + 0.5 * step - 0.5, x0, y0, step


def crop_to_input(close, fx, fy, step):
    """A table of a crop's candidates [N, values, A] in input pixels, the
    crop's first pixel centre at (fx, fy) and its samples step apart."""
    n, rows = close.shape[0], close.shape[1]
    xs = X_ROWS if rows == POSE_VALUES else [0]
    ys = Y_ROWS if rows == POSE_VALUES else [1]
    gain, shift = torch.ones(1, rows, 1).repeat(n, 1, 1), torch.zeros(1, rows, 1).repeat(n, 1, 1)
    gain[:, xs + ys + [2, 3]] = step.view(n, 1, 1)
    shift[:, xs], shift[:, ys] = fx.view(n, 1, 1), fy.view(n, 1, 1)
    return close * gain + shift


class CoarseToFine(nn.Module):
    """What export.py writes: [1, 3, FRAME_SIZE, FRAME_SIZE] in, net's table
    [1, values, cells] out, in input pixels.

    The finder's best dial on the pooled view places the crop that net
    reads. A dial model's table goes on with the finder's candidates outside
    the crop, as dials without key points, so that a second dial anywhere in
    the frame is still refused. The crop's scores are scaled so that its
    best is the geometric mean of the finder's best and its own: the dial
    network, which sees the scale's marks and numerals, can overrule a
    finder that took a ring or a clock-like shape for a dial (it learns
    from such decoys, train.py), while a dial both see keeps the finder's
    strength. Without confirm the finder alone decides.

    The engine cuts the needle box's centre, and nothing else it reads, to
    whole input pixels. That moves the needle's axis by up to a pixel (half a
    pixel up and left on average) against the scale points, about 0.2% of
    the span on a mid-sized dial. With round_needle the needle model writes
    its centre half a pixel on, so the cut rounds to the nearest pixel.
    Training and validation read the true centre."""

    def __init__(self, finder, net, round_needle=False):
        super().__init__()
        if finder.task != "finder" or net.task == "finder":
            raise ValueError("CoarseToFine takes a finder and a dial or needle network")
        self.finder, self.net = finder, net
        self.round = round_needle and net.task == "needle"

    def found(self, pooled):
        """The finder's table [N, 5, A] of the pooled view, in input pixels."""
        out = self.finder.decode(self.finder(pooled))
        gain = torch.tensor([POOL, POOL, POOL, POOL, 1.0]).view(1, 5, 1)
        shift = torch.tensor([(POOL - 1) / 2.0] * 2 + [0.0] * 3).view(1, 5, 1)
        return out * gain + shift

    def crop(self, images, best):
        """The crop [N, 3, S, S] about the dials best [N, >= 4] (cx, cy, w, h in
        input pixels) and its place: its first pixel centre, its top-left
        corner, side and step."""
        side = (torch.maximum(best[:, 2], best[:, 3]) * CROP_MARGIN).clamp(min=STRIDE)
        size = self.net.size
        fx, fy, x0, y0, step = crop_edges(best[:, 0], best[:, 1], side, size)
        crop = CropResize.apply(images, fx, fy, fx + (size - 1) * step, fy + (size - 1) * step, size)
        return crop, fx, fy, x0, y0, side, step

    def forward(self, images):
        pooled = F.avg_pool2d(images, POOL)
        found = self.found(pooled)
        best = best_column(found)
        crop, fx, fy, x0, y0, side, step = self.crop(images, best)
        close = crop_to_input(self.net.decode(self.net(crop)), fx, fy, step)
        if self.net.task == "needle":
            if self.round:
                close = close + torch.tensor([0.5, 0.5, 0.0, 0.0, 0.0, 0.0]).view(1, 6, 1)
            return close
        n = close.shape[0]
        own = close[:, 4].amax(1).clamp(min=1e-6)
        ratio = (best[:, 4] / own).sqrt() if RULES["confirm"] else best[:, 4] / own
        rescore = torch.ones(1, POSE_VALUES, 1).repeat(n, 1, 1)
        rescore[:, 4] = ratio.view(n, 1)
        inside = ((found[:, 0] > x0.view(n, 1)) & (found[:, 0] < (x0 + side).view(n, 1))
                  & (found[:, 1] > y0.view(n, 1)) & (found[:, 1] < (y0 + side).view(n, 1)))
        outside = torch.cat([found[:, :4], found[:, 4:5] * (~inside).float().unsqueeze(1),
                             torch.zeros(n, POSE_VALUES - 5, found.shape[2])], 1)
        return torch.cat([close * rescore, outside], 2)


class CropResize(torch.autograd.Function):
    """Bilinear samples [N, 3, s, s] of images [N, 3, L, L], from the point
    (fx, fy) to (lx, ly) in input pixels (centres at integers), grey outside.
    Written to ONNX as a Resize with tf_crop_and_resize, which ONNX Runtime
    runs separably; a GridSample of the same crop took several milliseconds."""

    @staticmethod
    def forward(ctx, images, fx, fy, lx, ly, s):
        n, _, _, size = images.shape
        t = torch.linspace(0, 1, int(s))
        gx = fx.view(n, 1) + t.view(1, -1) * (lx - fx).view(n, 1)
        gy = fy.view(n, 1) + t.view(1, -1) * (ly - fy).view(n, 1)
        nx, ny = (gx + 0.5) / size * 2 - 1, (gy + 0.5) / size * 2 - 1
        grid = torch.stack([nx.view(n, 1, s).expand(n, s, s), ny.view(n, s, 1).expand(n, s, s)], 3)
        return sample_grey(images, grid)

    @staticmethod
    def symbolic(g, images, fx, fy, lx, ly, s):
        # ONNX Runtime hands the input back unchanged from a Resize to the
        # input's own size, crop or not: resize to one sample more, with the
        # same spacing, and drop the last row and column.
        size = images.type().sizes()[-1]
        zero = g.op("Constant", value_t=torch.zeros(1))
        one = g.op("Constant", value_t=torch.ones(1))
        last = g.op("Constant", value_t=torch.tensor([float(size - 1)]))
        flat = g.op("Constant", value_t=torch.tensor([1]))
        more = g.op("Constant", value_t=torch.tensor([s / (s - 1.0)]))

        def norm(v):
            return g.op("Div", g.op("Reshape", v, flat), last)

        def beyond(first, v):
            return g.op("Add", norm(first), g.op("Mul", g.op("Sub", norm(v), norm(first)), more))

        roi = g.op("Concat", zero, zero, norm(fy), norm(fx), one, one, beyond(fy, ly), beyond(fx, lx), axis_i=0)
        sizes = g.op("Constant", value_t=torch.tensor([1, 3, s + 1, s + 1], dtype=torch.int64))
        empty = g.op("Constant", value_t=torch.tensor([], dtype=torch.float32))
        wide = g.op("Resize", images, roi, empty, sizes, coordinate_transformation_mode_s="tf_crop_and_resize",
                    mode_s="linear", extrapolation_value_f=GREY)
        return g.op("Slice", wide, g.op("Constant", value_t=torch.tensor([0, 0])),
                    g.op("Constant", value_t=torch.tensor([s, s])), g.op("Constant", value_t=torch.tensor([2, 3])))


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


if __name__ == "__main__":
    for task in TASKS:
        net = Net(task)
        params = sum(p.numel() for p in net.parameters())
        print("%s: %.2f M parameters, %.2f GMAC at %d" % (task, params / 1e6, count_macs(net) / 1e9, net.size))
