#!/usr/bin/python3
"""Writes a trained model as the ONNX file the engine loads, and checks it.

  export.py --checkpoint OUT/last.pt --onnx model.onnx [--raw-weights] [--direction RUN/last.pt]

The moving-average weights are written (--raw-weights: the trained ones).
A dial model takes the scale-direction network of --direction into its
graph (see model.turn_when_reversed), and with it the mirrored second look
at counter-clockwise scales, as an ONNX If (model.look_again_mirrored).
The graph has one input "images" [1, 3, S, S] (RGB, 0..1) and one output
"output0" [1, values, cells] with the decoding inside, opset 16. Checks:
onnx.checker, fixed shapes after shape inference, and the output of ONNX
Runtime (the library the engine links, through ortrun.cpp, built on first
use) against PyTorch's on a rendered gauge, for a dial model also with the
If forced onto the second look. The needle's centre is written
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


def compact(path):
    """Node names and the exporter's long tensor names only help a reader of
    the graph. Without the one and with short numbers for the other, the
    packed dial model, direction network and second look included, keeps
    under 10 MB. The graph's input and output keep their names."""
    m = onnx.load(path)
    share_constants(m.graph)
    keep = {v.name for v in list(m.graph.input) + list(m.graph.output)}
    names = {}

    def short(name):
        if not name or name in keep:
            return name
        return names.setdefault(name, format(len(names), "x"))

    def walk(graph):
        for t in graph.initializer:
            t.name = short(t.name)
        for v in graph.value_info:
            v.name = short(v.name)
        for v in graph.output:
            v.name = short(v.name)
        for node in graph.node:
            node.name = ""
            node.input[:] = [short(n) for n in node.input]
            node.output[:] = [short(n) for n in node.output]
            for attr in node.attribute:
                if attr.type == onnx.AttributeProto.GRAPH:
                    walk(attr.g)

    walk(m.graph)
    onnx.save(m, path)


def share_constants(graph):
    """Turns the Constant nodes, of the graph and of its branches, into
    initializers of the graph, one for each distinct value: the second look
    repeats the first look's constants."""
    by_value, renamed = {}, {}

    def walk(g):
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
                continue
            kept.append(node)
            for attr in node.attribute:
                if attr.type == onnx.AttributeProto.GRAPH:
                    walk(attr.g)
        del g.node[:]
        g.node.extend(kept)

    def rename(g):
        for node in g.node:
            node.input[:] = [renamed.get(n, n) for n in node.input]
            for attr in node.attribute:
                if attr.type == onnx.AttributeProto.GRAPH:
                    rename(attr.g)

    walk(graph)
    rename(graph)


def branch_second_look(path):
    """The exported dial model computes its mirrored second look on every
    picture and then picks it with the final Where(counter-clockwise, second
    look, first look). That Where becomes an If whose then-branch holds the
    nodes that only the second look needs, so ONNX Runtime runs them only
    where the scale runs counter-clockwise. The branches read the weights
    from the outer graph."""
    m = onnx.load(path)
    g = m.graph
    final = [i for i, n in enumerate(g.node) if g.output[0].name in n.output]
    if len(final) != 1 or g.node[final[0]].op_type != "Where":
        raise SystemExit("export: the dial model's output does not come from the second look's Where")
    cond, second, first = g.node[final[0]].input
    producer = {name: i for i, node in enumerate(g.node) for name in node.output}

    def ancestors(name):
        seen, todo = set(), [name]
        while todo:
            i = producer.get(todo.pop())
            if i is not None and i not in seen:
                seen.add(i)
                todo.extend(g.node[i].input)
        return seen

    only = ancestors(second) - ancestors(cond) - ancestors(first)
    moved = {name for i in only for name in g.node[i].output}
    out = g.output[0]
    shape = [d.dim_value for d in out.type.tensor_type.shape.dim]

    def result(name):
        return onnx.helper.make_tensor_value_info(name, out.type.tensor_type.elem_type, shape)

    then_graph = onnx.helper.make_graph([g.node[i] for i in sorted(only)], "second_look", [], [result(second)],
                                        value_info=[v for v in g.value_info if v.name in moved])
    else_graph = onnx.helper.make_graph([onnx.helper.make_node("Identity", [first], ["first_look"])],
                                        "first_look", [], [result("first_look")])
    branch = onnx.helper.make_node("If", [cond], [out.name], then_branch=then_graph, else_branch=else_graph)
    kept = [node for i, node in enumerate(g.node) if i not in only and i != final[0]]
    info = [v for v in g.value_info if v.name not in moved]
    del g.node[:]
    g.node.extend(kept + [branch])
    del g.value_info[:]
    g.value_info.extend(info)
    onnx.save(m, path)
    return len(only)


def forced_second_look(path, forced):
    """A copy of the dial model whose If always takes the second look, so
    that the check covers that branch whatever the sample's scale does."""
    m = onnx.load(path)
    branch = m.graph.node[-1]
    m.graph.node.insert(len(m.graph.node) - 1, onnx.helper.make_node(
        "Constant", [], ["always"], value=onnx.helper.make_tensor("always", onnx.TensorProto.BOOL, [1], [True])))
    branch.input[0] = "always"
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


def sample_input(size):
    """A rendered gauge, so the check covers realistic activations and the
    winning candidates, not only noise."""
    import render
    import train
    img, lab, _ = render.render_sample(12345, 0, 640)
    rgb = train.prepare(img, lab, size)[0]
    return train.to_tensor(rgb).unsqueeze(0)


def main():
    ap = argparse.ArgumentParser(description="Export a checkpoint to ONNX and check it.")
    ap.add_argument("--checkpoint", required=True)
    ap.add_argument("--onnx", required=True)
    ap.add_argument("--raw-weights", action="store_true")
    ap.add_argument("--direction", help="a direction.py checkpoint, for a dial model")
    args = ap.parse_args()
    torch.set_num_threads(2)

    net = load(args.checkpoint, args.raw_weights)
    direction = None
    if args.direction:
        if net.task != "pose":
            raise SystemExit("export: --direction is for a dial model")
        direction = M.Direction()
        direction.load_state_dict(torch.load(args.direction, map_location="cpu")["model"])
    wrapped = M.Exported(net, round_needle=True, direction=direction).eval()
    s = net.size
    values = M.POSE_VALUES if net.task == "pose" else M.NEEDLE_VALUES
    expected_out = (1, values, net.grid * net.grid)
    x = sample_input(s)
    with torch.no_grad():
        want = wrapped(x).numpy()
    assert want.shape == expected_out, want.shape
    torch.onnx.export(wrapped, torch.zeros(1, 3, s, s), args.onnx, opset_version=16, input_names=["images"],
                      output_names=["output0"], do_constant_folding=True)
    # (file, the PyTorch output it must give on the sample)
    checks = [(args.onnx, want)]
    with tempfile.TemporaryDirectory() as tmp:
        if direction is not None:
            moved = branch_second_look(args.onnx)
            print("export: %d nodes of the mirrored second look run only on counter-clockwise scales" % moved)
        compact(args.onnx)
        check_graph(args.onnx, (1, 3, s, s), expected_out)
        if direction is not None:
            forced = os.path.join(tmp, "forced.onnx")
            forced_second_look(args.onnx, forced)
            with torch.no_grad():
                checks.append((forced, M.mirrored_look(net, x).numpy()))
        exe = ortrun_binary(os.path.join(os.path.dirname(os.path.abspath(args.onnx)), ".ortrun"))
        x.numpy().astype(np.float32).tofile(os.path.join(tmp, "in.f32"))
        for path, expected in checks:
            subprocess.run([exe, path, os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")], check=True)
            got = np.fromfile(os.path.join(tmp, "out.f32"), np.float32).reshape(expected_out)
            compare(net.task, args.checkpoint if path == args.onnx else "(second look)", args.onnx, got, expected)


def compare(task, what, onnx_path, got, want):
    # Pixel outputs reach a few hundred; an absolute error of 1e-2 px is far
    # below the engine's integer truncation. Scores and angles must agree closely.
    # Pixels count on the candidates the engine could take: on hopeless ones the
    # tenths' angle between two nearly opposite points flips with the rounding.
    diff = np.abs(got - want)
    rows = (slice(None), [4, 5] if task == "needle" else [4], slice(None))
    # An untrained model may score nothing that high; its best candidate still counts.
    taken = want[0, 4] >= min(0.01, float(want[0, 4].max()))
    worst_px, worst_unit = float(diff[:, :, taken].max()), float(diff[rows].max())
    best = int(np.argmax(want[0, 4]))
    print("export: %s %s -> %s; ONNX Runtime vs PyTorch: max |diff| %.2e (scores/angles %.2e); best candidate %s"
          % (task, what, onnx_path, worst_px, worst_unit, np.array2string(want[0, :6, best], precision=2)))
    if not np.isfinite(got).all() or worst_px > 1e-2 or worst_unit > 1e-4:
        raise SystemExit("export: ONNX Runtime's output differs from PyTorch's")

if __name__ == "__main__":
    main()
