"""cotengra's HyperOptimizer with plenexa's trials against its own methods.

Run with `make bench` (or `python bench/cotengra_method.py [--quick] [--repeats N] [--serial]`).
For each network, one row per method of `HyperOptimizer(methods=[method], max_repeats=N)`
("greedy", "kahypar" where installed, and "plenexa", the trial of src/plenexa_paths/_plugins.py)
and one for cotengra's "plenexa" preset (one full search): the time, the flops (log10) and the
largest intermediate (log2) of the tree cotengra returns, each as cotengra counts them. The
"size" rows run the same optimisers with `minimize="size"`. The pool is cotengra's default
(`parallel="auto"`) unless --serial. Every optimiser runs in this process, one after the other,
so the first row of a pool pays for starting it.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import time
from typing import Any

import cotengra

import plenexa_paths  # noqa: F401  (registers the "plenexa" method and preset)

from networks import Network, bond2, brickwork_circuit, regular_graph


def networks(quick: bool) -> list[tuple[str, Network]]:
    """The networks compared: a 3-regular graph of 128 tensors and a circuit amplitude of 154."""
    found = [("3-regular 128", bond2(regular_graph(128, 3, seed=128)))]
    if not quick:
        found.append(("circuit 20x12 amp", brickwork_circuit(20, 12, amplitude=True)))
    return found


def symbols(network: Network) -> Network:
    """The network over one-character labels, which cotengra's greedy method needs."""
    inputs, output, sizes = network
    get = cotengra.get_symbol
    return [[get(x) for x in axes] for axes in inputs], [get(x) for x in output], {get(x): n for x, n in sizes.items()}


def row(name: str, optimize: Any, network: Network) -> dict[str, Any]:
    """One optimiser's tree for the network: time, flops (log10) and largest intermediate (log2)."""
    inputs, output, sizes = network
    start = time.perf_counter()
    tree = cotengra.array_contract_tree(inputs, output, sizes, optimize=optimize)
    seconds = time.perf_counter() - start
    return {"name": name, "seconds": seconds, "flops": math.log10(tree.contraction_cost()), "size": tree.contraction_width()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="one network, 32 repeats")
    parser.add_argument("--repeats", type=int, help="HyperOptimizer's max_repeats (default 128, 32 with --quick)")
    parser.add_argument("--serial", action="store_true", help="parallel=False instead of cotengra's default pool")
    args = parser.parse_args()
    repeats = args.repeats or (32 if args.quick else 128)
    methods = ["greedy"] + (["kahypar"] if importlib.util.find_spec("kahypar") else []) + ["plenexa"]
    parallel = False if args.serial else "auto"
    print(f"cotengra {cotengra.__version__}, HyperOptimizer(max_repeats={repeats}, parallel={parallel!r})")
    print(f"{'network':<18} {'minimize':<8} {'optimiser':<18} {'time s':>8} {'log10 flops':>12} {'log2 size':>10}")
    for label, network in networks(args.quick):
        network = symbols(network)
        for minimize in ("flops", "size"):
            rows = [row(f"methods={method}", cotengra.HyperOptimizer(methods=[method], max_repeats=repeats, minimize=minimize,
                                                                    parallel=parallel, progbar=False), network)
                    for method in methods]
            if minimize == "flops":
                rows.append(row("preset plenexa", "plenexa", network))
            for entry in rows:
                print(f"{label:<18} {minimize:<8} {entry['name']:<18} {entry['seconds']:>8.2f} {entry['flops']:>12.3f} "
                      f"{entry['size']:>10.1f}", flush=True)


if __name__ == "__main__":
    main()
