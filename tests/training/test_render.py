"""Checks of the renderer: its labels are exact and read back through the
engine's geometry, its square samples do not change, it draws the same
pixels on any machine when asked, and every source it (or a trainer) runs
is named by the stamps that say when a set or a checkpoint is stale.

  PYTHONPATH=. /usr/bin/python3 tests/training/test_render.py    # from the repository's root
"""
import glob
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

import cv2
import numpy as np

from training import check_labels as CL
from training import engine, render
from training.render import backgrounds, plant
from training.render.__main__ import main as render_main


# Pixels and labels of render_sample(4242, i, 320), procedural backdrops only
# and drawn plain: the square sets the shipped models learnt from must not
# change, and the plant families must leave them as they were. The digest
# holds for these library versions only (their drawing and resizing move pixels).
SQUARE_DIGEST = "d8f1a469bed70b2a6a130aa5abb737933bd92aad3c6d295d7ff43950a1771be0"
SQUARE_DIGEST_VERSIONS = ("4.6.0", "1.24.2")   # OpenCV, NumPy
SQUARE_SAMPLES = (57, 62, 166, 276, 301, 305)   # round, panel and sector dials


class Frames(unittest.TestCase):
    """Wide camera frames (render --frames): exact labels in frame pixels,
    a second gauge or none where the label says so."""

    def assert_exact(self, lab, masks):
        # As training.check_labels checks a rendered set: the invariants, the
        # engine's reading of the labels, and the drawn needle and end ticks.
        self.assertEqual(CL.check_geometry(lab), [])
        value, xs = engine.read_label(lab)
        self.assertEqual(len(xs), 1, "the pointer line must meet the scale once")
        self.assertLess(abs(value - lab["reading"]), CL.TOLERANCE)
        self.assertEqual(CL.check_pixels(lab, masks), [])
        for x, y, v in lab["keypoints"]:
            self.assertTrue(0 <= x < lab["width"] and 0 <= y < lab["height"] and v > 0)
        share = render.scale_width(lab["keypoints"]) / min(lab["width"], lab["height"])
        self.assertAlmostEqual(lab["scale_share"], share, delta=1e-4)
        self.assertTrue(0.05 < lab["scale_share"] <= render.FRAME_SHARE[1], lab["scale_share"])

    def test_a_frame_with_one_gauge_has_its_exact_labels(self):
        square = set(render.render_sample(41, 0, 320)[1])
        shapes = set()
        for i in range(8):
            img, lab, masks = render.render_frame(41, i, with_masks=True, gauges=1)
            self.assertEqual(img.shape, (lab["height"], lab["width"], 3))
            self.assertLessEqual(square, set(lab), "a frame keeps every field a square sample has")
            self.assertEqual((lab["gauges"], "second" in lab), (1, False))
            self.assert_exact(lab, masks)
            shapes.add(img.shape)
        self.assertGreater(len(shapes), 2)

    def test_a_frame_with_two_gauges_labels_both(self):
        # Frames whose gauges, at the size first drawn, would reach into the other half.
        for i in (7, 11, 19):
            img, lab, masks = render.render_frame(42, i, with_masks=True, gauges=2)
            self.assertEqual(lab["gauges"], 2)
            second = dict(lab["second"], width=lab["width"], height=lab["height"])
            self.assert_exact(lab, masks)
            self.assert_exact(second, masks["second"])
            # Each keeps to its half of the frame, case and all, so neither hides the other.
            axis = 0 if lab["width"] >= lab["height"] else 1
            half = (lab["width"], lab["height"])[axis] // 2
            sides = []
            for g, drawn in ((lab, masks), (second, masks["second"])):
                pixels = np.nonzero(drawn["gauge"])[1 - axis]
                sides.append({p[axis] < half for p in g["keypoints"]} | set((pixels < half).tolist()))
            self.assertEqual([len(s) for s in sides], [1, 1])
            self.assertNotEqual(sides[0], sides[1])

    def test_check_labels_reads_every_gauge_of_a_frame_set(self):
        # An empty frame carries no gauge fields and passes; the second gauge of two is checked too.
        frames = [render.render_frame(42, 7, gauges=2)[1], render.render_frame(43, 0, gauges=0)[1],
                  render.render_frame(41, 0, gauges=1)[1]]
        self.assertEqual(set(frames[1]), {"width", "height", "jpeg_quality", "gauges"})
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "labels.jsonl")

            def check(labels):
                with open(path, "w") as fh:
                    fh.writelines(json.dumps(lab) + "\n" for lab in labels)
                with self.assertRaises(SystemExit) as end:
                    CL.main(["--labels", path])
                return end.exception.code

            self.assertEqual(check(frames), 0)
            wrong = json.loads(json.dumps(frames[0]))
            wrong["second"]["reading"] = (wrong["second"]["reading"] + 0.5) % 1.0
            self.assertEqual(check([wrong] + frames[1:]), 1)

    def test_frames_from_the_command_line(self):
        # Numbered from --start, at the labelled size, and the same bytes rendered in parallel.
        with tempfile.TemporaryDirectory() as one, tempfile.TemporaryDirectory() as two:
            for out, jobs in ((one, []), (two, ["--jobs", "2"])):
                render_main(["--out", out, "--count", "3", "--seed", "2", "--start", "5", "--frames"] + jobs)
            labels = []
            for out in (one, two):
                with open(os.path.join(out, "labels.jsonl")) as fh:
                    labels.append([json.loads(line) for line in fh])
            self.assertEqual(labels[1], labels[0])
            self.assertEqual([lab["image"] for lab in labels[0]], ["000005.jpg", "000006.jpg", "000007.jpg"])
            for lab in labels[0]:
                img = cv2.imread(os.path.join(one, lab["image"]))
                self.assertEqual(img.shape[:2], (lab["height"], lab["width"]))
                with open(os.path.join(one, lab["image"]), "rb") as a, open(os.path.join(two, lab["image"]), "rb") as b:
                    self.assertEqual(a.read(), b.read(), "a frame renders the same in parallel")
            with self.assertRaises(SystemExit):
                render_main(["--out", one, "--count", "1", "--frames", "--size", "640"])

    @unittest.skipUnless((cv2.__version__, np.__version__) == SQUARE_DIGEST_VERSIONS,
                         "digest recorded with OpenCV %s and NumPy %s" % SQUARE_DIGEST_VERSIONS)
    def test_square_samples_are_unchanged(self):
        try:
            backgrounds.PHOTOS, plant.FAMILIES = False, False
            digest = hashlib.sha256()
            for i in SQUARE_SAMPLES:
                img, lab, _ = render.render_sample(4242, i, 320)
                digest.update(img.tobytes())
                digest.update(json.dumps(lab, sort_keys=True).encode())
        finally:
            backgrounds.PHOTOS, plant.FAMILIES = True, True
        self.assertEqual(digest.hexdigest(), SQUARE_DIGEST)

    def test_the_plant_families_change_pixels_only(self):
        # They draw from a stream of their own: every label stays (but the
        # dial box, which holds the numerals as drawn), and a picture that
        # gets none of them stays as it was.
        kept = 0
        try:
            backgrounds.PHOTOS = False
            for i in range(24):
                drawn = render.render_sample(77, i, 256)[:2]
                plant.FAMILIES = False
                plain = render.render_sample(77, i, 256)[:2]
                plant.FAMILIES = True
                self.assertEqual(dict(drawn[1], dial_box=None), dict(plain[1], dial_box=None), i)
                kept += np.array_equal(drawn[0], plain[0])
            frames = [render.render_frame(78, i) for i in range(6)]
            plant.FAMILIES = False
            for i, (img, lab, _) in enumerate(frames):
                again = render.render_frame(78, i)[1]
                self.assertEqual(dict(lab, dial_box=None), dict(again, dial_box=None), i)
        finally:
            backgrounds.PHOTOS, plant.FAMILIES = True, True
        self.assertTrue(3 <= kept <= 20, "%d of 24 pictures without a family" % kept)


class Sets(unittest.TestCase):
    def test_a_picture_that_cannot_be_written_stops_the_set(self):
        # In this process and in a pool's worker: a set whose labels name a
        # missing picture must not come out as finished.
        for jobs in ("1", "2"):
            with tempfile.TemporaryDirectory() as out:
                os.mkdir(os.path.join(out, "000001.jpg"))
                with self.assertRaisesRegex(OSError, "000001.jpg"):
                    render_main(["--out", out, "--count", "3", "--seed", "2", "--size", "96", "--jobs", jobs])


class Backgrounds(unittest.TestCase):
    def test_without_photos_a_set_draws_as_on_a_machine_without_wallpapers(self):
        # --no-photos gives the pixels of a machine with no wallpapers where
        # there are some, in a pool's workers too; without it they show.
        with tempfile.TemporaryDirectory() as tmp:
            wallpaper = os.path.join(tmp, "wallpaper.jpg")
            cv2.imwrite(wallpaper, (np.random.default_rng(1).random((300, 400, 3)) * 255).astype(np.uint8))
            saved = backgrounds.BACKGROUND_GLOBS
            sets = {}
            try:
                for name, globs, options in (("none", [], []), ("wallpaper", [wallpaper], []),
                                             ("no-photos", [wallpaper], ["--no-photos", "--jobs", "2"])):
                    backgrounds.BACKGROUND_GLOBS, backgrounds._BG_FILES = globs, None
                    out = os.path.join(tmp, name)
                    render_main(["--out", out, "--count", "6", "--seed", "5", "--size", "160"] + options)
                    sets[name] = []
                    for f in sorted(os.listdir(out)):
                        with open(os.path.join(out, f), "rb") as fh:
                            sets[name].append(fh.read())
            finally:
                backgrounds.BACKGROUND_GLOBS, backgrounds._BG_FILES, backgrounds.PHOTOS = saved, None, True
        self.assertNotEqual(sets["wallpaper"], sets["none"])
        self.assertEqual(sets["no-photos"], sets["none"])


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(CL.__file__)))


def sources_run_by(module):
    """The training package's files that importing module loads, from ROOT."""
    code = ("import importlib, os, sys; importlib.import_module(sys.argv[1]); "
            "print('\\n'.join(sorted(m.__file__ for m in list(sys.modules.values()) if getattr(m, '__file__', None))))")
    out = subprocess.run([sys.executable, "-P", "-c", code, module], check=True, stdout=subprocess.PIPE, text=True,
                         env=dict(os.environ, PYTHONPATH=ROOT)).stdout
    package = os.path.join(ROOT, "training")
    return {os.path.relpath(f, ROOT) for f in out.split() if os.path.commonpath([f, package]) == package}


def listed(path, pattern):
    """The files the first match of pattern in path names: words, globs from ROOT."""
    with open(os.path.join(ROOT, path)) as fh:
        words = re.search(pattern, fh.read()).group(1).replace("'", "").split()
    return {os.path.relpath(f, ROOT) for w in words for f in glob.glob(os.path.join(ROOT, w))}


class Stamps(unittest.TestCase):
    """What decides when rendered sets and checkpoints are stale: a source
    the renderer or the trainer runs that no stamp names would leave sets
    and fixtures drawn by old code, or resume weights of another recipe."""

    def test_the_renderers_sources_are_all_stamped(self):
        runs = sources_run_by("training.render.__main__")
        self.assertIn("training/render/scenes.py", runs)
        self.assertEqual(listed("training/build-models", r"RENDERER_DIGEST=\$\(digest ([^|]*)\|"), runs)
        with open(os.path.join(ROOT, "tests", "fixtures", "CMakeLists.txt")) as fh:
            cmake = fh.read()
        modules = re.search(r"foreach\(module IN ITEMS ([^)]*)\)", cmake).group(1).split()
        explicit = re.search(r"set\(renderer_sources ([^)]*)\)", cmake).group(1)
        fixtures = {"training/render/%s.py" % m for m in modules}
        fixtures |= {"training/" + f for f in re.findall(r"\$\{training\}/(\w+\.py)", explicit)}
        self.assertEqual(fixtures, runs)

    def test_a_training_run_is_stamped_by_all_it_runs_but_the_graph(self):
        # graph.py only reports on the validation set: a change there exports again.
        runs = sources_run_by("training.train.__main__") - {"training/__init__.py", "training/graph.py"}
        self.assertIn("training/train/losses.py", runs)
        self.assertLessEqual(runs, listed("training/build-models", r"run_of \"\$run\" \"\$\(\{ digest ([^\n]*)\n"))

    def test_the_direction_network_is_stamped_by_all_it_runs(self):
        runs = {f for f in sources_run_by("training.direction") if not f.endswith("__init__.py")}
        self.assertIn("training/train/data.py", runs)
        self.assertLessEqual(runs, listed("training/build-models", r"run_of direction \"\$\(\{ digest ([^\n]*)\n"))

    def test_the_decoy_search_is_stamped_by_all_it_runs_but_the_finders_recipe(self):
        # The finder's checkpoint changes with model.py and contract.py, and
        # graph.py leaves the finder's boxes alone.
        runs = {f for f in sources_run_by("training.decoys") if not f.endswith("__init__.py")}
        runs -= {"training/graph.py", "training/model.py", "training/contract.py"}
        self.assertIn("training/engine.py", runs)
        self.assertLessEqual(runs, listed("training/build-models", r"last\.pt\"; digest ([^;]*);"))


if __name__ == "__main__":
    unittest.main()
