#!/usr/bin/python3
"""Writes the ONNX project's own operator conformance cases into DIR.

Each case is DIR/node/<case>/model.onnx with test_data_set_N/input_K.pb and output_K.pb, generated
by the python3-onnx package (Debian's 1.12, operator sets up to 17). Usage: write_onnx_conformance_cases.py DIR
"""
import argparse
import sys

import numpy

# The case generator of onnx 1.12 still uses aliases that numpy 1.24 removed.
for alias, value in (("float", float), ("int", int), ("bool", bool), ("object", object), ("complex", complex)):
    if not hasattr(numpy, alias):
        setattr(numpy, alias, value)

from onnx.backend.test.cmd_tools import generate_data  # noqa: E402


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    generate_data(argparse.Namespace(output=sys.argv[1], op_type=None))
    return 0


if __name__ == "__main__":
    sys.exit(main())
