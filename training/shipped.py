"""The record of one build-models run: shipped.json.

  python3 -m training.shipped --out FILE --commit C --command TEXT --models DIR --runs DIR
                              --reports NAME... [--real SPLIT=FILE ...] --seed KEY=N...

Reads RUNS/evaluate-NAME.txt (tools/evaluate's output) for each report and
writes {"commit", "command", "seeds", "figures", "models"}: per set the
images, read and refused counts, the error's median and mean in % of the
span, the shares within 2 % and 5 % (refusals count as failures), the same
by dial size where the set has it, the frames that must be refused, and the
engine's median time per image; per model its sha256. --real adds, under
"real" / "gauges-cc-by", the figures of each split of the hand-labelled real
photos from tools/evaluate's --json lines (real_figures).
"""
import argparse
import hashlib
import json
import os
import re

NUMBER = r"(-?[0-9.]+)"
SIZE_LINE = re.compile(r"^  (under 30%|30% and over): images (\d+), read (\d+), refused (\d+)"
                       r"(?:; median " + NUMBER + ", mean " + NUMBER + ")?; within 2%: " + NUMBER +
                       "%, within 5%: " + NUMBER + "%$")


def figures(text):
    """tools/evaluate's summary as numbers."""
    out = {}
    m = re.search(r"^images: (\d+), read: (\d+), refused: (\d+)$", text, re.M)
    if not m:
        raise ValueError("no summary in the report")
    out.update(images=int(m[1]), read=int(m[2]), refused=int(m[3]))
    m = re.search(r"^error of the readings, % of span: median " + NUMBER + ", mean " + NUMBER + "$", text, re.M)
    if m:
        out.update(median=float(m[1]), mean=float(m[2]))
    m = re.search(r"^within 2%: " + NUMBER + "% of images, within 5%: " + NUMBER + "% of images$", text, re.M)
    out.update(within_2=float(m[1]), within_5=float(m[2]))
    for line in text.splitlines():
        m = SIZE_LINE.match(line)
        if m:
            size = {"images": int(m[2]), "read": int(m[3]), "refused": int(m[4]),
                    "within_2": float(m[7]), "within_5": float(m[8])}
            if m[5] is not None:
                size.update(median=float(m[5]), mean=float(m[6]))
            out.setdefault("by_size", {})["small" if m[1].startswith("under") else "large"] = size
        m = re.match(r'^frames to refuse with "(.*)": (\d+), refused so: (\d+)$', line)
        if m:
            out.setdefault("must_refuse", {})[m[1]] = {"frames": int(m[2]), "refused": int(m[3])}
    m = re.search(r"^median time per image \(engine and geometry\): " + NUMBER + " ms", text, re.M)
    if m:
        out["time_ms"] = float(m[1])
    return out


def real_figures(lines):
    """Counts and the error's median and mean (% of the span, readings only)
    of tools/evaluate's --json lines."""
    errors = sorted(line["percent"] for line in lines if not line["error"])
    count = len(errors)
    median = (errors[count // 2] + errors[(count - 1) // 2]) / 2 if count else None
    return {
        "images": len(lines),
        "refused": len(lines) - count,
        "within_2": sum(e <= 2 for e in errors),
        "within_5": sum(e <= 5 for e in errors),
        "over_10": sum(e > 10 for e in errors),
        "median": round(median, 2) if median is not None else None,
        "mean": round(sum(errors) / count, 2) if count else None,
    }


def read_jsonl(path):
    with open(path) as fh:
        return [json.loads(line) for line in fh if line.strip()]


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as fh:
        for block in iter(lambda: fh.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main(argv=None):
    ap = argparse.ArgumentParser(description="Write the record of a build-models run.")
    ap.add_argument("--out", required=True)
    ap.add_argument("--commit", required=True)
    ap.add_argument("--command", required=True)
    ap.add_argument("--models", required=True)
    ap.add_argument("--runs", required=True)
    ap.add_argument("--reports", nargs="+", required=True)
    ap.add_argument("--real", action="append", default=[], metavar="SPLIT=FILE")
    ap.add_argument("--seed", action="append", default=[], metavar="KEY=N")
    args = ap.parse_args(argv)
    seeds = {}
    for item in args.seed:
        key, _, value = item.partition("=")
        seeds[key] = int(value)
    record = {
        "commit": args.commit,
        "command": args.command,
        "seeds": seeds,
        "figures": {},
        "models": {name: {"sha256": sha256(os.path.join(args.models, name))} for name in ("1.bin", "2.bin")},
    }
    for name in args.reports:
        with open(os.path.join(args.runs, "evaluate-%s.txt" % name)) as fh:
            record["figures"][name] = figures(fh.read())
    for item in args.real:
        split, _, path = item.partition("=")
        record.setdefault("real", {}).setdefault("gauges-cc-by", {})[split] = real_figures(read_jsonl(path))
    with open(args.out + ".partial", "w") as fh:
        json.dump(record, fh, indent=1)
        fh.write("\n")
    os.replace(args.out + ".partial", args.out)


if __name__ == "__main__":
    main()
