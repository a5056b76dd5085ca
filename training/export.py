#!/usr/bin/python3
"""Writes a trained model as the ONNX file the engine loads, and checks it.

  export.py --checkpoint OUT/last.pt --onnx model.onnx [--raw-weights] [--direction RUN/last.pt]
            [--finder FINDER/last.pt] [--without RULE ...]

With --finder the graph is coarse to fine (model.CoarseToFine): it takes the
engine's FRAME_SIZE letterbox, finds the dial on a pooled view and reads the
checkpoint's network on a crop of the full-resolution input.

The moving-average weights are written (--raw-weights: the trained ones).
A dial model takes the scale-direction network of --direction into its
graph (see model.turn_when_reversed), and with it the second looks, as
ONNX Ifs (model.look_again).
The graph has one input "images" [1, 3, S, S] (RGB, 0..1) and one output
"output0" [1, values, cells] with the decoding inside, opset 16. Checks:
onnx.checker, fixed shapes after shape inference, and the output of ONNX
Runtime (the library the engine links, through ortrun.cpp, built on first
use) against PyTorch's on a rendered gauge, for a dial model also with the
Ifs forced onto each second look. The needle's centre is written
half a pixel on, for the engine's cut to whole pixels (see model.Exported).
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
import onnx.numpy_helper
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import model as M  # noqa: E402

# Where ONNX Runtime may be: the system package, or what scripts/setup-deps fetched.
ORT_PLACES = [
    (os.path.join(HERE, "..", "third_party", "onnxruntime", "include"),
     os.path.join(HERE, "..", "third_party", "onnxruntime", "lib", "libonnxruntime.so.1")),
    ("/usr/include/onnxruntime", "/usr/lib/x86_64-linux-gnu/libonnxruntime.so"),
]


def load(checkpoint, raw_weights):
    saved = torch.load(checkpoint, map_location="cpu")
    net = M.Net(saved["task"], saved["size"])
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


def graphs(graph):
    """The graph and, depth first, every graph nested in its nodes (the
    branches of Ifs). Each is yielded before its nodes are searched, so the
    caller may drop nodes that hold no graph."""
    yield graph
    for node in graph.node:
        for attr in node.attribute:
            if attr.type == onnx.AttributeProto.GRAPH:
                yield from graphs(attr.g)


def compact(path):
    """Node names, the exporter's long tensor names and attributes written
    at their defaults only help a reader of the graph. Without them, and
    with short numbers for the names, the packed dial model, direction
    network and second looks included, keeps under 10 MB. The graph's
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

    for graph in graphs(m.graph):
        for t in graph.initializer:
            t.name = short(t.name)
        for v in graph.value_info:
            v.name = short(v.name)
        for v in graph.output:
            v.name = short(v.name)
        for node in graph.node:
            node.name = ""
            schema = onnx.defs.get_schema(node.op_type, opset[node.domain], node.domain)
            kept = [a for a in node.attribute if not at_default(a, schema)]
            del node.attribute[:]
            node.attribute.extend(kept)
            node.input[:] = [short(n) for n in node.input]
            node.output[:] = [short(n) for n in node.output]
    onnx.save(m, path)


def at_default(attr, schema):
    """Whether attr holds the value its operator takes when it is left out."""
    known = schema.attributes.get(attr.name)
    if known is None or known.default_value.type == onnx.AttributeProto.UNDEFINED:
        return False
    return (known.default_value.type == attr.type and
            onnx.helper.get_attribute_value(known.default_value) == onnx.helper.get_attribute_value(attr))


def drop_copies(graph):
    """Turns the Constant nodes, of the graph and of its branches, into
    initializers of the graph, one for each distinct value: the second look
    repeats the first look's constants. Identity nodes go too, all but those
    that give a graph its output: their readers read what they copy."""
    outputs = {v.name for g in graphs(graph) for v in g.output}
    by_value, renamed = {}, {}
    for g in graphs(graph):
        kept = []
        for node in g.node:
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
        del g.node[:]
        g.node.extend(kept)

    def source(name):
        while renamed.get(name, name) != name:
            name = renamed[name]
        return name

    for g in graphs(graph):
        for node in g.node:
            node.input[:] = [source(n) for n in node.input]


def branch_looks(path):
    """The exported dial model computes each second look on every picture and
    then picks one with the Where nodes that end the graph. Each of those
    Wheres becomes an If whose branches hold the nodes only their side
    needs, so ONNX Runtime runs a look only where it is taken. Branches read
    the weights, and whatever both sides share, from the enclosing graph."""
    m = onnx.load(path)
    out = m.graph.output[0]
    shape = [d.dim_value for d in out.type.tensor_type.shape.dim]

    def result(name):
        return onnx.helper.make_tensor_value_info(name, out.type.tensor_type.elem_type, shape)

    def split(nodes, target):
        """nodes with the Where that computes target, and those of its else
        side, turned into Ifs; and the number of nodes moved into branches."""
        producer = {name: i for i, node in enumerate(nodes) for name in node.output}
        final = producer.get(target)
        if final is None or nodes[final].op_type != "Where":
            return nodes, 0

        def ancestors(name):
            seen, todo = set(), [name]
            while todo:
                i = producer.get(todo.pop())
                if i is not None and i not in seen:
                    seen.add(i)
                    todo.extend(nodes[i].input)
            return seen

        cond, then_out, else_out = nodes[final].input
        then_only = ancestors(then_out) - ancestors(cond) - ancestors(else_out)
        else_only = ancestors(else_out) - ancestors(cond) - ancestors(then_out)
        else_nodes = split([nodes[i] for i in sorted(else_only)], else_out)[0]
        branches = []
        for side, names, inner, name in (("then", then_only, [nodes[i] for i in sorted(then_only)], then_out),
                                         ("else", else_only, else_nodes, else_out)):
            if not names:
                # A branch must compute its result: hand the outer value on.
                inner = [onnx.helper.make_node("Identity", [name], [name + "_" + side])]
                name = name + "_" + side
            branches.append(onnx.helper.make_graph(inner, side, [], [result(name)]))
        choice = onnx.helper.make_node("If", [cond], [target], then_branch=branches[0], else_branch=branches[1])
        kept = [node for i, node in enumerate(nodes) if i not in then_only | else_only and i != final]
        return kept + [choice], len(then_only) + len(else_only)

    nodes, moved = split(list(m.graph.node), out.name)
    del m.graph.node[:]
    m.graph.node.extend(nodes)
    del m.graph.value_info[:]
    onnx.save(m, path)
    return moved


def forced_looks(path, forced, choices):
    """A copy of the dial model whose Ifs take the given sides: the first for
    the last If of the graph, the next for the last If of its else side."""
    m = onnx.load(path)
    graph = m.graph
    for k, choice in enumerate(choices):
        branch = graph.node[-1]
        name = "forced_%d" % k
        graph.node.insert(len(graph.node) - 1, onnx.helper.make_node(
            "Constant", [], [name], value=onnx.helper.make_tensor(name, onnx.TensorProto.BOOL, [1], [choice])))
        branch.input[0] = name
        graph = [a.g for a in branch.attribute if a.name == "else_branch"][0]
    onnx.save(m, forced)


def ortrun_binary(build_dir):
    exe = os.path.join(build_dir, "ortrun")
    src = os.path.join(HERE, "ortrun.cpp")
    if os.path.exists(exe) and os.path.getmtime(exe) >= os.path.getmtime(src):
        return exe
    for inc, lib in ORT_PLACES:
        if os.path.exists(os.path.join(inc, "onnxruntime_cxx_api.h")) and os.path.exists(lib):
            os.makedirs(build_dir, exist_ok=True)
            subprocess.run(["c++", "-std=c++17", "-O1", "-I", inc, src, lib,
                            "-Wl,-rpath," + os.path.dirname(os.path.abspath(lib)), "-o", exe], check=True)
            return exe
    raise SystemExit("export: no ONNX Runtime found (run scripts/setup-deps)")


def sample_input(size, frame=False):
    """A rendered gauge, so the check covers realistic activations and the
    winning candidates, not only noise; with frame, a small one in a wide frame."""
    import render
    import train
    img, lab, _ = render.render_frame(12345, 0, gauges=1) if frame else render.render_sample(12345, 0, 640)
    rgb = train.prepare(img, lab, size)[0]
    return train.to_tensor(rgb).unsqueeze(0)


def main():
    ap = argparse.ArgumentParser(description="Export a checkpoint to ONNX and check it.")
    ap.add_argument("--checkpoint", required=True)
    ap.add_argument("--onnx", required=True)
    ap.add_argument("--raw-weights", action="store_true")
    ap.add_argument("--direction", help="a direction.py checkpoint, for a dial model")
    ap.add_argument("--finder", help="a finder checkpoint: the graph reads a crop about the dial it finds")
    ap.add_argument("--without", action="append", default=[], choices=sorted(M.RULES),
                    help="a graph rule left out (model.RULES), to measure what it is worth")
    args = ap.parse_args()
    for rule in args.without:
        M.RULES[rule] = False
    torch.set_num_threads(2)

    net = load(args.checkpoint, args.raw_weights)
    if args.finder:
        finder = load(args.finder, args.raw_weights)
        if finder.task != "finder" or net.task == "finder" or args.direction:
            raise SystemExit("export: --finder takes a finder checkpoint, for a dial or needle model alone")
        wrapped = M.CoarseToFine(finder, net, round_needle=True).eval()
        cells = net.grid * net.grid + (finder.grid * finder.grid if net.task == "pose" else 0)
        x = sample_input(M.FRAME_SIZE, True)
        with torch.no_grad():
            scores = wrapped.found(torch.nn.functional.avg_pool2d(x, M.POOL))[0, 4].topk(2).values
        if float(scores[0] - scores[1]) > 1e-3:
            write(net.task, args.checkpoint, args.onnx, wrapped, M.FRAME_SIZE, cells, x)
            return
        # Two near-equal best dials (an untrained finder): ONNX Runtime's
        # rounding may pick the other, and crop elsewhere. The graph is
        # checked on its shapes, and the finder's table on its own.
        print("export: the finder has no clear best dial on the check's frame; its table is checked alone")
        with tempfile.TemporaryDirectory() as tmp:
            found = os.path.join(tmp, "finder.onnx")
            write("finder", args.finder, found, Found(wrapped), M.FRAME_SIZE, finder.grid * finder.grid, x)
        torch.onnx.export(wrapped, torch.zeros(1, 3, M.FRAME_SIZE, M.FRAME_SIZE), args.onnx, opset_version=16,
                          input_names=["images"], output_names=["output0"], do_constant_folding=True)
        finish(net.task, args.checkpoint, args.onnx, x, [], (1, M.POSE_VALUES if net.task == "pose" else
                                                            M.NEEDLE_VALUES, cells))
        return
    direction = None
    if args.direction:
        if net.task != "pose":
            raise SystemExit("export: --direction is for a dial model")
        direction = M.Direction()
        direction.load_state_dict(torch.load(args.direction, map_location="cpu")["model"])
    wrapped = M.Exported(net, round_needle=True, direction=direction).eval()
    s = net.size
    values = M.POSE_VALUES if net.task == "pose" else M.NEEDLE_VALUES
    # A dial model with its second looks has twice the cells (model.look_again).
    expected_out = (1, values, net.grid * net.grid * (2 if direction is not None else 1))
    x = sample_input(s)
    with torch.no_grad():
        want = wrapped(x).numpy()
    assert want.shape == expected_out, want.shape
    torch.onnx.export(wrapped, torch.zeros(1, 3, s, s), args.onnx, opset_version=16, input_names=["images"],
                      output_names=["output0"], do_constant_folding=True)
    # (the Ifs' sides, forced, or None for the graph as it is; what PyTorch gives)
    checks = [(None, want)]
    if direction is not None:
        print("export: %d nodes run only where their look is taken" % branch_looks(args.onnx))
        with torch.no_grad():
            first = M.turn_when_reversed(direction, x, net.decode(net(x)))
            checks += [([True], M.unscored_half(M.mirrored_look(net, x)).numpy()),
                       ([False, True], M.zoomed_look(net, x, first, M.zoom_side(first)).numpy())]
    finish(net.task, args.checkpoint, args.onnx, x, checks, expected_out)


class Found(torch.nn.Module):
    """The finder's table of a coarse-to-fine graph, in input pixels."""

    def __init__(self, wrapped):
        super().__init__()
        self.wrapped = wrapped

    def forward(self, images):
        return self.wrapped.found(torch.nn.functional.avg_pool2d(images, M.POOL))


def write(task, checkpoint, onnx_path, wrapped, s, cells, x):
    """Exports wrapped at input s, whose table has cells candidates, and checks it on x."""
    values = {"pose": M.POSE_VALUES, "needle": M.NEEDLE_VALUES, "finder": M.FINDER_CHANNELS}[task]
    with torch.no_grad():
        want = wrapped(x).numpy()
    assert want.shape == (1, values, cells), want.shape
    torch.onnx.export(wrapped, torch.zeros(1, 3, s, s), onnx_path, opset_version=16, input_names=["images"],
                      output_names=["output0"], do_constant_folding=True)
    finish(task, checkpoint, onnx_path, x, [(None, want)], (1, values, cells))


def finish(task, checkpoint, onnx_path, x, checks, expected_out):
    """Compacts the exported graph and checks its shapes and, through ONNX
    Runtime, its output on x against checks: (the Ifs' sides, forced, or
    None for the graph as it is; what PyTorch gives)."""
    s = x.shape[-1]
    compact(onnx_path)
    check_graph(onnx_path, (1, 3, s, s), expected_out)

    with tempfile.TemporaryDirectory() as tmp:
        exe = ortrun_binary(os.path.join(os.path.dirname(os.path.abspath(onnx_path)), ".ortrun"))
        x.numpy().astype(np.float32).tofile(os.path.join(tmp, "in.f32"))
        for choices, expected in checks:
            path = onnx_path
            if choices is not None:
                path = os.path.join(tmp, "forced.onnx")
                forced_looks(onnx_path, path, choices)
            subprocess.run([exe, path, os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")], check=True)
            got = np.fromfile(os.path.join(tmp, "out.f32"), np.float32).reshape(expected_out)
            what = checkpoint if choices is None else "(Ifs forced %s)" % choices
            compare(task, what, onnx_path, got, expected)


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
