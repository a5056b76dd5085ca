"""What the exported graphs add to the networks of model.py: the decoding
of a head map into the engine's table, the graph rules, and the crop that
joins the finder to the dial or needle network (CoarseToFine).

No weights depend on it: training reads it only to report on its
validation set, and the decoy search (decoys.py) only for the finder's
boxes, with the echo rule off, which no rule or constant here changes. So
a training run's recipe leaves it out: a change here exports the same
weights again, and training.ablate can measure a rule without
retraining.
"""
import math

import torch
import torch.nn as nn
import torch.nn.functional as F

from . import contract
from .model import (CROP_MARGIN, DIRECTION, END, GREY, MARK, MIDDLE, NUM_KP, OWN_HEAT, PIVOT, POOL, POSE_VALUES,
                   REFINED_KP, SCALE_KP, START, STRIDE, TURNED_KP, cell_value, signed_turn)

# exp() of more than this would only mean a diverged head; keeps the export finite.
MAX_LOG_SIZE = 7.0
# Refinement of the scale points: a search window of this share of the
# local mark spacing around the seed (the ends' and the middle's), chosen on
# a validation set (seed 3).
WINDOW = 0.8
MIDDLE_WINDOW = 0.5
# The direction network's logit above which it turns the scale the dial
# network ordered. At 0 (following it wherever it leans) the turn cost the
# rendered validation sets and earned nothing on the real photos; at 1 it
# gained about 2 standard errors on each rendered set, read the real photos
# as well, and had fewer readings off by over 10 % on every set
# (training/README.md).
TURN_LOGIT = 1.0
# A finder candidate under the engine's dial threshold is never read as a
# second dial, so it needs no second look.
ENGINE_DIAL_SCORE = contract.DIAL_SCORE

# The rows of a decoded dial table that hold x and y coordinates: the box's
# centre and the key points.
X_ROWS = [0] + [5 + 3 * k for k in range(NUM_KP)]
Y_ROWS = [1] + [6 + 3 * k for k in range(NUM_KP)]
# A dial table's rows with its scale turned round.
TURNED_ROWS = list(range(5)) + [5 + 3 * k + v for k in TURNED_KP for v in range(3)]

# The rules the exported graphs apply after the networks, by name. Each can
# be switched off, so that training.ablate can measure on the validation
# sets what it is worth, and a test can show a case that needs it.
#   echo     a candidate far weaker than the best is its echo (decode)
#   refine   the scale's ends and middle move onto the mark map (refine_scale)
#   tenths   the tenths placed by angle between start, middle and end
#   confirm  the crop's look confirms the finder's dial (CoarseToFine)
#   recheck  the dial network looks at the strongest candidate outside the crop too
#   direction  the direction network orders the best dial's scale (CoarseToFine.order_scale)
# A rule stays where leaving it out loses at least two standard errors on a
# validation set.
RULES = dict.fromkeys(("echo", "refine", "tenths", "confirm", "recheck", "direction"), True)
# The rules' hand-set constants, which export --set and ablate can
# change to measure what a value is worth.
CONSTANTS = ("WINDOW", "MIDDLE_WINDOW", "TURN_LOGIT")


def decode(net, raw):
    """The table [N, values, cells] the engine reads, in input pixels, of net's head map [N, C, G, G]."""
    n, g = raw.shape[0], raw.shape[3]
    r = raw.reshape(n, raw.shape[1], g * g)
    cells = net.cells
    score = torch.sigmoid(r[:, 0:1])
    centre = (cells + r[:, 1:3]) * STRIDE
    size = torch.exp(torch.clamp(r[:, 3:5], max=MAX_LOG_SIZE)) * STRIDE
    if net.task != "needle":
        # The engine refuses a picture with two dials. A candidate far weaker
        # than the picture's best is that dial's echo (its needle tip, the
        # face's centre on a sector dial), not a second dial: scaling by
        # score / best keeps the best as it is and sinks its echoes
        # under the engine's threshold, while two real dials of similar
        # strength both stay.
        if RULES["echo"]:
            best = score.amax(2, keepdim=True).clamp(min=1e-6)
            score = score * (score / best)
        if net.task == "finder":
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


def refine_scale(kp, score, heat, mark_pos):
    """Moves the scale's ends and middle, on the strongest candidate (the one the engine reads), onto the marks.

    A point regressed from the dial's centre cell is good to a few degrees of
    the scale; the mark map is local and sub-cell exact. Each end takes the
    cell of highest own heat inside a window scaled by the spacing to its
    neighbour on the scale, then that cell's offset to the mark; where the
    window holds no heat at all it stays. The middle is sought last, about the
    point halfway in angle between the refined ends: that is within a
    fraction of a spacing of the middle mark even on a tilted dial, while the
    regressed middle is the least sure of the three points and from there a
    window wide enough to reach the mark often reaches its neighbour too.
    kp [N, 14, 2, A], score [N, A], heat [N, R, A] (R = len(REFINED_KP)),
    mark_pos [N, 2, A]; returns kp with the moves.
    """
    n, _, _, a = kp.shape
    k = 1
    top = score.topk(k, dim=1).indices                                         # [N, K]
    coarse = torch.gather(kp, 3, top.view(n, 1, 1, k).expand(n, kp.shape[1], 2, k))   # [N, 14, 2, K]
    scale_kp = coarse[:, list(SCALE_KP)]                                       # [N, 11, 2, K]
    seg = torch.sqrt(((scale_kp[:, 1:] - scale_kp[:, :-1]) ** 2).sum(2))      # [N, 10, K]
    spacing = torch.minimum(torch.cat([seg[:, :1], seg], 1), torch.cat([seg, seg[:, -1:]], 1))

    def snap(point, seed, share):
        """seed [N, 2, K] moved onto the mark of point's own heat, or kept
        where the window holds none."""
        row = REFINED_KP.index(point)
        space = spacing[:, SCALE_KP.index(point)]                              # [N, K]
        sigma = (share * space).clamp(min=1.0).unsqueeze(2)                    # [N, K, 1]
        d2 = ((mark_pos.view(n, 2, 1, a) - seed.unsqueeze(3)) ** 2).sum(1)     # [N, K, A]
        windowed = heat[:, row].view(n, 1, a) * torch.exp(-d2 / (2 * sigma * sigma))   # [N, K, A]
        best, cell = windowed.max(2)                                           # [N, K]
        found = torch.gather(mark_pos, 2, cell.view(n, 1, k).expand(n, 2, k))  # [N, 2, K]
        return torch.where((best > 0).unsqueeze(1), found, seed)

    moved = {}
    for point in (START, END):
        moved[point] = snap(point, coarse[:, point], WINDOW)
    # The regressed middle says which way round the scale runs; where it lies
    # on neither side of the ends, it stays.
    pivot, middle = coarse[:, PIVOT], coarse[:, MIDDLE]
    turn1, r_start, _ = signed_turn(moved[START] - pivot, middle - pivot)
    turn2, _, r_end = signed_turn(middle - pivot, moved[END] - pivot)
    stretch = (r_start + r_end).unsqueeze(1) / (2 * r_start.clamp(min=1e-12).unsqueeze(1))
    halfway = pivot + rotate(moved[START] - pivot, (turn1 + turn2) / 2) * stretch
    seed = torch.where((turn1 * turn2 > 0).unsqueeze(1), halfway, middle)
    moved[MIDDLE] = snap(MIDDLE, seed, MIDDLE_WINDOW)

    # Back to the table: the other candidates, and the other points, do not move.
    onehot = (torch.arange(a, device=kp.device).view(1, 1, a) == top.unsqueeze(2)).float()  # [N, K, A]
    still = torch.zeros_like(coarse[:, 0])
    delta = torch.stack([moved[i] - coarse[:, i] if i in moved else still for i in range(kp.shape[1])], 1)
    return kp + torch.matmul(delta.reshape(n, -1, k), onehot).view(kp.shape)


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


def crop_edges(cx, cy, side, size):
    """A square crop about (cx, cy), side [N] input pixels wide, at size
    pixels: where its first pixel centre lies in the picture (fx, fy), its
    top-left corner (x0, y0) and the spacing of its samples. Table
    coordinates put pixel centres at whole numbers."""
    x0, y0 = cx + 0.5 - side / 2, cy + 0.5 - side / 2
    step = side / size
    return x0 + 0.5 * step - 0.5, y0 + 0.5 * step - 0.5, x0, y0, step


def crop_side(box):
    """The side in input pixels of the crop about the dials box [N, >= 4]."""
    return (torch.maximum(box[:, 2], box[:, 3]) * CROP_MARGIN).clamp(min=STRIDE)


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
    from such decoys, training.train), while a dial both see keeps the finder's
    strength. Without confirm the finder alone decides. With recheck the
    strongest candidate outside the crop gets the same second look.

    The engine cuts the needle box's centre, and nothing else it reads, to
    whole input pixels. That moves the needle's axis by up to a pixel (half a
    pixel up and left on average) against the scale points, about 0.2% of
    the span on a mid-sized dial. With round_needle the needle model writes
    its centre half a pixel on, so the cut rounds to the nearest pixel.
    Training and validation read the true centre."""

    def __init__(self, finder, net, round_needle=False, direction=None):
        super().__init__()
        if finder.task != "finder" or net.task == "finder":
            raise ValueError("CoarseToFine takes a finder and a dial or needle network")
        if direction is not None and net.task != "pose":
            raise ValueError("only a dial graph orders a scale")
        self.finder, self.net, self.direction = finder, net, direction
        self.round = round_needle and net.task == "needle"

    def found(self, pooled):
        """The finder's table [N, 5, A] of the pooled view, in input pixels."""
        out = decode(self.finder, self.finder(pooled))
        gain = torch.tensor([POOL, POOL, POOL, POOL, 1.0]).view(1, 5, 1)
        shift = torch.tensor([(POOL - 1) / 2.0] * 2 + [0.0] * 3).view(1, 5, 1)
        return out * gain + shift

    def crop(self, images, best):
        """The crop [N, 3, S, S] about the dials best [N, >= 4] (cx, cy, w, h in
        input pixels) and its place: its first pixel centre and its step."""
        size = self.net.size
        fx, fy, _, _, step = crop_edges(best[:, 0], best[:, 1], crop_side(best), size)
        crop = CropResize.apply(images, fx, fy, fx + (size - 1) * step, fy + (size - 1) * step, size)
        return crop, fx, fy, step

    def covered(self, found, box):
        """Which candidates of the table found [N, >= 2, A] have their centre
        in the crop about box [N, >= 4]."""
        n, side = found.shape[0], crop_side(box)
        _, _, x0, y0, _ = crop_edges(box[:, 0], box[:, 1], side, self.net.size)
        x0, y0, x1, y1 = x0.view(n, 1), y0.view(n, 1), (x0 + side).view(n, 1), (y0 + side).view(n, 1)
        return (found[:, 0] > x0) & (found[:, 0] < x1) & (found[:, 1] > y0) & (found[:, 1] < y1)

    def outside(self, found, box):
        """found's scores [N, A], 0 for its candidates in the crop about box."""
        return found[:, 4] * (~self.covered(found, box)).float()

    def order_scale(self, images, close):
        """close, a dial table [1, values, A] in input pixels, with every
        candidate's scale turned round where the direction network finds the
        best one's start to be the maximum's end. It reads each end on the
        full-resolution input, where the dial network's crop shrinks the
        numerals of a dial that fills the picture."""
        best = best_column(close)[:, 5:].reshape(-1, NUM_KP, 3)
        side = self.direction.side_of(best[:, PIVOT, :2], best[:, START, :2], best[:, END, :2])
        size = self.direction.size
        ends = []
        for k in (START, END):
            fx, fy, _, _, step = crop_edges(best[:, k, 0], best[:, k, 1], side, size)
            last = (size - 1) * step
            ends.append(CropResize.apply(images, fx, fy, fx + last, fy + last, size))
        # Kept for export's check, which needs the logit clear of TURN_LOGIT.
        self.turn_logit = self.direction(*ends)
        return torch.where((self.turn_logit > TURN_LOGIT).view(-1, 1, 1), close[:, TURNED_ROWS], close)

    def turns(self):
        """Whether the graph lets the direction network turn the scale (and so computes turn_logit)."""
        return self.direction is not None and RULES["direction"]

    def forward(self, images):
        pooled = F.avg_pool2d(images, POOL)
        found = self.found(pooled)
        best = best_column(found)
        crop, fx, fy, step = self.crop(images, best)
        if self.net.task == "needle":
            close = crop_to_input(decode(self.net, self.net(crop)), fx, fy, step)
            if self.round:
                close = close + torch.tensor([0.5, 0.5, 0.0, 0.0, 0.0, 0.0]).view(1, 6, 1)
            return close
        outer = self.outside(found, best)
        if not RULES["recheck"]:
            close = decode(self.net, self.net(crop))
        else:
            # The strongest candidate outside the crop would make the engine
            # refuse the picture. Where it is strong enough for that, the
            # dial network reads a crop about it in the same pass, and that
            # candidate, with the finder's others in its crop, is scaled as
            # the crop's own are: a ring or lettering the finder took for a
            # second dial sinks, a second gauge stays. Where it is weaker, the
            # pass reads the one crop and costs nothing more.
            if images.shape[0] != 1:
                raise ValueError("recheck reads one picture at a time")
            other = best_column(torch.cat([found[:, :4], outer.unsqueeze(1)], 1))
            crop2 = self.crop(images, other)[0]
            keep = torch.cat([torch.ones(1, dtype=torch.bool), other[:, 4] > ENGINE_DIAL_SCORE])
            both = decode(self.net, self.net(torch.cat([crop, crop2]).index_select(0, torch.nonzero(keep)[:, 0])))
            close = both[:1].reshape(1, POSE_VALUES, self.net.grid ** 2)
            seen = torch.cat([both[1:, 4].amax(1), other[:, 4]])[:1]   # the second look's best, or its own
            lift = seen / other[:, 4].clamp(min=1e-6)
            lift = lift.sqrt() if RULES["confirm"] else lift
            outer = outer * torch.where(self.covered(found, other), lift.view(1, 1), torch.ones(1, 1))
        close = crop_to_input(close, fx, fy, step)
        if self.turns():
            close = self.order_scale(images, close)
        n = close.shape[0]
        own = close[:, 4].amax(1).clamp(min=1e-6)
        ratio = (best[:, 4] / own).sqrt() if RULES["confirm"] else best[:, 4] / own
        rescore = torch.ones(1, POSE_VALUES, 1).repeat(n, 1, 1)
        rescore[:, 4] = ratio.view(n, 1)
        outside = torch.cat([found[:, :4], outer.unsqueeze(1), torch.zeros(n, POSE_VALUES - 5, found.shape[2])], 1)
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
