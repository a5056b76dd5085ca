"""Writes an exported float graph as int8 QDQ for ONNX Runtime's CPU provider.

  python3 -m training.quantise --onnx model.onnx --out model-int8.onnx --calibration DIR [DIR ...] [--count N]

Every Conv gets per-channel int8 weights (symmetric, scale per output
channel) with an int32 bias, and uint8 activations: its input and its
output pass through QuantizeLinear and DequantizeLinear, so that ONNX
Runtime runs it as one integer convolution (QLinearConv, VNNI where the CPU
has it). A Conv whose output only a Relu reads is quantised after the Relu,
which ONNX Runtime then folds into the convolution. A network's last Conv,
whose map the decoding reads, stays float: in 8 bits its key-point offsets
would move by a 255th of their whole range. Everything else, the crops and
the decoding, stays float too.

The activations' ranges are the least and greatest values each tensor takes
in ONNX Runtime (tools/ortrun, every inner tensor made an output) over the
first N rendered images of the calibration sets, letterboxed as the engine
does; they are training images, so no choice is made on what is measured.
"""
import argparse
import os
import subprocess
import tempfile

import cv2
import numpy as np
import onnx
import onnx.numpy_helper as nh
from onnx import TensorProto, helper

from . import export
from .train.data import prepare, read_labels, to_tensor, trainable


def head(graph, conv):
    """Whether conv writes a network's head map: only the decoding's Reshape
    reads its values (a Shape, where the batch varies, reads only its shape)."""
    readers = [n.op_type for n in graph.node if conv.output[0] in n.input and n.op_type != "Shape"]
    return bool(readers) and all(r == "Reshape" for r in readers)


def conv_tensors(graph):
    """The Convs of graph to quantise, every one but the heads, and the names
    of the float activations each reads and writes: a Conv read only by a
    Relu writes the Relu's output."""
    convs = [n for n in graph.node if n.op_type == "Conv" and not head(graph, n)]
    names = []
    for n in convs:
        for name in (n.input[0], conv_output(graph, n).output[0]):
            if name not in names:
                names.append(name)
    return convs, names


def conv_output(graph, conv):
    """The node whose output stands for conv's: its Relu where that is its only reader."""
    readers = [n for n in graph.node if conv.output[0] in n.input]
    return readers[0] if len(readers) == 1 and readers[0].op_type == "Relu" else conv


def calibration_inputs(dirs, count, size):
    """The first count images of the sets in dirs, in turn, as the engine's letterbox."""
    out = []
    for k in range(count):
        folder = dirs[k % len(dirs)]
        labels = [lab for lab in read_labels(folder) if trainable(lab)]
        lab = labels[(k // len(dirs)) % len(labels)]
        img = cv2.imread(os.path.join(folder, lab["image"]), cv2.IMREAD_COLOR)
        out.append(to_tensor(prepare(img, lab, size)[0]).unsqueeze(0).numpy())
    return out


def ranges(path, names, inputs):
    """The least and greatest value [len(names), 2] of each tensor over inputs."""
    model = onnx.load(path)
    del model.graph.output[:]
    for name in names:
        model.graph.output.append(helper.make_tensor_value_info(name, TensorProto.FLOAT, None))
    lo = np.full(len(names), np.inf)
    hi = np.full(len(names), -np.inf)
    with tempfile.TemporaryDirectory() as tmp:
        probe = os.path.join(tmp, "probe.onnx")
        onnx.save(model, probe)
        exe = export.ortrun_binary()
        for x in inputs:
            x.astype(np.float32).tofile(os.path.join(tmp, "in.f32"))
            subprocess.run([exe, probe, os.path.join(tmp, "in.f32"), os.path.join(tmp, "out.f32")], check=True)
            values = np.fromfile(os.path.join(tmp, "out.f32"), np.float32)
            sizes = np.loadtxt(os.path.join(tmp, "out.f32.counts"), np.int64, ndmin=1)
            for i, part in enumerate(np.split(values, np.cumsum(sizes)[:-1])):
                lo[i], hi[i] = min(lo[i], float(part.min())), max(hi[i], float(part.max()))
    return np.stack([lo, hi], 1)


def activation_qparams(lo, hi):
    """uint8 scale and zero point of a range that holds 0 (ONNX Runtime's convention)."""
    lo, hi = min(lo, 0.0), max(hi, 0.0)
    scale = max(hi - lo, 1e-8) / 255.0
    return np.float32(scale), np.uint8(np.clip(round(-lo / scale), 0, 255))


def quantise(path, out, bounds):
    model = onnx.load(path)
    graph = model.graph
    convs, names = conv_tensors(graph)
    inits = {t.name: t for t in graph.initializer}
    params = {n: activation_qparams(*b) for n, b in zip(names, bounds)}
    new_inits, dequantised = [], {}

    def const(name, array):
        new_inits.append(nh.from_array(array, name))
        return name

    def qdq(name):
        """Q then DQ of an activation: the nodes and the dequantised name."""
        scale, zero = params[name]
        s = const(name + "_s", np.array(scale, np.float32))
        z = const(name + "_z", np.array(zero, np.uint8))
        dequantised[name] = name + "_dq"
        return [helper.make_node("QuantizeLinear", [name, s, z], [name + "_q"]),
                helper.make_node("DequantizeLinear", [name + "_q", s, z], [name + "_dq"])]

    nodes = []
    quantised = {id(conv) for conv in convs}
    for node in graph.node:
        if node.op_type == "Relu" and node.output[0] in params:
            nodes += [node] + qdq(node.output[0])
            continue
        if id(node) not in quantised:
            nodes.append(node)
            continue
        x, w = node.input[0], node.input[1]
        if x not in dequantised:
            nodes += qdq(x)
        weight = nh.to_array(inits[w]).astype(np.float32)
        wscale = np.maximum(np.abs(weight).reshape(weight.shape[0], -1).max(1), 1e-8) / 127.0
        wq = np.clip(np.round(weight / wscale.reshape(-1, 1, 1, 1)), -127, 127).astype(np.int8)
        ws = const(w + "_s", wscale.astype(np.float32))
        nodes.append(helper.make_node("DequantizeLinear", [const(w + "_q", wq), ws,
                                                           const(w + "_z", np.zeros(len(wscale), np.int8))],
                                      [w + "_dq"], axis=0))
        inputs = [dequantised[x], w + "_dq"]
        if len(node.input) > 2 and node.input[2]:
            b = node.input[2]
            bscale = (params[x][0] * wscale).astype(np.float32)
            bq = np.round(nh.to_array(inits[b]).astype(np.float64) / bscale).astype(np.int32)
            nodes.append(helper.make_node("DequantizeLinear", [const(b + "_q", bq), const(b + "_s", bscale),
                                                               const(b + "_z", np.zeros(len(bscale), np.int32))],
                                          [b + "_dq"], axis=0))
            inputs.append(b + "_dq")
        conv = helper.make_node("Conv", inputs, [node.output[0]])
        conv.attribute.extend(node.attribute)
        nodes.append(conv)
        if node.output[0] in params:
            nodes += qdq(node.output[0])
    # Every reader of a Conv's (or its Relu's) output reads it dequantised,
    # and comes after it; other readers of a Conv's input keep the float
    # tensor, which may come before its Q and DQ.
    written = {conv_output(graph, conv).output[0] for conv in convs}
    for node in nodes:
        if node.op_type != "QuantizeLinear":
            node.input[:] = [dequantised[n] if n in written else n for n in node.input]
    outputs = {o.name for o in graph.output}
    if outputs & set(dequantised):
        raise SystemExit("quantise: a Conv writes the graph's output")
    used = {n for node in nodes for n in node.input}
    kept = [t for t in graph.initializer if t.name in used]
    del graph.node[:]
    graph.node.extend(nodes)
    del graph.initializer[:]
    graph.initializer.extend(kept + new_inits)
    onnx.checker.check_model(model)
    onnx.save(model, out)
    return len(convs)


def main():
    ap = argparse.ArgumentParser(description="Quantise an exported graph to int8 QDQ.")
    ap.add_argument("--onnx", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--calibration", required=True, nargs="+", help="rendered sets to calibrate on")
    ap.add_argument("--count", type=int, default=64, help="images to calibrate on")
    args = ap.parse_args()
    model = onnx.load(args.onnx)
    size = model.graph.input[0].type.tensor_type.shape.dim[-1].dim_value
    names = conv_tensors(model.graph)[1]
    bounds = ranges(args.onnx, names, calibration_inputs(args.calibration, args.count, size))
    convs = quantise(args.onnx, args.out, bounds)
    print("quantise: %s -> %s, %d convolutions in int8, %d activation ranges from %d images"
          % (args.onnx, args.out, convs, len(names), args.count))


if __name__ == "__main__":
    main()
