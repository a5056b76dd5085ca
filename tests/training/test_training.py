"""What the networks learn is what the engine will read: the head map that
zeroes the regression losses decodes, through the engine's geometry
(training.engine), to the stored reading, plain and augmented.

  PYTHONPATH=. /usr/bin/python3 tests/training/test_training.py    # from the repository's root
"""
import json
import math
import os
import subprocess
import tempfile
import unittest
from unittest import mock

import numpy as np
import onnx
import torch

from training import candidate, engine, export, quantise, real_needles, real_points, render
from training import contract
from training import direction as DIR
from training import graph as G
from training import model as M
from training.train import data as D
from training.train import losses as L


# Of the span: how far tenths placed by angle may read from the labelled ones
# on a dial tilted by up to 30 degrees.
PLACED_TOLERANCE = 0.02
SAMPLE_SIZE = 320


def logit(p):
    return torch.logit(p.clamp(1e-6, 1 - 1e-6))


def ideal_raw(net, box, kp, needle):
    """The head map the training losses drive towards, for one sample (arrays or tensors)."""
    box, kp, needle = (v if v is None else torch.as_tensor(v) for v in (box, kp, needle))
    cells, s = net.cells[0], M.STRIDE                           # [2, A] grid units
    raw = torch.zeros(net.head[-1].out_channels, cells.shape[1])
    box = box[0, :4] if net.task == "finder" else box           # the first gauge's row
    centre, size = (needle[:2], needle[2:4]) if net.task == "needle" else (box[:2], box[2:4])
    raw[0] = logit(L.heat_target(cells.unsqueeze(0), centre.unsqueeze(0), size[:1], s)[0])
    raw[1:3] = centre.unsqueeze(1) / s - cells
    raw[3:5] = torch.log(size / s).unsqueeze(1)
    if net.task == "pose":
        # Learnt the clockwise way round; the minimum's logit is high about the labelled start alone.
        near = (cells * s - kp[M.START, :2].unsqueeze(1)).abs().max(0).values < 1.5 * s
        raw[M.DIRECTION] = torch.where(near, 10.0, -10.0)
        kp = kp[list(M.TURNED_KP)] if bool(M.turn_of(kp[None]) < 0) else kp
        off = (kp[:, :2].unsqueeze(2) - cells.unsqueeze(0) * s) / size.mean()
        raw[5:5 + 2 * M.NUM_KP] = off.reshape(2 * M.NUM_KP, -1)
        raw[5 + 2 * M.NUM_KP:M.MARK] = 10.0
        mark, nearest, own = L.mark_target(cells.unsqueeze(0), kp.unsqueeze(0), s)
        raw[M.MARK] = logit(mark[0])
        raw[M.MARK + 1:M.MARK + 3] = nearest[0] - cells
        raw[M.OWN_HEAT:M.DIRECTION] = logit(own[0])
    elif net.task == "needle":
        raw[5:7] = torch.tensor([math.cos(2 * float(needle[4])), math.sin(2 * float(needle[4]))]).unsqueeze(1)
    return raw.reshape(1, -1, net.grid, net.grid)


def blind(raw):
    """raw with no dial anywhere."""
    out = raw.clone()
    out[:, 0] = -12.0
    return out


def dials(out):
    """How many dials the engine takes from a graph's output [1, C, A]."""
    return engine.count_dials(out[0].T.numpy())


class Conventions(unittest.TestCase):
    def check(self, img, lab, rng):
        _, box, kp, needle = D.prepare(img, lab, self.pose.size, rng, "pose" if rng is None else "needle")
        # The box's ends are the tip and tail key points, in either order, through every crop and flip
        # (the letterbox scales x and y a hair apart: 0.1 px at most).
        ends = needle[:2] + np.outer([0.5, -0.5], needle[2] * np.array([math.cos(needle[4]), math.sin(needle[4])]))
        self.assertLess(min(abs(ends - kp[1:3, :2]).max(), abs(ends[::-1] - kp[1:3, :2]).max()), 0.2)
        box, kp, needle = map(torch.from_numpy, (box, kp, needle))
        nets = (self.pose, self.needle)
        raws = [ideal_raw(net, box, kp, needle) for net in nets]
        for net, raw in zip(nets, raws):       # at the ideal point every regression term vanishes
            for name, value in L.compute_loss(net, raw, box[None], kp[None], needle[None])[1].items():
                if name not in ("score", "conf"):
                    self.assertLess(float(value), 1e-3, "%s loss %s" % (net.task, name))
        dial, pointer = (G.decode(net, raw)[0].T.numpy() for net, raw in zip(nets, raws))
        d, p = (table[np.argmax(table[:, 4])] for table in (dial, pointer))
        self.assertEqual(engine.count_dials(dial), 1)
        np.testing.assert_allclose(d[:4], box.numpy(), atol=1e-2)
        # The tenths come out placed by angle between start, middle and end.
        placed = G.place_tenths(kp[None, :, :2, None])[0, :, :, 0].numpy()
        np.testing.assert_allclose(d[5:].reshape(-1, 3)[:, :2], placed, atol=1e-2)
        self.assertGreater(p[2], p[3], "w must be the needle's long side")
        np.testing.assert_allclose(p[:4], needle[:4].numpy(), atol=1e-2)
        needle_row = dict(zip(("cx", "cy", "w", "h", "angle"), p[[0, 1, 2, 3, 5]].tolist()))
        value, xs = engine.read_label({"dial_box": d[:4].tolist(), "keypoints": d[5:].reshape(-1, 3).tolist(),
                                       "needles": [needle_row]})
        # A needle resting on an end mark may pass it by a hair (the letterbox scales x and y a little apart),
        # where the engine reads that end too; elsewhere the line must meet the scale.
        if lab["reading"] not in (0.0, 1.0):
            self.assertTrue(xs, "the pointer line must meet the scale: %s" % lab.get("image", ""))
        self.assertLess(abs(value - lab["reading"]), PLACED_TOLERANCE)   # tilt bends even angles a little

    def test_samples_decode_to_their_reading_plain_and_augmented(self):
        self.pose, self.needle = M.Net("pose", SAMPLE_SIZE), M.Net("needle", SAMPLE_SIZE)
        samples = [render.render_sample(31, i, 640)[:2] for i in range(12)]
        self.assertIn(False, [lab["clockwise"] for _, lab in samples], "a scale must run counter-clockwise")
        with mock.patch.multiple(D, CROP_P=1.0, FILE_PAD_P=0.5), mock.patch.dict(D.FLIP_P, needle=0.5):
            for i, (img, lab) in enumerate(samples):
                for rng in [None] + [np.random.default_rng([i, k]) for k in range(4)]:
                    self.check(img, lab, rng)

    def test_a_weak_echo_sinks_and_a_second_dial_as_strong_stays(self):
        # A one-cell candidate far from the dial's centre (at its needle tip), above the engine's threshold:
        # "echo" sinks it, but keeps a second dial nearly as sure as the first.
        pose = M.Net("pose", SAMPLE_SIZE)
        _, box, kp, needle = map(torch.from_numpy, D.prepare(*render.render_sample(31, 0, 640)[:2], pose.size))
        raw = ideal_raw(pose, box, kp, needle).reshape(1, -1, pose.grid ** 2)
        far = int(((pose.cells[0] * M.STRIDE - box[:2, None]) ** 2).sum(0).argmax())
        raw[0, 3:5, far] = 0.0                      # a box of one cell
        for echo, score, want in ((True, 0.35, 1), (True, 0.8, 2), (False, 0.35, 2)):
            raw[0, 0, far] = math.log(score / (1 - score))
            with mock.patch.dict(G.RULES, echo=echo):
                self.assertEqual(dials(G.decode(pose, raw.reshape(1, -1, pose.grid, pose.grid))), want, score)


class Answering:
    """A network answering every picture with a fixed head map (the second of a batch with other, if given)."""

    def __init__(self, net, raw, other=None):
        self.raw, self.other = raw, raw if other is None else other
        self.task, self.size, self.grid, self.cells = net.task, net.size, net.grid, net.cells

    def __call__(self, images):
        return torch.cat([self.raw, self.other])[:images.shape[0]]


def two_dial_frames():
    """Frames with two gauges whose crops leave the other's centre out: one
    whose crop samples the input closer than its pixels, one sparser."""
    found = {}
    for i in range(200):
        img, lab, _ = render.render_frame(61, i, gauges=2)
        box, other = (D.prepare(img, part, M.FRAME_SIZE)[1] for part in (lab, lab["second"]))
        side = max(box[2], box[3]) * M.CROP_MARGIN
        if np.all(np.abs(other[:2] - box[:2]) > side / 2):
            found.setdefault(side / M.FINE_SIZE > 1, (img, lab))
        if len(found) == 2:
            return [found[False], found[True]]
    raise AssertionError("no two-dial frames of both kinds")


def one_dial_frame():
    """A frame of one gauge, its prepared sample and the graph's input."""
    img, lab, _ = render.render_frame(61, 0, gauges=1)
    frame = D.prepare(img, lab, M.FRAME_SIZE)
    return img, lab, frame, D.to_tensor(frame[0]).unsqueeze(0)


class CoarseToFine(unittest.TestCase):
    def test_the_crop_comes_back_to_the_frame_and_the_second_dial_stays(self):
        # Networks answering with the ideal maps (the finder's for both dials, the fine ones' for the crop
        # as training cuts it) give the first dial's labels back in input pixels and keep the second dial
        # as a candidate: a slip between pooled, crop and input pixels, or a lost second dial, fails.
        finder, pose, needle = M.Net("finder"), M.Net("pose"), M.Net("needle")
        for img, lab in two_dial_frames():
            frame = D.prepare(img, lab, M.FRAME_SIZE)
            raws = [ideal_raw(finder, *D.prepare_view(img, part, "finder")[1:]) for part in (lab, lab["second"])]
            raws[1][:, 0] -= 2.0          # the first dial is the finder's best, the second nearly as sure
            found = Answering(finder, torch.where((raws[0][:, 0] >= raws[1][:, 0]).unsqueeze(1), raws[0], raws[1]))
            view, *crop = D.prepare_view(img, lab, "pose")
            seeing = ideal_raw(pose, *crop)
            x = D.to_tensor(frame[0]).unsqueeze(0)
            with torch.no_grad():
                dial = G.CoarseToFine(found, Answering(pose, seeing))(x)
                pointer = G.CoarseToFine(found, Answering(needle, ideal_raw(needle, *crop)), True)(x)
                cut = G.CoarseToFine(finder, pose).crop(x, torch.from_numpy(frame[1]).unsqueeze(0))[0]
            # Training's crop and the graph's, sampled closer and sparser than the input's pixels, match
            # up to OpenCV's rounding; half a pixel off moves them all.
            diff = (cut - D.to_tensor(view)).abs()
            self.assertLess(float(diff.max()), 8 / 255)
            self.assertLess(float(diff.mean()), 0.5 / 255)
            self.assertEqual(dials(dial), 2)
            # The crop's candidates come first; the second dial's is as strong.
            best = G.best_column(dial[:, :, :pose.grid ** 2])[0].numpy()
            _, box, kp, line = frame
            np.testing.assert_allclose(best[:4], box, rtol=1e-3, atol=0.05)
            placed = G.place_tenths(torch.from_numpy(kp)[None, :, :2, None])[0, :, :, 0].numpy()
            np.testing.assert_allclose(best[5:].reshape(-1, 3)[:, :2], placed, atol=0.1)
            got = G.best_column(pointer)[0].numpy()
            np.testing.assert_allclose(got[[0, 1, 2, 3]], line[:4] + [0.5, 0.5, 0, 0], rtol=1e-3, atol=0.05)
            self.assertAlmostEqual(float(got[5]) % math.pi, float(line[4]) % math.pi, places=3)
            # A dial network seeing no dial in a crop overrules the finder there: in the best dial's crop
            # ("confirm") and about the strongest candidate outside it ("recheck"); a dial it sees stays.
            for rule, first, second in (("confirm", blind(seeing), seeing), ("recheck", seeing, blind(seeing))):
                for on, want in ((True, 1), (False, 2)):
                    with mock.patch.dict(G.RULES, {rule: on}), torch.no_grad():
                        self.assertEqual(dials(G.CoarseToFine(found, Answering(pose, first, second))(x)), want,
                                         (rule, on))

    def test_the_graph_reads_the_ends_training_cuts_and_turns_the_best_dials_scale_by_them(self):
        # The direction network sees the crops training cuts about the best candidate's start, then its
        # end (half a pixel off, or swapped, fails); where it calls the start the maximum the scale turns
        # round (ends swapped, tenths reversed, each point with its own confidence), else stays.
        img, lab, (_, box, kp, _), x = one_dial_frame()
        table = torch.rand(1, M.POSE_VALUES, 3) * 100
        table[0, 4] = torch.tensor([0.3, 0.9, 0.5])
        table[0, 5:, 1] = torch.from_numpy(np.concatenate([kp[:, :2], np.arange(14)[:, None] / 14.0], 1)).reshape(-1)
        windows, side, radius = DIR.end_windows(img, lab)
        want = DIR.pair(windows[None], np.array([[side, radius]]), 0, None)
        for logit in (2.0, -2.0):
            judge, seen = DIR.DirectionNet(), []        # keeps the crops it is shown and answers logit
            judge.forward = lambda a, b: seen.extend((a, b)) or torch.full((a.shape[0],), logit)
            with torch.no_grad():
                got = G.CoarseToFine(M.Net("finder"), M.Net("pose"), direction=judge).order_scale(x, table)
            self.assertEqual(len(seen), 2)
            for crop, expected in zip(seen, want):
                self.assertLess(float((crop[0] - D.to_tensor(expected)).abs().mean()), 1 / 255)
            order = list(M.TURNED_KP) if logit > 0 else list(range(M.NUM_KP))
            np.testing.assert_allclose(got[0, 5:, 1].reshape(M.NUM_KP, 3).numpy(),
                                       table[0, 5:, 1].reshape(M.NUM_KP, 3)[order].numpy())
            np.testing.assert_allclose(got[0, :5].numpy(), table[0, :5].numpy())

    def test_a_graph_without_the_direction_rule_still_exports(self):
        # Export picks its check frames by the turn's logit, which a graph without the rule (ablate's
        # variant) never computes: its frames must still be judged.
        wrapped = G.CoarseToFine(M.Net("finder"), M.Net("pose"), direction=DIR.DirectionNet()).eval()
        x = one_dial_frame()[3]
        with mock.patch.dict(G.RULES, direction=False), mock.patch.object(export, "torch", wraps=torch) as t:
            t.diff = lambda scores: -torch.ones(1)     # every table leads: the check goes on to the turn
            self.assertIn(export.clear(wrapped, x), (True, False))


class DialCount(unittest.TestCase):
    def test_a_dial_without_key_points_counts_as_the_engine_counts_it(self):
        # The tables the handler's test reads through the engine: beside a placed dial, the finder's candidate
        # (every key point zero) is a second dial from contract.UNPLACED_DIAL_SCORE on, and under it none.
        import runpy
        tables = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "fixtures", "make_fixtures.py"))["TABLES"]
        for name, want in (("dial_beside_unplaced", 2), ("dial_beside_weak_unplaced", 1)):
            self.assertEqual(engine.count_dials(np.asarray(tables[name], np.float32)), want, name)


class EmptyTargets(unittest.TestCase):
    def assert_taught_nothing_is_there(self, net, found, *targets):
        """A map finding a dial where the targets hold none costs, a blind one nothing, no term NaN."""
        loud, quiet = (L.compute_loss(net, raw, *targets)[1] for raw in (found, blind(found)))
        self.assertTrue(all(math.isfinite(float(v)) for v in (*loud.values(), *quiet.values())))
        self.assertLess(float(quiet["score"]), 1e-3)
        self.assertGreater(float(loud["score"]), 100 * float(quiet["score"]))

    def test_every_gauge_of_a_frame_is_a_finder_target_and_none_in_an_empty_one(self):
        # Both boxes go through crop, flip and letterbox alike and the loss rewards a map finding both (a
        # finder that learnt the first alone would score the second as a false dial); no gauge, no cost.
        finder = M.Net("finder")
        img, lab, _ = render.render_frame(61, 3, gauges=2)
        empty, _, _ = render.render_frame(61, 0, gauges=0)
        with mock.patch.object(D, "CROP_P", 1.0), mock.patch.dict(D.FLIP_P, finder=1.0):
            rows, first, nothing = (D.prepare_view(i, part, "finder", np.random.default_rng(5))[1]
                                    for i, part in ((img, lab), (img, dict(lab, second=lab)), (empty, {"gauges": 0})))
        rows, nothing = torch.from_numpy(rows), torch.from_numpy(nothing)[None]
        self.assertEqual(rows[:, 4].tolist(), [1.0, 1.0])
        np.testing.assert_allclose(first[1], first[0])        # both rows go through the same moves
        self.assertFalse(torch.any(nothing))
        one, other = (ideal_raw(finder, torch.stack([box, torch.zeros(5)]), None, None) for box in rows)
        both = torch.where(other[:, :1] > one[:, :1], other, one)
        losses = [L.compute_loss(finder, raw, rows[None], None, None)[1] for raw in (one, both)]
        self.assertLess(float(losses[1]["score"]), float(losses[0]["score"]) / 2)
        for name in ("centre", "size"):
            self.assertLess(float(losses[1][name]), 1e-3)
        self.assertEqual(dials(G.decode(finder, both)), 2)
        self.assert_taught_nothing_is_there(finder, one, nothing, None, None)

    def test_a_decoy_is_cropped_as_a_dial_and_teaches_only_that_none_is_there(self):
        # A decoy on the dial's own box gives the dial's crop, moves and all, with zero targets.
        pose = M.Net("pose")
        img, lab, _ = render.render_frame(61, 5, gauges=1)
        dial, decoy = views(img, "pose", 3, lab, {"gauges": 0, "decoy": lab["dial_box"]})
        np.testing.assert_array_equal(decoy[0], dial[0])
        self.assertFalse(np.any(decoy[1]) or np.any(decoy[2][:, 2]))
        self.assert_taught_nothing_is_there(pose, ideal_raw(pose, *dial[1:]), *(torch.from_numpy(v)[None] for v in decoy[1:]))


def views(img, task, seed, *labels):
    """prepare_view of img under each of labels, uncropped, each with the same moves."""
    with mock.patch.object(D, "CROP_P", 0.0):
        return [D.prepare_view(img, lab, task, np.random.default_rng(seed)) for lab in labels]


class RealNeedles(unittest.TestCase):
    def test_an_outline_gives_the_box_the_renderer_labels_at_every_angle(self):
        # minAreaRect turns its angle at the axes and may call either side the width: the box must come
        # out w along the needle all round.
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "n.txt")
            for k in range(24):
                angle = -math.pi + k * math.pi / 12
                corners = np.asarray(engine.box_corners(203.5, 198.25, 150.0, 9.0, angle)) / [416, 400]
                with open(path, "w") as fh:
                    fh.write("0 " + " ".join("%.9f" % v for v in corners.ravel()) + "\n")
                got = real_needles.needle_box(*real_needles.outlines(path, 416, 400))
                np.testing.assert_allclose([got[k] for k in "cx cy w h".split()], [203.5, 198.25, 150.0, 9.0],
                                           atol=0.01)
                turn = (got["angle"] - angle) % math.pi
                self.assertLess(min(turn, math.pi - turn), 1e-4)

    def test_a_copy_of_a_held_out_photo_is_known_in_any_flip_and_noise(self):
        self.assertEqual(real_needles.source_of("10-big-img-5_jpg.rf.87063ffe64ef1838c49da1bd8cb37bce.jpg"),
                         "10-big-img-5")
        (a, _, _), (b, _, _) = render.render_sample(41, 0, 416), render.render_sample(41, 1, 416)
        held = np.stack([real_needles.thumbnail(a)])
        rng = np.random.default_rng(5)
        # The export's versions: flipped, brighter, salt and pepper on a fifth of the pixels.
        copy = np.clip(a[::-1, ::-1].astype(np.float32) * 1.4, 0, 255).astype(np.uint8)
        salt = rng.random(copy.shape[:2]) < 0.2
        copy[salt] = rng.choice([0, 255], size=(int(salt.sum()), 1))
        self.assertTrue(real_needles.resembles([real_needles.thumbnail(copy)], held))
        self.assertFalse(real_needles.resembles([real_needles.thumbnail(b)], held))

    def test_a_cut_keeps_a_needle_that_has_no_key_points(self):
        img, lab, _ = render.render_sample(43, 2, 640)
        real = {"image": "x.jpg", "dial_box": lab["dial_box"], "needles": lab["needles"]}
        plain, full = views(img, "needle", 1, real, lab)
        for k in (0, 1, 3):    # the view, the dial box and the needle; no key points
            np.testing.assert_array_equal(plain[k], full[k])
        with mock.patch.object(D, "CROP_P", 1.0):
            for k in range(8):
                needle = D.prepare(img, real, M.FRAME_SIZE, np.random.default_rng([2, k]), "needle")[3]
                corners = np.asarray(engine.box_corners(*needle.tolist()))
                self.assertTrue(np.all((corners >= -0.5) & (corners <= M.FRAME_SIZE - 0.5)), corners)


class RealPoints(unittest.TestCase):
    def test_placed_points_read_as_the_renderer_labels_in_every_version_that_reads_right(self):
        # Four points placed on a rendered dial stand for a person's: every flipped version that reads
        # the right way round reads the labelled reading, and a mirrored one never trains.
        for mirrored in (False, True):
            right = [flip for flip in real_points.FLIPS if real_points.reads_right({"mirrored": mirrored}, flip)]
            self.assertEqual(sorted(right), ["both", "same"] if not mirrored else ["lr", "ud"])
        size, tried = 416, 0
        for index in range(40):
            img, lab, _ = render.render_sample(47, index, size)
            if lab["kind"] != "round" or lab["gamma"] != 1.0:
                continue
            tried += 1
            kp = {name: lab["keypoints"][contract.KEYPOINT_NAMES.index(name)][:2] for name in contract.KEYPOINT_NAMES}
            placed = [kp["pivot"], kp["scale_start"], kp["mark_0.5"], kp["scale_end"]]
            for flip in ("same", "both"):
                lr, ud = real_points.FLIPS[flip]
                nd = dict(lab["needles"][0])
                nd["cx"], nd["cy"] = real_points.moved((nd["cx"], nd["cy"]), flip, size, size)
                nd["angle"] = (-1 if ud else 1) * (math.pi - nd["angle"] if lr else nd["angle"])
                points = [real_points.moved(p, flip, size, size) for p in placed]
                got = real_points.keypoints(*points, nd)
                box = real_points.dial_box(got, [0, 0, 10, 10])
                value, _ = engine.read_label({"keypoints": got, "needles": [nd], "dial_box": box})
                where = "sample %d, %s" % (index, flip)
                self.assertLess(abs(value - lab["reading"]), PLACED_TOLERANCE, where)
                tip = real_points.moved(kp["needle_tip"], flip, size, size)
                self.assertLess(math.dist(got[contract.TIP][:2], tip), 0.05 * nd["w"], where)
                self.assertEqual(box[:2], [round(v, 2) for v in points[0]], where)
                turn = float(M.turn_of(torch.tensor([got], dtype=torch.float32))[0])
                self.assertEqual(turn > 0, lab["clockwise"], where)
        self.assertGreaterEqual(tried, 3)

    def test_the_placed_points_are_whole(self):
        # A hand edit that drops a point, names a version twice or puts a point off the 416-pixel photo
        # would surface only hours into a build.
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "data", "gauges-cc-by", "train-points.json")) as fh:
            entries = json.load(fh)
        self.assertEqual(len({e["source"] for e in entries}), len(entries))
        for e in (e for e in entries if "skip" not in e):
            self.assertEqual(e["versions"].get(e["image"]), "same", e["source"])
            self.assertTrue(set(e["versions"].values()) <= set(real_points.FLIPS), e["source"])
            points = np.array([e[k] for k in ("pivot", "start", "middle", "end")], np.float64)
            self.assertTrue(np.all((points >= 0) & (points < 416)), e["source"])
            reach = np.hypot(*(points[1:] - points[0]).T)
            self.assertLess(reach.max(), 1.6 * reach.min(), e["source"])


class Candidate(unittest.TestCase):
    def test_a_pair_that_loses_real_readings_or_answers_wrong_more_often_does_not_ship(self):
        shipped = {"p%d" % i: 1.0 for i in range(10)}
        # Four moved out of 2 % but stay under 10 %: more than a standard error lost.
        ok, reasons = candidate.verdict(shipped, dict(shipped, p0=3.0, p1=3.0, p2=3.0, p3=3.0))
        self.assertFalse(ok)
        self.assertIn("4 fewer within 2 %", reasons[0])
        # One lost is within noise, but it is a reading far off.
        ok, reasons = candidate.verdict(shipped, dict(shipped, p0=30.0))
        self.assertEqual((ok, len(reasons)), (False, 1))
        self.assertIn("off by more than 10", reasons[0])
        # A refusal is no wrong answer; one lost is noise.
        self.assertEqual(candidate.verdict(shipped, dict(shipped, p0=None)), (True, []))
        self.assertEqual(candidate.verdict(dict(shipped, p0=40.0, p1=None), shipped), (True, []))

    def test_a_report_is_read_again_by_another_engine(self):
        # An engine change between two readings of the same pair once left the
        # old engine's report standing in for the new one's.
        with tempfile.TemporaryDirectory() as tmp:
            models = os.path.join(tmp, "models")
            os.makedirs(models)
            for name in ("1.bin", "2.bin"):
                with open(os.path.join(models, name), "wb") as fh:
                    fh.write(name.encode())
            evaluate = os.path.join(tmp, "evaluate")

            def read_by_engine(error):
                with open(evaluate, "w") as fh:
                    fh.write("#!/bin/sh\necho 'a.jpg read 1, true 1 (%s%%)'\n" % error)
                os.chmod(evaluate, 0o755)
                return candidate.report(evaluate, models, candidate.cache_of(tmp, models, evaluate), "set", "labels",
                                        "images", None)

            self.assertEqual(read_by_engine("0.5"), {"a.jpg": 0.5})
            self.assertEqual(read_by_engine("0.5"), {"a.jpg": 0.5})
            self.assertEqual(read_by_engine("7.0"), {"a.jpg": 7.0})


class Quantise(unittest.TestCase):
    def test_the_int8_graph_reads_as_the_float_one(self):
        # Through ONNX Runtime the int8 graph stays within a few grid steps of the float one; a wrong
        # scale, zero point, bias scale or channel axis moves it far more. A last Conv read only by a
        # Reshape, as a head map is, stays float (its small offsets beside a wide score logit would lose
        # their precision), also where the batch is known only at run time and a Shape reads the map.
        class Reshape(torch.nn.Module):
            def forward(self, x):
                return x.reshape(x.shape[0], 5, -1)

        class Pick(torch.nn.Module):
            def forward(self, x):
                return x.index_select(0, torch.nonzero(x.flatten(1).amax(1) > -1.0)[:, 0])

        errors = {}
        for front, tail, convs in (((), torch.nn.Flatten(), 4), ((), Reshape(), 3), ((Pick(),), Reshape(), 3)):
            torch.manual_seed(3)
            net = torch.nn.Sequential(*front, M.conv_bn(3, 8, 3, 2), M.Residual(8), torch.nn.Conv2d(8, 5, 1),
                                      tail).eval()
            for bn in (m for m in net.modules() if isinstance(m, torch.nn.BatchNorm2d)):
                bn.running_mean.uniform_(-0.2, 0.2)
                bn.running_var.uniform_(0.5, 2.0)
            net[len(front) + 2].weight.data[0] *= 30.0      # a score logit far wider than the offsets
            inputs = [torch.rand(1, 3, 32, 32) for _ in range(4)]
            with tempfile.TemporaryDirectory() as tmp:
                fp, q8, x, y = (os.path.join(tmp, f) for f in ("f.onnx", "q.onnx", "in.f32", "out.f32"))
                torch.onnx.export(net, inputs[0], fp, opset_version=16, input_names=["images"],
                                  output_names=["output0"], do_constant_folding=True)
                names = quantise.conv_tensors(onnx.load(fp).graph)[1]
                bounds = quantise.ranges(fp, names, [i.numpy() for i in inputs])
                self.assertEqual(quantise.quantise(fp, q8, bounds), convs)
                inputs[1].numpy().tofile(x)
                got = []
                for path in (fp, q8):
                    subprocess.run([export.ortrun_binary(), path, x, y], check=True)
                    got.append(np.fromfile(y, np.float32))
            with torch.no_grad():
                want = net(inputs[1]).numpy().ravel()
            np.testing.assert_allclose(got[0], want, atol=1e-4)
            # Errors in steps of the offsets' own int8 grid.
            offsets, got_offsets = want.reshape(5, -1)[1:], got[1].reshape(5, -1)[1:]
            step = (offsets.max() - min(offsets.min(), 0)) / 255
            errors[len(front), convs] = float(np.abs(got_offsets - offsets).max()) / step
        self.assertGreater(errors[0, 4], 0)
        for picked in (0, 1):
            self.assertLess(errors[picked, 3], 6)
            self.assertLess(errors[picked, 3], errors[0, 4] / 4)


if __name__ == "__main__":
    unittest.main()
