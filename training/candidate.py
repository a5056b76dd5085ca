"""A candidate pair of models against the shipped pair, image by image, on
every validation set, real and rendered, and whether it may ship.

  python3 -m training.candidate DIR [--shipped bin] [--build build] [--work /var/tmp/dialvane-build-models]
                                    [--real-dev ../shared/gauges-real-dev]

DIR holds the candidate's 1.bin and 2.bin. The sets, each read where present:
  real-cc-by-valid       data/gauges-cc-by, its valid split (hand-labelled)
  real-dev               the real development photos; real-dev-0.30 and
                         real-dev-0.55 the same framed small (WORK/data/real-SHARE,
                         as training/build-models frames them)
  val, val-frames        the rendered validation sets (WORK/data)
Test sets are never read here: they are read once, for a pair about to ship.

Per set, both pairs' figures and the images that moved within 2 % of the
span, with one standard error of the paired difference. The verdict pools
the real sets: a candidate does not ship where it reads fewer of them within
2 % than the shipped pair by more than one standard error, or where more of
its readings are off by more than 10 % of the span.
"""
import argparse
import hashlib
import json
import math
import os
import statistics
import subprocess
import sys

from . import compare

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OFF = 10.0   # % of the span: a reading this far off is a wrong answer, not an imprecise one


def figures(outcomes):
    """The figures of one pair on one set from compare.outcomes: a right
    refusal counts as within every limit, a wrong one in "refused" alone."""
    read = [e for e in outcomes.values() if e is not None and e >= 0]
    n = len(outcomes)
    return dict(images=n, median=statistics.median(read) if read else math.nan,
                mean=statistics.fmean(read) if read else math.nan,
                within_2=sum(compare.passes(e, 2.0) for e in outcomes.values()),
                within_5=sum(compare.passes(e, 5.0) for e in outcomes.values()),
                over_10=sum(e > OFF for e in read),
                refused=sum(e is None for e in outcomes.values()))


def verdict(shipped, candidate):
    """(may ship, reasons) from the pooled outcomes {image: error} of both pairs on the real sets."""
    na, nb, up, down, se = compare.paired(shipped, candidate, 2.0)
    reasons = []
    if nb < na and na - nb > se:
        reasons.append("%d fewer within 2 %% (better on %d, worse on %d), more than one standard error (%.1f)"
                       % (na - nb, up, down, se))
    off_a, off_b = figures(shipped)["over_10"], figures(candidate)["over_10"]
    if off_b > off_a:
        reasons.append("%d readings off by more than %g %%, the shipped pair %d" % (off_b, OFF, off_a))
    return not reasons, reasons


def digest(models, evaluate):
    """What a pair's reports depend on: its two models and the engine that
    reads them (linked into evaluate). Keyed on the models alone, a report
    read before an engine change stood in for the new engine's reading."""
    h = hashlib.sha256()
    for path in (os.path.join(models, "1.bin"), os.path.join(models, "2.bin"), evaluate):
        with open(path, "rb") as fh:
            h.update(fh.read())
    return h.hexdigest()[:16]


def cache_of(runs, models, evaluate):
    """The folder of the pair's reports as evaluate reads them."""
    return os.path.join(runs, "candidate", digest(models, evaluate))


def sets(work, real_dev):
    """(name, labels, images, split or None, real) of every set present."""
    found = [("real-cc-by-valid", os.path.join(ROOT, "data", "gauges-cc-by"), "valid", True),
             ("real-dev", real_dev, None, True)]
    found += [("real-dev-%s" % share, os.path.join(work, "data", "real-%s" % share), None, True)
              for share in ("0.30", "0.55")]
    found += [(name, os.path.join(work, "data", name), None, False) for name in ("val", "val-frames")]
    result = []
    for name, folder, split, real in found:
        images = os.path.join(folder, "images") if os.path.isdir(os.path.join(folder, "images")) else folder
        if os.path.isfile(os.path.join(folder, "labels.json")):
            result.append((name, os.path.join(folder, "labels.json"), images, split, real))
    return result


def at_an_end(labels, images):
    """Those of images whose label puts the needle on the scale's first or
    last mark. The reports name an image by its first 60 characters."""
    with open(labels) as fh:
        ends = {lab["image"][:60] for lab in json.load(fh) if float(lab.get("reading_norm") or "nan") in (0.0, 1.0)}
    return [k for k in images if k in ends]


def report(evaluate, models, cache, name, labels, images, split):
    """compare.outcomes of one pair on one set; a report already read with the
    same models and engine is kept. cache: the pair's own folder (named by its digest)."""
    path = os.path.join(cache, name + ".txt")
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path + ".partial", "w") as out:
            subprocess.run([evaluate, "--labels", labels, "--images", images, "--models", models]
                           + (["--split", split] if split else []), check=True, stdout=out)
        os.replace(path + ".partial", path)
    return compare.outcomes(path)


def line(name, f):
    return ("%-18s %4d  median %5.2f  mean %5.2f  within 2 %% %3d  within 5 %% %3d  over 10 %% %3d  refused %2d"
            % (name, f["images"], f["median"], f["mean"], f["within_2"], f["within_5"], f["over_10"], f["refused"]))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("candidate")
    ap.add_argument("--shipped", default=os.path.join(ROOT, "bin"))
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--work", default="/var/tmp/dialvane-build-models")
    ap.add_argument("--real-dev", default=os.path.join(ROOT, "..", "shared", "gauges-real-dev"))
    args = ap.parse_args(argv)
    evaluate = os.path.join(args.build, "tools", "evaluate", "evaluate")
    pairs = [(m, cache_of(os.path.join(args.work, "runs"), m, evaluate)) for m in (args.shipped, args.candidate)]
    pooled = ({}, {})
    for name, labels, images, split, real in sets(args.work, args.real_dev):
        pair = [report(evaluate, m, cache, name, labels, images, split) for m, cache in pairs]
        common = sorted(set(pair[0]) & set(pair[1]))
        pair = [{k: p[k] for k in common} for p in pair]
        _, _, up, down, se = compare.paired(pair[0], pair[1], 2.0)
        print(name + ":")
        print("  " + line("shipped", figures(pair[0])))
        print("  " + line("candidate", figures(pair[1])))
        print("  within 2 %%: candidate better on %d, worse on %d, 1 SE %.1f" % (up, down, se))
        resting = at_an_end(labels, common) if real else []
        if resting:
            print("  of those, the %d with the needle at an end of the scale (at rest, mostly):" % len(resting))
            for who, p in zip(("shipped", "candidate"), pair):
                print("    " + line(who, figures({k: p[k] for k in resting})))
        if real:
            for p, into in zip(pair, pooled):
                into.update({name + "/" + k: v for k, v in p.items()})
    if not pooled[0]:
        sys.exit("candidate: no real set to decide on")
    ok, reasons = verdict(*pooled)
    print("real sets pooled:")
    print("  " + line("shipped", figures(pooled[0])))
    print("  " + line("candidate", figures(pooled[1])))
    print("verdict: " + ("may ship" if ok else "does not ship: " + "; ".join(reasons)))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
