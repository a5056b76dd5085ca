#!/usr/bin/python3
"""Writes a trained model as the ONNX file the engine loads, and checks it.

  export.py --checkpoint OUT/last.pt --onnx model.onnx [--raw-weights] [--direction RUN/last.pt]

The moving-average weights are written (--raw-weights: the trained ones).
A dial model takes the scale-direction network of --direction into its
graph (see model.turn_when_reversed).
The graph has one input "images" [1, 3, S, S] (RGB, 0..1) and one output
"output0" [1, values, cells] with the decoding inside, opset 16. Checks:
onnx.checker, fixed shapes after shape inference, and the output of ONNX
Runtime (the library the engine links, through ortrun.cpp, built on first
use) against PyTorch's on a rendered gauge. The needle's centre is written
half a pixel on, for the engine's cut to whole pixels (see model.Exported).
"""
import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np
import onnx
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


def drop_node_names(path):
    """Node names only help a reader of the graph; without them the packed
    dial model, direction network included, keeps under 10 MB."""
    m = onnx.load(path)
    for node in m.graph.node:
        node.name = ""
    onnx.save(m, path)


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
    drop_node_names(args.onnx)
    check_graph(args.onnx, (1, 3, s, s), expected_out)

    with tempfile.TemporaryDirectory() as tmp:
        exe = ortrun_binary(os.path.join(os.path.dirname(os.path.abspath(args.onnx)), ".ortrun"))
        x.numpy().astype(np.float32).tofile(os.path.join(tmp, "in.f32"))
        subprocess.run([exe, args.onnx, os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")], check=True)
        got = np.fromfile(os.path.join(tmp, "out.f32"), np.float32).reshape(expected_out)
    # Pixel outputs reach a few hundred; an absolute error of 1e-2 px is far
    # below the engine's integer truncation. Scores and angles must agree closely.
    # Pixels count on the candidates the engine could take: on hopeless ones the
    # tenths' angle between two nearly opposite points flips with the rounding.
    diff = np.abs(got - want)
    rows = (slice(None), [4, 5] if net.task == "needle" else [4], slice(None))
    # An untrained model may score nothing that high; its best candidate still counts.
    taken = want[0, 4] >= min(0.01, float(want[0, 4].max()))
    worst_px, worst_unit = float(diff[:, :, taken].max()), float(diff[rows].max())
    best = int(np.argmax(want[0, 4]))
    print("export: %s %s -> %s; ONNX Runtime vs PyTorch: max |diff| %.2e (scores/angles %.2e); best candidate %s"
          % (net.task, args.checkpoint, args.onnx, worst_px, worst_unit,
             np.array2string(want[0, :6, best], precision=2)))
    if not np.isfinite(got).all() or worst_px > 1e-2 or worst_unit > 1e-4:
        raise SystemExit("export: ONNX Runtime's output differs from PyTorch's")


if __name__ == "__main__":
    main()
