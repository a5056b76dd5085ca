"""The renderer's labels are exact and read back through the engine's
geometry, its square samples never change, it draws alike on any machine when
asked, and the stamps that make sets and checkpoints stale name all they run.

  PYTHONPATH=. /usr/bin/python3 tests/training/test_render.py    # from the repository's root
"""
import glob
import hashlib
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import cv2
import numpy as np

from training import check_labels as CL
from training import render
from training.render import backgrounds, plant
from training.render.__main__ import main as render_main


# render_sample(4242, i, 320), procedural backdrops, drawn plain: the square sets the shipped models
# learnt from must not change. Only for these library versions (their drawing and resizing move pixels).
SQUARE_DIGEST = "d8f1a469bed70b2a6a130aa5abb737933bd92aad3c6d295d7ff43950a1771be0"
SQUARE_DIGEST_VERSIONS = ("4.6.0", "1.24.2")   # OpenCV, NumPy
SQUARE_SAMPLES = (57, 62, 166, 276, 301, 305)   # round, panel and sector dials


def render_set(out, *options):
    """A set from render's command line: its files' bytes by name (its settings in this process go back)."""
    with mock.patch.object(backgrounds, "PHOTOS", True), mock.patch.object(plant, "FAMILIES", True):
        render_main(["--out", out] + list(options))
    return {p.name: p.read_bytes() for p in sorted(pathlib.Path(out).iterdir())}


class Frames(unittest.TestCase):
    def test_every_gauge_of_a_frame_has_its_exact_labels_and_check_labels_reads_them_all(self):
        # check_labels' invariants, the engine's reading of the labels, the drawn needle and end ticks.
        square = set(render.render_sample(41, 0, 320)[1])
        shapes, labels = set(), []
        for seed, i, gauges in [(41, i, 1) for i in range(8)] + [(42, i, 2) for i in (7, 11, 19)]:
            img, lab, masks = render.render_frame(seed, i, with_masks=True, gauges=gauges)
            self.assertEqual(img.shape, (lab["height"], lab["width"], 3))
            self.assertLessEqual(square, set(lab), "a frame keeps every field a square sample has")
            found = CL.gauges_of(lab, masks)
            self.assertEqual((lab["gauges"], len(found)), (gauges, gauges))
            for g, drawn in found:
                self.assertEqual(CL.check_gauge(g, drawn, [], []), [])
                for x, y, v in g["keypoints"]:
                    self.assertTrue(0 <= x < g["width"] and 0 <= y < g["height"] and v > 0)
                self.assertTrue(0.05 < g["scale_share"] <= render.FRAME_SHARE[1], g["scale_share"])
            # Two gauges keep to their halves of the frame, case and all, so neither hides the other.
            if gauges == 2:
                axis = 0 if lab["width"] >= lab["height"] else 1
                half = (lab["width"], lab["height"])[axis] // 2
                sides = [{p[axis] < half for p in g["keypoints"]} |
                         set((np.nonzero(drawn["gauge"])[1 - axis] < half).tolist()) for g, drawn in found]
                self.assertEqual([len(s) for s in sides], [1, 1])
                self.assertNotEqual(sides[0], sides[1])
            labels.append(lab)
            shapes.add(img.shape)
        self.assertGreater(len(shapes), 2)
        # On a set: an empty frame has no gauge fields and passes; a wrong second gauge fails it.
        empty = render.render_frame(43, 0, gauges=0)[1]
        self.assertEqual(set(empty), {"width", "height", "jpeg_quality", "gauges"})
        wrong = json.loads(json.dumps(labels[-1]))
        wrong["second"]["reading"] = (wrong["second"]["reading"] + 0.5) % 1.0
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "labels.jsonl")
            for frames, code in ((labels + [empty], 0), ([wrong, empty] + labels[:-1], 1)):
                with open(path, "w") as fh:
                    fh.writelines(json.dumps(lab) + "\n" for lab in frames)
                with self.assertRaises(SystemExit) as end:
                    CL.main(["--labels", path])
                self.assertEqual(end.exception.code, code)

    @unittest.skipUnless((cv2.__version__, np.__version__) == SQUARE_DIGEST_VERSIONS,
                         "digest recorded with OpenCV %s and NumPy %s" % SQUARE_DIGEST_VERSIONS)
    def test_square_samples_are_unchanged(self):
        digest = hashlib.sha256()
        with mock.patch.object(backgrounds, "PHOTOS", False), mock.patch.object(plant, "FAMILIES", False):
            for i in SQUARE_SAMPLES:
                img, lab, _ = render.render_sample(4242, i, 320)
                digest.update(img.tobytes())
                digest.update(json.dumps(lab, sort_keys=True).encode())
        self.assertEqual(digest.hexdigest(), SQUARE_DIGEST)

    def test_the_plant_families_change_pixels_only(self):
        # Their own random stream: every label stays (but the dial box, which holds the numerals as
        # drawn), and a picture that gets none of them stays as it was.
        def drawn(families):
            with mock.patch.object(backgrounds, "PHOTOS", False), mock.patch.object(plant, "FAMILIES", families):
                return ([render.render_sample(77, i, 256)[:2] for i in range(24)] +
                        [render.render_frame(78, i)[:2] for i in range(6)])

        kept = 0
        for i, ((img, lab), (plain, plain_lab)) in enumerate(zip(drawn(True), drawn(False))):
            self.assertEqual(dict(lab, dial_box=None), dict(plain_lab, dial_box=None), i)
            kept += i < 24 and np.array_equal(img, plain)
        self.assertTrue(3 <= kept <= 20, "%d of 24 pictures without a family" % kept)


class Sets(unittest.TestCase):
    def test_frames_are_numbered_from_start_and_the_same_in_parallel(self):
        with tempfile.TemporaryDirectory() as tmp:
            one, two = (render_set(os.path.join(tmp, name), "--count", "3", "--seed", "2", "--start", "5",
                                   "--frames", *jobs) for name, jobs in (("one", []), ("two", ["--jobs", "2"])))
            with self.assertRaises(SystemExit):
                render_main(["--out", tmp, "--count", "1", "--frames", "--size", "640"])
        self.assertEqual(two, one, "a frame renders the same in parallel")
        labels = [json.loads(line) for line in one["labels.jsonl"].splitlines()]
        self.assertEqual([lab["image"] for lab in labels], ["000005.jpg", "000006.jpg", "000007.jpg"])
        self.assertEqual(sorted(one), ["000005.jpg", "000006.jpg", "000007.jpg", "labels.jsonl"])

    def test_a_picture_that_cannot_be_written_stops_the_set(self):
        # Here and in a pool's worker: labels naming a missing picture must not pass as a finished set.
        for jobs in ("1", "2"):
            with tempfile.TemporaryDirectory() as out:
                os.mkdir(os.path.join(out, "000001.jpg"))
                with self.assertRaisesRegex(OSError, "000001.jpg"):
                    render_set(out, "--count", "3", "--seed", "2", "--size", "96", "--jobs", jobs)

    def test_without_photos_a_set_draws_as_on_a_machine_without_wallpapers(self):
        # --no-photos draws as a machine without wallpapers, in a pool's workers too; without it they show.
        with tempfile.TemporaryDirectory() as tmp:
            wallpaper = os.path.join(tmp, "wallpaper.jpg")
            cv2.imwrite(wallpaper, (np.random.default_rng(1).random((300, 400, 3)) * 255).astype(np.uint8))
            sets = {}
            for name, globs, options in (("none", [], []), ("wallpaper", [wallpaper], []),
                                         ("no-photos", [wallpaper], ["--no-photos", "--jobs", "2"])):
                with mock.patch.multiple(backgrounds, BACKGROUND_GLOBS=globs, _BG_FILES=None):
                    sets[name] = render_set(os.path.join(tmp, name), "--count", "6", "--seed", "5", "--size", "160",
                                            *options)
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
    """A source run but named by no stamp would leave sets and fixtures of old code, or resume another recipe."""

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

    def test_training_runs_are_stamped_by_all_they_run(self):
        # Left out: graph.py, which only reports on the validation set (a change there exports again),
        # and for the decoy search the finder's recipe (its checkpoint changes with model.py and contract.py).
        for module, one_of_them, unstamped, stamp in (
                ("training.train.__main__", "training/train/losses.py", {"training/__init__.py", "training/graph.py"},
                 r"run_of \"\$run\" \"\$\(\{ digest ([^\n]*)\n"),
                ("training.direction", "training/train/data.py", {"__init__.py"},
                 r"run_of \"\$DIRECTION_RUN\" \"\$\(\{ digest ([^\n]*)\n"),
                ("training.decoys", "training/engine.py",
                 {"__init__.py", "training/graph.py", "training/model.py", "training/contract.py"},
                 r"last\.pt\"; digest ([^;]*);")):
            with self.subTest(module):
                runs = {f for f in sources_run_by(module) if not {f, os.path.basename(f)} & unstamped}
                self.assertIn(one_of_them, runs)
                self.assertLessEqual(runs, listed("training/build-models", stamp))


if __name__ == "__main__":
    unittest.main()
