"""plenexa_paths.optimize as cotengra's `optimize=` callable."""

import importlib.util
import sys

if importlib.util.find_spec("cotengra") is None:
    print("cotengra is not installed; skipped")
    sys.exit(0)

import cotengra

import plenexa_paths

inputs = [("a", "b"), ("b", "c"), ("c", "d")]
output = ("a", "d")
size_dict = {"a": 8, "b": 2, "c": 9, "d": 8}

tree = cotengra.array_contract_tree(inputs, output, size_dict, optimize=plenexa_paths.optimize)
print("cotengra flops:", tree.contraction_cost())
