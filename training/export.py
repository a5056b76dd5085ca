"""Writes a trained model as the ONNX file the engine loads, and checks it.

  python3 -m training.export --checkpoint OUT/last.pt --finder FINDER/last.pt --onnx model.onnx
                             [--direction DIRECTION/last.pt] [--raw-weights] [--without RULE ...]

The graph is coarse to fine (graph.CoarseToFine): it takes the engine's
FRAME_SIZE letterbox, finds the dial on a pooled view and reads the
checkpoint's network on a crop of the full-resolution input; a dial graph
with --direction has the direction network order its scale.

The moving-average weights are written (--raw-weights: the trained ones).
The graph has one input "images" [1, 3, S, S] (RGB, 0..1) and one output
"output0" [1, values, cells] with the decoding inside, opset 16. Checks:
onnx.checker, fixed shapes after shape inference, and the output of ONNX
Runtime (the library the engine links, through tools/ortrun) against PyTorch's on a rendered frame. The needle's centre is written
half a pixel on, for the engine's cut to whole pixels (see
graph.CoarseToFine).
"""
import argparse
import os
import subprocess
import tempfile

import numpy as np
import onnx
import onnx.numpy_helper
import torch

from . import contract
from . import direction as DIR
from . import graph as G
from . import model as M

HERE = os.path.dirname(os.path.abspath(__file__))

# The project's tools/ortrun, built with the engine; build-models and ctest name theirs.
ORTRUN_DEFAULT = os.path.join(HERE, "..", "build", "tools", "ortrun", "ortrun")


def load(checkpoint, raw_weights):
    saved = torch.load(checkpoint, map_location="cpu")
    net = M.Net(saved["task"], saved["size"])
    net.load_state_dict(saved["model" if raw_weights else "ema"])
    return net.eval()


def load_direction(checkpoint, raw_weights):
    saved = torch.load(checkpoint, map_location="cpu")
    if saved.get("task") != "direction":
        raise SystemExit("export: %s is no direction network" % checkpoint)
    net = DIR.DirectionNet()
    net.load_state_dict(saved["model" if raw_weights else "ema"])
    return net.eval()


def fixed_shape(value_info):
    return [d.dim_value if d.HasField("dim_value") else None for d in value_info.type.tensor_type.shape.dim]


def check_graph(path, expected_in, expected_out):
    m = onnx.load(path)
    onnx.checker.check_model(m)
    inferred = onnx.shape_inference.infer_shapes(m, strict_mode=True)
    ins, outs = list(inferred.graph.input), list(inferred.graph.output)
    if [i.name for i in ins] != ["images"] or [o.name for o in outs] != ["output0"]:
        raise SystemExit("export: inputs %s, outputs %s" % ([i.name for i in ins], [o.name for o in outs]))
    for vi, want in ((ins[0], expected_in), (outs[0], expected_out)):
        if fixed_shape(vi) != list(want) or vi.type.tensor_type.elem_type != onnx.TensorProto.FLOAT:
            raise SystemExit("export: %s has shape %s, expected float32 %s" % (vi.name, fixed_shape(vi), want))


def compact(path):
    """Node names, the exporter's long tensor names and attributes written
    at their defaults only help a reader of the graph: they go, and names
    become short numbers, which keeps the packed model small. The graph's
    input and output keep their names."""
    m = onnx.load(path)
    drop_copies(m.graph)
    opset = {o.domain: o.version for o in m.opset_import}
    keep = {v.name for v in list(m.graph.input) + list(m.graph.output)}
    names = {}

    def short(name):
        if not name or name in keep:
            return name
        return names.setdefault(name, format(len(names), "x"))

    for t in m.graph.initializer:
        t.name = short(t.name)
    for v in m.graph.value_info:
        v.name = short(v.name)
    for node in m.graph.node:
        node.name = ""
        schema = onnx.defs.get_schema(node.op_type, opset[node.domain], node.domain)
        kept = [a for a in node.attribute if not at_default(a, schema)]
        del node.attribute[:]
        node.attribute.extend(kept)
        node.input[:] = [short(n) for n in node.input]
        node.output[:] = [short(n) for n in node.output]
    onnx.save(m, path)


def state_contract(path, task, input_size):
    """Writes into the model the contract it was made for (contract.metadata):
    the engine refuses a model that states another layout, key-point order or
    input size, and reads it with the thresholds it states. The smoke build
    reads every exported model through the engine."""
    m = onnx.load(path)
    onnx.helper.set_model_props(m, contract.metadata(task, input_size))
    onnx.save(m, path)


def at_default(attr, schema):
    """Whether attr holds the value its operator takes when it is left out."""
    known = schema.attributes.get(attr.name)
    if known is None or known.default_value.type == onnx.AttributeProto.UNDEFINED:
        return False
    return (known.default_value.type == attr.type and
            onnx.helper.get_attribute_value(known.default_value) == onnx.helper.get_attribute_value(attr))


def drop_copies(graph):
    """Turns the graph's Constant nodes into initializers, one for each
    distinct value, however many nodes hold it. Identity nodes go too, all
    but those that give the graph its output: their readers read what they
    copy."""
    outputs = {v.name for v in graph.output}
    by_value, renamed, kept = {}, {}, []
    for node in graph.node:
        if node.op_type == "Constant" and [a.name for a in node.attribute] == ["value"]:
            t = node.attribute[0].t
            key = (t.data_type, tuple(t.dims), onnx.numpy_helper.to_array(t).tobytes())
            if key not in by_value:
                by_value[key] = node.output[0]
                t.name = node.output[0]
                graph.initializer.append(t)
            renamed[node.output[0]] = by_value[key]
        elif node.op_type == "Identity" and node.output[0] not in outputs:
            renamed[node.output[0]] = node.input[0]
        else:
            kept.append(node)
    del graph.node[:]
    graph.node.extend(kept)

    def source(name):
        while renamed.get(name, name) != name:
            name = renamed[name]
        return name

    for node in graph.node:
        node.input[:] = [source(n) for n in node.input]


def ortrun_binary():
    """tools/ortrun of a build: DIALVANE_ORTRUN, or the repository's build/."""
    exe = os.environ.get("DIALVANE_ORTRUN") or os.path.normpath(ORTRUN_DEFAULT)
    if not os.access(exe, os.X_OK):
        raise SystemExit("export: no %s (cmake --build build --target ortrun, or set DIALVANE_ORTRUN)" % exe)
    return exe


def sample_frames():
    """Rendered frames with a small gauge, and with two, so the check covers
    realistic activations, the winning candidates and the second look at a
    candidate outside the crop, not only noise."""
    from .render import render_frame
    from .train.data import prepare, to_tensor
    frames = []
    for index, gauges in ((0, 1), (3, 2)):       # frame 3's gauges are both over a seventh of the short side
        img, lab, _ = render_frame(12345, index, gauges=gauges)
        frames.append(to_tensor(prepare(img, lab, M.FRAME_SIZE)[0]).unsqueeze(0))
    return frames


def clear(wrapped, x):
    """Whether ONNX Runtime's rounding must take the graph's path on x: the
    finder's best dial leads the next by more than that rounding, and for a
    dial graph the strongest candidate outside its crop is clearly under the
    second look's threshold, or clearly over it and ahead of the next. Else
    it could crop elsewhere (two near-equal dials of an untrained finder)."""
    def leads(scores):
        return float(-torch.diff(scores[0].topk(2).values)) > 1e-3

    with torch.no_grad():
        found = wrapped.found(torch.nn.functional.avg_pool2d(x, M.POOL))
        if not leads(found[:, 4]):
            return False
        if wrapped.net.task != "pose":
            return True
        outer = wrapped.outside(found, G.best_column(found))
        margin = float(outer.max()) - G.ENGINE_DIAL_SCORE
        if wrapped.turns():
            # An untrained direction network's logit is near zero, where the rounding could turn the scale.
            wrapped(x)
            if float((wrapped.turn_logit - G.TURN_LOGIT).abs().min()) <= 1e-3:
                return False
        return margin < -1e-3 or (margin > 1e-3 and leads(outer))


def setting(text):
    """NAME=VALUE of a graph constant, the value of the constant's own type."""
    name, _, value = text.partition("=")
    if name not in G.CONSTANTS:
        raise argparse.ArgumentTypeError("no graph constant %s (of %s)" % (name, ", ".join(G.CONSTANTS)))
    try:
        return name, type(getattr(G, name))(value)
    except ValueError:
        raise argparse.ArgumentTypeError("%s takes a %s" % (name, type(getattr(G, name)).__name__))


def main():
    ap = argparse.ArgumentParser(description="Export a checkpoint to ONNX and check it.")
    ap.add_argument("--checkpoint", required=True)
    ap.add_argument("--onnx", required=True)
    ap.add_argument("--raw-weights", action="store_true")
    ap.add_argument("--finder", required=True, help="the finder checkpoint that places the crop the graph reads")
    ap.add_argument("--direction", help="the direction network's checkpoint, which orders a dial graph's scale")
    ap.add_argument("--without", action="append", default=[], choices=sorted(G.RULES),
                    help="a graph rule left out (graph.RULES), to measure what it is worth")
    ap.add_argument("--set", action="append", default=[], metavar="NAME=VALUE", type=setting,
                    help="a constant of graph.CONSTANTS at another value, to measure what its own is worth")
    args = ap.parse_args()
    for rule in args.without:
        G.RULES[rule] = False
    for name, value in args.set:
        setattr(G, name, value)
    torch.set_num_threads(2)

    net = load(args.checkpoint, args.raw_weights)
    finder = load(args.finder, args.raw_weights)
    if finder.task != "finder" or net.task == "finder":
        raise SystemExit("export: --finder takes a finder checkpoint, for a dial or needle model")
    direction = load_direction(args.direction, args.raw_weights) if args.direction else None
    wrapped = G.CoarseToFine(finder, net, round_needle=True, direction=direction).eval()
    cells = net.grid * net.grid + (finder.grid * finder.grid if net.task == "pose" else 0)
    frames = [x for x in sample_frames() if clear(wrapped, x)]
    if frames:
        write(net.task, args.checkpoint, args.onnx, wrapped, cells, frames)
        return
    # The graph is checked on its shapes, and the finder's table on its own.
    print("export: no check frame has a clear best dial (and scale direction); the finder's table is checked alone")
    x = sample_frames()[0]
    with tempfile.TemporaryDirectory() as tmp:
        found = os.path.join(tmp, "finder.onnx")
        write("finder", args.finder, found, Found(wrapped), finder.grid * finder.grid, [x])
    torch.onnx.export(wrapped, torch.zeros(1, 3, M.FRAME_SIZE, M.FRAME_SIZE), args.onnx, opset_version=16,
                      input_names=["images"], output_names=["output0"], do_constant_folding=True)
    finish(net.task, args.checkpoint, args.onnx, [x], None,
           (1, M.POSE_VALUES if net.task == "pose" else M.NEEDLE_VALUES, cells))


class Found(torch.nn.Module):
    """The finder's table of a coarse-to-fine graph, in input pixels."""

    def __init__(self, wrapped):
        super().__init__()
        self.wrapped = wrapped

    def forward(self, images):
        return self.wrapped.found(torch.nn.functional.avg_pool2d(images, M.POOL))


def write(task, checkpoint, onnx_path, wrapped, cells, frames):
    """Exports wrapped, whose table has cells candidates, and checks it on frames."""
    values = {"pose": M.POSE_VALUES, "needle": M.NEEDLE_VALUES, "finder": M.FINDER_CHANNELS}[task]
    s = frames[0].shape[-1]
    with torch.no_grad():
        wants = [wrapped(x).numpy() for x in frames]
    assert wants[0].shape == (1, values, cells), wants[0].shape
    torch.onnx.export(wrapped, torch.zeros(1, 3, s, s), onnx_path, opset_version=16, input_names=["images"],
                      output_names=["output0"], do_constant_folding=True)
    finish(task, checkpoint, onnx_path, frames, wants, (1, values, cells))


def finish(task, checkpoint, onnx_path, frames, wants, expected_out):
    """Compacts the exported graph and checks its shapes and, unless wants
    is None, ONNX Runtime's output on each of frames against PyTorch's."""
    s = frames[0].shape[-1]
    compact(onnx_path)
    state_contract(onnx_path, task, s)
    check_graph(onnx_path, (1, 3, s, s), expected_out)
    if wants is None:
        return
    with tempfile.TemporaryDirectory() as tmp:
        exe = ortrun_binary()
        for x, want in zip(frames, wants):
            x.numpy().astype(np.float32).tofile(os.path.join(tmp, "in.f32"))
            subprocess.run([exe, onnx_path, os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")], check=True)
            got = np.fromfile(os.path.join(tmp, "out.f32"), np.float32).reshape(expected_out)
            compare(task, checkpoint, onnx_path, got, want)


def compare(task, what, onnx_path, got, want):
    # Pixel outputs reach a few hundred; an absolute error of 1e-2 px is far
    # below the engine's integer truncation. Scores must agree closely.
    # Pixels and the needle's angle count on the candidates the engine could
    # take: on hopeless ones the tenths' angle between two nearly opposite
    # points flips with the rounding, and so does the needle's axis where its
    # (cos 2a, sin 2a) is near zero. 1e-3 rad is a fiftieth of a percent of a
    # 270-degree scale.
    diff = np.abs(got - want)
    # An untrained model may score nothing that high; its best candidate still counts.
    taken = want[0, 4] >= min(0.01, float(want[0, 4].max()))
    px = [r for r in range(diff.shape[1]) if r != 4 and not (task == "needle" and r == 5)]
    worst_px, worst_score = float(diff[:, px][:, :, taken].max()), float(diff[:, 4].max())
    worst_angle = 0.0
    if task == "needle":
        turn = (got[0, 5, taken] - want[0, 5, taken]) % np.pi
        worst_angle = float(np.minimum(turn, np.pi - turn).max())
    best = int(np.argmax(want[0, 4]))
    print("export: %s %s -> %s; ONNX Runtime vs PyTorch: max |diff| %.2e (scores %.2e, angles %.2e); "
          "best candidate %s" % (task, what, onnx_path, worst_px, worst_score, worst_angle,
                                 np.array2string(want[0, :6, best], precision=2)))
    if not np.isfinite(got).all() or worst_px > 1e-2 or worst_score > 1e-4 or worst_angle > 1e-3:
        raise SystemExit("export: ONNX Runtime's output differs from PyTorch's")


if __name__ == "__main__":
    main()
