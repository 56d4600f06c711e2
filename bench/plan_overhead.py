"""What Plan.contract costs per slice beyond the arithmetic, against cotengra's sliced contraction.

Run with `make bench` (or `python bench/plan_overhead.py [--quick]`). For each network, the plan
of plenexa_paths.plan under a memory limit (chosen for a few dozen slices) is contracted by
  - Plan.contract (all slices), and Plan.contract_slice (each slice on its own);
  - cotengra's ContractionTree of the same path with the same labels sliced: tree.contract
    (all slices) and tree.contract_slice (each slice on its own).
Every tensor is small (size-2 labels, intermediates of a few hundred elements), so a slice's
time is almost all overhead: the Python around each step and slice. Each figure is the best of
a few runs, in milliseconds per slice; the ratios are plenexa_paths' over cotengra's (below 1:
less overhead). The first call of each (preparing the expression or the contractor) is left out.
"""

import argparse
import time
from typing import Any, Callable

import numpy as np
import opt_einsum

import plenexa_paths
from networks import brickwork_circuit, lattice_circuit, regular_graph

# A network, and the memory limit as a fraction of its unsliced plan's largest intermediate.
NETWORKS = {
    "lattice circuit 6x6, depth 10 (217 tensors)": (lattice_circuit(6, 6, 10, 1), 8),
    "brickwork circuit 12 qubits, depth 12 (state out)": (brickwork_circuit(12, 12), 4),
    "3-regular graph, 60 vertices": ((regular_graph(60, 3, 1), [], None), 8),
}


def best_ms_per_slice(run: Callable[[], Any], slices: int, repeat: int) -> float:
    """The best of `repeat` runs of `run` (after one warm-up), in milliseconds per slice."""
    run()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best / slices * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one timed run each instead of five")
    args = parser.parse_args()
    import cotengra

    repeat = 1 if args.quick else 5
    print(f"{'network':<52} {'slices':>6} {'steps':>5}  {'contract':>8} {'ctg':>8} {'ratio':>5}"
          f"  {'slice':>8} {'ctg':>8} {'ratio':>5}   (ms per slice)")
    for name, ((inputs, output, sizes), fraction) in NETWORKS.items():
        sizes = sizes or {x: 2 for term in inputs for x in term}
        unsliced = plenexa_paths.plan(inputs, output, sizes, seed=1)
        plan = plenexa_paths.plan(inputs, output, sizes, max(unsliced.largest // fraction, 1), seed=1)
        rng = np.random.default_rng(0)
        arrays = [rng.standard_normal([sizes[x] for x in term]) for term in inputs]
        symbol = {x: opt_einsum.get_symbol(k) for k, x in enumerate(sizes)}
        tree = cotengra.ContractionTree.from_path(
            [[symbol[x] for x in term] for term in inputs], [symbol[x] for x in output],
            {symbol[x]: n for x, n in sizes.items()}, path=plan.path)
        for label in plan.sliced:
            tree.remove_ind_(symbol[label])
        assert tree.nslices == plan.slices
        np.testing.assert_allclose(plan.contract(*arrays), tree.contract(arrays), rtol=1e-9, atol=1e-12)
        slices = plan.slices
        ours = best_ms_per_slice(lambda: plan.contract(*arrays), slices, repeat)
        theirs = best_ms_per_slice(lambda: tree.contract(arrays), slices, repeat)
        ours_each = best_ms_per_slice(lambda: [plan.contract_slice(i, *arrays) for i in range(slices)], slices, repeat)
        theirs_each = best_ms_per_slice(lambda: [tree.contract_slice(arrays, i) for i in range(slices)], slices, repeat)
        print(f"{name:<52} {slices:>6} {len(plan.steps):>5}  {ours:>8.3f} {theirs:>8.3f} {ours / theirs:>5.2f}"
              f"  {ours_each:>8.3f} {theirs_each:>8.3f} {ours_each / theirs_each:>5.2f}")


if __name__ == "__main__":
    main()
