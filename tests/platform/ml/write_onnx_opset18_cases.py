#!/usr/bin/python3
"""Rewrites conformance cases of operators whose signature changed in operator sets 18 to 21.

Reads the cases write_onnx_conformance_cases.py wrote into SOURCE (they stop at operator set 17) and
writes each case that uses a changed operator, rewritten to the newer signature, into
DEST/node/<case>_opset<N> for N in 18..21, with the case's own test data: the rewrite does not change
what the network computes. Debian's onnx 1.12 knows no schema above set 17, so the newer import
version goes into the model directly, unchecked. DEST/must_run.txt lists the cases made of the
changed operators alone (others may use operators the executor lacks).

  Reduce* but ReduceSum  the axes attribute becomes a Constant fed as input 1
  Split                  equal parts without sizes become num_outputs
  Pad                    an axes input naming every axis (counted from the end)

Usage: write_onnx_opset18_cases.py SOURCE DEST
"""
import os
import shutil
import sys

import onnx
from onnx import helper

REDUCTIONS = {"ReduceMean", "ReduceMax", "ReduceMin", "ReduceProd", "ReduceL1", "ReduceL2", "ReduceLogSum",
              "ReduceLogSumExp", "ReduceSumSquare"}
CHANGED = REDUCTIONS | {"Split", "Pad"}
VERSIONS = (18, 19, 20, 21)


def default_opset(model):
    for entry in model.opset_import:
        if entry.domain in ("", "ai.onnx"):
            return entry
    return None


def rank_of(model, name):
    for value in model.graph.input:
        if value.name == name and value.type.HasField("tensor_type"):
            return len(value.type.tensor_type.shape.dim)
    return None


def rewrite(model):
    """The nodes in the newer signature, or None when the case has nothing to rewrite or cannot be."""
    nodes = []
    changed = False
    for node in model.graph.node:
        if node.domain not in ("", "ai.onnx"):
            return None
        if node.op_type in REDUCTIONS:
            axes = [a for a in node.attribute if a.name == "axes"]
            if axes:
                constant = node.name or node.output[0]
                nodes.append(helper.make_node("Constant", [], [constant + "_axes"],
                                              value=helper.make_tensor(constant + "_axes", onnx.TensorProto.INT64,
                                                                       [len(axes[0].ints)], list(axes[0].ints))))
                node.attribute.remove(axes[0])
                del node.input[1:]
                node.input.append(constant + "_axes")
            changed = True
        elif node.op_type == "Split":
            if len(node.input) < 2 or not node.input[1]:
                node.attribute.append(helper.make_attribute("num_outputs", len(node.output)))
            changed = True
        elif node.op_type == "Pad":
            rank = rank_of(model, node.input[0])
            if rank is None:
                return None
            constant = (node.name or node.output[0]) + "_axes"
            nodes.append(helper.make_node("Constant", [], [constant],
                                          value=helper.make_tensor(constant, onnx.TensorProto.INT64, [rank],
                                                                   list(range(-rank, 0)))))
            while len(node.input) < 3:
                node.input.append("")
            node.input.append(constant)
            changed = True
        nodes.append(node)
    if not changed:
        return None
    del model.graph.node[:]
    model.graph.node.extend(nodes)
    return model


def main() -> int:
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    source = os.path.join(sys.argv[1], "node")
    dest = os.path.join(sys.argv[2], "node")
    shutil.rmtree(sys.argv[2], ignore_errors=True)
    os.makedirs(dest)
    written = 0
    must_run = []
    for case in sorted(os.listdir(source)):
        folder = os.path.join(source, case)
        model = onnx.load(os.path.join(folder, "model.onnx"))
        opset = default_opset(model)
        if opset is None or opset.version > 17 or not any(n.op_type in CHANGED for n in model.graph.node):
            continue
        model = rewrite(model)
        if model is None:
            continue
        for version in VERSIONS:
            default_opset(model).version = version
            target = os.path.join(dest, f"{case}_opset{version}")
            shutil.copytree(folder, target, ignore=shutil.ignore_patterns("model.onnx"))
            with open(os.path.join(target, "model.onnx"), "wb") as f:
                f.write(model.SerializeToString())
            if all(n.op_type in CHANGED | {"Constant"} for n in model.graph.node):
                must_run.append(f"{case}_opset{version}")
            written += 1
    with open(os.path.join(sys.argv[2], "must_run.txt"), "w") as f:
        f.write("".join(name + "\n" for name in must_run))
    print(f"{written} cases written, {len(must_run)} must run")
    return 0 if must_run else 1


if __name__ == "__main__":
    sys.exit(main())
