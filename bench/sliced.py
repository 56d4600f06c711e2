"""Benchmark of plenexa_paths.plan's slicing against cotengra's sliced hyper-optimisation.

Run with `make bench` (or `python bench/sliced.py [--quick] [--json FILE] [--plenexa-only]`).
For each network the limit is the largest intermediate of plenexa_paths' unsliced path divided
by 16 and by 256; every solver must keep each intermediate of one slice within it:
  - plenexa_paths.plan(memory_limit=limit), defaults otherwise;
  - cotengra's HyperOptimizer(slicing_opts={"target_size": limit}) (128 trials, 32 with --quick);
  - cotengra's SliceFinder on the tree of plenexa_paths' unsliced path (the same path sliced
    without searching again: what slicing alone gives).
Each row: time, total cost over all slices (replayed: one slice's path with the sliced labels at
size 1, times the number of slices), number of slices, log2 of the largest intermediate of one
slice, and cost and time against the hyper-optimiser's. Peers' rows are cached as bench/large.py's.
"""

from __future__ import annotations

import argparse
import json
import math
import sys
from pathlib import Path
from typing import Any

from runner import CACHE, HYPER_TRIALS, TIMEOUT, PeerCache, add_ratios, fingerprint, run_child, version
from networks import Network, bond2, brickwork_circuit, cube, grid, lattice_circuit, mps_norm, regular_graph
from replay import replay

import plenexa_paths

FRACTIONS = (16, 256)
REFERENCE = "ctg Hyper sliced"

CHILD = """
import json, random, sys, time
case = json.loads(sys.stdin.read())
kind, options, limit = case["kind"], case["options"], case["limit"]
inputs, output = case["inputs"], case["output"]
sizes = {int(k): v for k, v in case["sizes"].items()}
random.seed(0)
if kind == "plan":
    import plenexa_paths
    def search():
        plan = plenexa_paths.plan(inputs, output, sizes, memory_limit=limit, **options)
        return plan.path, list(plan.sliced)
else:
    import numpy, cotengra
    from opt_einsum import get_symbol
    numpy.random.seed(0)
    symbol = {x: get_symbol(x) for x in sizes}
    back = {s: x for x, s in symbol.items()}
    inputs = [[symbol[x] for x in axes] for axes in inputs]
    output = [symbol[x] for x in output]
    sizes = {symbol[x]: s for x, s in sizes.items()}
    if kind == "hyper":
        import importlib.util
        if importlib.util.find_spec("optuna"):
            options = {**options, "sampler_opts": {"seed": 0}}
        def search():
            tree = cotengra.HyperOptimizer(slicing_opts={"target_size": limit}, progbar=False, **options).search(
                inputs, output, sizes)
            return tree.get_path(), [back[x] for x in tree.sliced_inds]
    else:  # SliceFinder on a given path
        def search():
            tree = cotengra.ContractionTree.from_path(inputs, output, sizes, path=case["path"])
            tree = tree.slice(target_size=limit)
            return tree.get_path(), [back[x] for x in tree.sliced_inds]
start = time.perf_counter()
path, sliced = search()
print(json.dumps({"time": time.perf_counter() - start, "path": [list(step) for step in path], "sliced": sliced}))
"""


def networks(quick: bool) -> list[tuple[str, Network]]:
    """The networks of the comparison, by name."""
    chosen = [("3-regular 128", bond2(regular_graph(128, 3, seed=128))), ("grid 16x16", bond2(grid(16, 16)))]
    if not quick:
        chosen += [
            ("3-regular 256", bond2(regular_graph(256, 3, seed=256))),
            ("cube 5x5x5", bond2(cube(5))),
            ("MPS norm 100", mps_norm(100, 8, seed=1)),
            ("circuit 20x12 amp", brickwork_circuit(20, 12, amplitude=True)),
            ("circuit 7x7 d10", lattice_circuit(7, 7, 10, seed=0)),
        ]
    return chosen


def measure(network: Network, child: dict[str, Any], limit: int) -> dict[str, Any]:
    """A row's figures from a child's result: the total cost over all slices and one slice's largest."""
    if "path" not in child:
        return dict(child)
    inputs, output, sizes = network
    sliced = set(child["sliced"])
    one_slice = {x: 1 if x in sliced else n for x, n in sizes.items()}
    cost, largest = replay(inputs, output, one_slice, child["path"], pairwise=False)
    slices = math.prod(sizes[x] for x in sliced)
    assert largest <= limit, (largest, limit)
    return {"time_s": child["time"], "cost": cost * slices, "slices": slices, "log2_largest": math.log2(max(largest, 1))}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two networks, HyperOptimizer with 32 trials")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    parser.add_argument("--plenexa-only", action="store_true", help="the peers' rows from the cache only")
    parser.add_argument("--timeout", type=float, help="seconds per solver and network (default 400, 120 with --quick)")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    timeout = args.timeout or TIMEOUT[mode]
    trials = HYPER_TRIALS[mode]
    cache = PeerCache(Path(CACHE), {p: version(p) for p in ("cotengra", "kahypar", "optuna", "cmaes")})
    print(f"3. Sliced plans: every intermediate of one slice within the limit; {trials} hyper-optimiser trials")
    print(f"{'solver':<21}{'time s':>10}{'cost':>11}{'slices':>10}{'log2 big':>10}{'cost/hyper':>12}{'time/hyper':>12}")
    tables = []
    for name, network in networks(args.quick):
        inputs, output, sizes = network
        unsliced = plenexa_paths.plan(inputs, output, sizes)
        for fraction in FRACTIONS:
            limit = max(unsliced.largest // fraction, 1)
            print(f"{name}: {len(inputs)} tensors, limit {limit} elements (unsliced largest / {fraction})")
            entries = []
            for label, kind, options in (
                ("plenexa_paths plan", "plan", {}),
                (REFERENCE, "hyper", {} if trials == 128 else {"max_repeats": trials}),
                ("ctg SliceFinder", "slicer", {"path": [list(step) for step in unsliced.path]}),
            ):
                ours = kind == "plan"
                key = cache.key(f"{name} sliced/{fraction}", fingerprint(network), label, {**options, "limit": limit})
                cached = None if ours else cache.get(key, timeout)
                if cached is not None:
                    entry = {**cached, "cached": True}
                elif not ours and args.plenexa_only:
                    entry = {"missing": True}
                else:
                    case = {"kind": kind, "options": {k: v for k, v in options.items() if k != "path"}, "limit": limit,
                            "path": options.get("path"), "inputs": inputs, "output": output, "sizes": sizes}
                    entry = measure(network, run_child(CHILD, case, timeout), limit)
                    if not ours:
                        cache.put(key, entry)
                entries.append({"solver": label, **entry})
            add_ratios(entries, REFERENCE)
            for entry in entries:
                print(row(entry))
            tables.append({"network": name, "fraction": fraction, "limit": limit, "solvers": entries})
    print("   cost: replayed over all slices; ratios below 1: cheaper or faster than the sliced hyper-optimiser;")
    print("   * marks a peer's row read from the cache")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"sliced": tables}, f, indent=1)


def row(entry: dict[str, Any]) -> str:
    """One printed row of the table."""
    label = f"  {entry['solver']:<19}"
    if "cost" not in entry:
        reason = "not in the cache" if entry.get("missing") else entry.get("failed") or f"timed out after {entry.get('timeout_s')} s"
        return label + "  " + reason
    ratios = (f"{entry['cost_vs_hyper']:>12.3g}{entry['time_vs_hyper']:>12.3g}" if "cost_vs_hyper" in entry else f"{'-':>12}{'-':>12}")
    mark = " *" if entry.get("cached") else ""
    return f"{label}{entry['time_s']:>10.3f}{entry['cost']:>11.3e}{entry['slices']:>10.3g}{entry['log2_largest']:>10.1f}{ratios}{mark}"


if __name__ == "__main__":
    sys.exit(main())
