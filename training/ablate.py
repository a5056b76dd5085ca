"""What each rule of the exported graphs is worth, on the validation sets.

For every rule of graph.RULES (or those named, and each NAME=VALUE of a
graph constant), the dial graph is exported again without it (or with
that value), quantised as build-models does, packed beside the build's
needle graph (no rule or constant changes which crop it reads), and read by
the engine on every validation set training.candidate reads: the real
photos (pooled, as its verdict pools them) and the rendered squares and
frames. Each is compared image by image with the graphs that keep every
rule (training.compare): a rule earns its place when leaving it out loses
at least two standard errors, and none may cost the real photos.

  python3 -m training.ablate [--work /var/tmp/dialvane-build-models] [--build build] [--float]
                             [--pose RUN] [--direction RUN] [--needle RUN]
                             [--real-dev ../shared/gauges-real-dev] [RULE | NAME=VALUE ...]

Graphs go to WORK/runs/ablate/, reports to WORK/runs/candidate/ by the
digest of the pair and of the engine that reads it; a variant is exported
again only when the networks or the graph code changed, and read again when
its graphs or the engine did.
"""
import argparse
import hashlib
import os
import subprocess
import sys

from . import candidate, compare
from . import graph as G

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


# The package's commands run from this checkout whatever the working
# directory: -P keeps a training/ there from standing in for it.
PACKAGE_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (ROOT, os.environ.get("PYTHONPATH")))))


def run(*cmd):
    subprocess.run([str(c) for c in cmd], check=True, stdout=subprocess.DEVNULL, env=PACKAGE_ENV)


def command(name, *options):
    """python3 -m training.NAME, with the interpreter's options."""
    return [sys.executable, "-P", *options, "-m", "training." + name]


def stamp(args, needle, without, settings):
    """What a variant's reports depend on: the networks, the code that writes
    the graphs, and the variant itself."""
    h = hashlib.sha256(repr((sorted(without), sorted(settings), args.calibration)).encode())
    for path in (os.path.join(args.runs, args.pose, "last.pt"), os.path.join(args.runs, "finder", "last.pt"), needle,
                 *direction_of(args)[1::2],
                 *(os.path.join(HERE, f) for f in ("graph.py", "model.py", "export.py", "quantise.py", "contract.py",
                                                   "direction.py", os.path.join("..", "tools", "ortrun", "main.cpp")))):
        with open(path, "rb") as f:
            h.update(hashlib.sha256(f.read()).digest())
    return h.hexdigest()


def direction_of(args):
    """export's option naming the build's direction network, where it has one."""
    path = os.path.join(args.runs, args.direction, "last.pt")
    return ["--direction", path] if os.path.exists(path) else []


def variant(args, name, without, settings=()):
    """The folder of the packed graphs lacking the rules in without and with
    the constants' settings (NAME=VALUE)."""
    out = os.path.join(args.runs, "ablate", name)
    needle = os.path.join(args.runs, "%s%s.onnx" % (args.needle, "" if args.float else "-int8"))
    made = stamp(args, needle, without, settings)
    stamp_path = os.path.join(out, "stamp")
    if os.path.exists(stamp_path):
        with open(stamp_path) as f:
            if f.read().strip() == made:
                return out
    os.makedirs(out, exist_ok=True)
    graph = os.path.join(out, "pose.onnx")
    run(*command("export", "-W", "ignore"),
        "--checkpoint", os.path.join(args.runs, args.pose, "last.pt"),
        "--finder", os.path.join(args.runs, "finder", "last.pt"), *direction_of(args), "--onnx", graph,
        *sum((["--without", r] for r in without), []), *sum((["--set", s] for s in settings), []))
    if not args.float:
        quantised = os.path.join(out, "pose-int8.onnx")
        run(*command("quantise"), "--onnx", graph, "--out", quantised,
            "--calibration", os.path.join(args.data, "train"), os.path.join(args.data, "train-frames"),
            "--count", args.calibration)
        graph = quantised
    for source, number in ((graph, "1"), (needle, "2")):
        run(os.path.join(args.build, "tools", "modelpack", "modelpack"), "encrypt", source,
            os.path.join(out, number + ".bin"))
    with open(stamp_path, "w") as f:
        f.write(made + "\n")
    return out


def readings(args, models):
    """{set: compare.outcomes} of the packed pair in models on every
    validation set, the real ones pooled as "real"."""
    evaluate = os.path.join(args.build, "tools", "evaluate", "evaluate")
    cache = candidate.cache_of(args.runs, models, evaluate)
    found = {"real": {}}
    for name, labels, images, split, real in candidate.sets(args.work, args.real_dev):
        read = candidate.report(evaluate, models, cache, name, labels, images, split)
        if real:
            found["real"].update({name + "/" + k: v for k, v in read.items()})
        else:
            found[name] = read
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("rules", nargs="*", metavar="RULE", help="of: %s; or NAME=VALUE of: %s"
                    % (", ".join(G.RULES), ", ".join(G.CONSTANTS)))
    ap.add_argument("--work", default="/var/tmp/dialvane-build-models")
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    ap.add_argument("--float", action="store_true", help="the float graphs, not int8")
    ap.add_argument("--pose", default="pose-real", help="the dial network's run: pose-real (build-models' default)"
                    " or pose (REAL_POINTS=0)")
    ap.add_argument("--direction", default="direction-real", help="the direction network's run: direction-real"
                    " (build-models' default) or direction (REAL_POINTS=0)")
    ap.add_argument("--needle", default="needle-real", help="the needle run packed beside each variant: needle-real"
                    " (build-models' default) or needle (REAL_NEEDLES=0)")
    ap.add_argument("--calibration", default="64", help="calibration images, as build-models takes")
    ap.add_argument("--real-dev", default=os.path.join(ROOT, "..", "shared", "gauges-real-dev"))
    args = ap.parse_args()
    args.runs, args.data = os.path.join(args.work, "runs"), os.path.join(args.work, "data")
    # export and quantise check their graphs in the ortrun of the build this reads with.
    PACKAGE_ENV.setdefault("DIALVANE_ORTRUN", os.path.join(args.build, "tools", "ortrun", "ortrun"))
    unknown = {r for r in args.rules if r not in G.RULES and r.partition("=")[0] not in G.CONSTANTS}
    if unknown:
        ap.error("no such rule or constant: " + ", ".join(sorted(unknown)))

    suffix = "-float" if args.float else ""
    base = readings(args, variant(args, "all" + suffix, []))
    for rule in args.rules or G.RULES:
        if rule in G.RULES:
            reads = readings(args, variant(args, "without-%s%s" % (rule, suffix), [rule]))
        else:
            reads = readings(args, variant(args, "%s%s" % (rule, suffix), [], [rule]))
        for s, a in base.items():
            b = reads[s]
            common = set(a) & set(b)
            if not common:
                continue
            a, b = {k: a[k] for k in common}, {k: b[k] for k in common}
            for limit in (2.0, 5.0):
                na, nb, better, worse, se = compare.paired(a, b, limit)
                print("%-18s %-10s within %g%%: %d -> %d (%+d; %d better, %d worse; 1 SE %.1f)%s"
                      % ("without " + rule if rule in G.RULES else rule, s, limit, na, nb, nb - na, better, worse, se,
                         "  beyond noise" if compare.beyond_noise(na, nb, se) else ""), flush=True)
            over = [sum(e is not None and e > candidate.OFF for e in x.values()) for x in (a, b)]
            print("%-18s %-10s off by over %g%%: %d -> %d" % ("", s, candidate.OFF, *over), flush=True)


if __name__ == "__main__":
    main()
