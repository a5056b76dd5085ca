"""A rendered set's labels as tools/evaluate reads them.

  python3 -m training.evaluate_labels DIR/labels.jsonl DIR/labels.json

Each entry: the image, min, max and the reading in the scale's units; for
frames also the scale's width over the frame's short side ("scale_share",
which splits evaluate's figures by dial size) and the number of gauges
(0 or 2: a frame the engine must refuse).
"""
import json
import sys


def entry(lab):
    out = {"image": lab["image"]}
    if lab.get("gauges", 1) != 1:
        out["gauges"] = lab["gauges"]
        return out
    lo, hi = float(lab["min"]), float(lab["max"])
    out.update(min=lab["min"], max=lab["max"], reading=round(lo + lab["reading"] * (hi - lo), 6))
    if "scale_share" in lab:
        out["scale_share"] = lab["scale_share"]
    return out


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 2:
        sys.exit(__doc__.strip().splitlines()[2].strip())
    with open(argv[0]) as fh:
        labels = [entry(json.loads(line)) for line in fh if line.strip()]
    with open(argv[1], "w") as fh:
        json.dump(labels, fh, indent=0)


if __name__ == "__main__":
    main()
