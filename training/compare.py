"""Paired comparison of two tools/evaluate reports on the same set.

Each image is a pair (A, B), so the count of images within 2 % (or 5 %) of
the span differs by the images that changed, and its standard error is that
of the per-image differences: sqrt(n var(d)). A difference under two
standard errors is noise. A refusal the frame asks for counts as a pass,
any other refusal as a fail.

  python3 -m training.compare A.txt B.txt [--label A --label B]
"""
import argparse
import math
import re
import sys

READ = re.compile(r"^(\S+)\s+read \S+, true \S+ \(([0-9.]+)%\)")


def outcomes(path):
    """{image: percent error, or None for a wrong refusal, or -1.0 for a right one}."""
    found = {}
    with open(path) as f:
        for line in f:
            if line.startswith("images:"):
                break
            m = READ.match(line)
            if m:
                found[m.group(1)] = float(m.group(2))
            elif " refused, as it should be" in line:
                found[line.split()[0]] = -1.0
            elif " refused; true " in line or " should be refused" in line:
                found[line.split()[0]] = None
    return found


def passes(error, limit):
    return error is not None and error <= limit


def paired(a, b, limit):
    """(count A, count B, B better, B worse, standard error of B - A) within limit."""
    d = [passes(b[k], limit) - passes(a[k], limit) for k in a]
    n = len(d)
    mean = sum(d) / n
    se = math.sqrt(n * sum((x - mean) ** 2 for x in d) / max(n - 1, 1))
    return (sum(passes(a[k], limit) for k in a), sum(passes(b[k], limit) for k in a),
            d.count(1), d.count(-1), se)


def beyond_noise(na, nb, se):
    """Whether counts na and nb of paired images differ by two standard errors or more."""
    return nb != na and abs(nb - na) >= 2 * se


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("a")
    ap.add_argument("b")
    ap.add_argument("--label", action="append", default=[])
    args = ap.parse_args()
    names = (args.label + [args.a, args.b])[:2] if len(args.label) == 2 else [args.a, args.b]
    a, b = outcomes(args.a), outcomes(args.b)
    common = sorted(set(a) & set(b))
    if not common:
        sys.exit("compare: the reports share no image")
    a = {k: a[k] for k in common}
    b = {k: b[k] for k in common}
    print(f"{len(common)} images in both; A = {names[0]}, B = {names[1]}")
    for limit in (2.0, 5.0):
        na, nb, up, down, se = paired(a, b, limit)
        verdict = "beyond noise" if beyond_noise(na, nb, se) else "within noise"
        print(f"within {limit:g}%: A {na}, B {nb}; B better on {up}, worse on {down}; "
              f"B - A = {nb - na:+d} +- {se:.1f} (1 SE), {verdict}")


if __name__ == "__main__":
    main()
