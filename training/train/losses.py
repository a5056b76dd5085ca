"""The targets each network learns and the losses that drive it there."""
import torch
import torch.nn.functional as F

from .. import model as M


# Width of a scale mark's peak in the mark map, in grid cells.
MARK_SIGMA = 0.8


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
