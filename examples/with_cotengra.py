"""plenexa_paths in cotengra: a preset name, a method of its hyper-optimiser, or a callable."""

import importlib.util
import sys

if importlib.util.find_spec("cotengra") is None:
    print("cotengra is not installed; skipped")
    sys.exit(0)

import cotengra

import plenexa_paths

inputs = [("a", "b"), ("b", "c"), ("c", "d"), ("d", "e")]
output = ("a", "e")
size_dict = {"a": 8, "b": 2, "c": 9, "d": 8, "e": 3}

# The name registered when plenexa_paths is imported.
tree = cotengra.array_contract_tree(inputs, output, size_dict, optimize="plenexa")
print("preset 'plenexa': flops", tree.contraction_cost())

# A method of the hyper-optimiser, whose trials vary the search's seed.
hyper = cotengra.HyperOptimizer(methods=["plenexa"], max_repeats=8, progbar=False)
tree = cotengra.array_contract_tree(inputs, output, size_dict, optimize=hyper)
print("HyperOptimizer(methods=['plenexa']): flops", tree.contraction_cost())

# The function itself, as `optimize=`.
tree = cotengra.array_contract_tree(inputs, output, size_dict, optimize=plenexa_paths.optimize)
print("optimize=plenexa_paths.optimize: flops", tree.contraction_cost())
