"""Benchmark of plenexa_paths.optimize on networks of 64 to 2,000 tensors against its peers.

Run with `make bench` (or `python bench/large.py [--quick] [--json FILE] [--plenexa-only]`).
Two tables:
  1. for each network, one row per solver: time, cost of the path, its largest intermediate
     (log2 of the number of elements), and cost and time against cotengra's HyperOptimizer()
     (the reference row), with plenexa_paths' peak memory. The solvers: plenexa_paths.optimize
     with its defaults; cotengra's HyperOptimizer() (128 trials) and its presets "auto" and
     "auto-hq"; cotengrust's optimize_random_greedy_track_flops with 128 and 1,024 trials
     (seed 0); opt_einsum's greedy. Each runs in a fresh process group with a time-out, and the
     peers' results are kept in build/bench/peers-cache.json, so that a later run measures
     plenexa_paths alone (--plenexa-only) or only what is missing;
  2. per-call overhead on a three-operand equation, beside EinsumSpec(...).optimize_dp() and
     opt_einsum.contract_path.
Costs are replayed under the model of bench/replay.py: a pairwise step costs the product of the
sizes of all axes of both operands; an intermediate keeps the axes still needed elsewhere.
With --quick only the 128-vertex graph, the 16 x 16 grid and the matrix chain are run, and
HyperOptimizer gets 32 trials: its row is then a weaker reference than the full run's.
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import platform
import timeit
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import opt_einsum

import plenexa_paths
from plenexa_paths import DEFAULT_HASH_MAP_CAP

from networks import (Network, bond2, brickwork_circuit, closed_chain, cube, grid, lattice_circuit, matrix_chain, mps_norm,
                      regular_graph, tree)
from paths import bounded_row
from runner import (CACHE, HYPER_TRIALS, PEER_PACKAGES, REFERENCE, TIMEOUT, PeerCache, add_ratios, hyper_setup, outcome, solve,
                    solvers, version)

# Keywords of plenexa_paths.optimize that are reported with their defaults when it takes them.
PLENEXA_KNOBS = ("max_time", "seed", "threads")


# --- networks ------------------------------------------------------------------------


def networks(quick: bool) -> Iterator[tuple[str, Network]]:
    """The networks of the comparison, by name."""
    for n in (128,) if quick else (64, 128, 256, 512):
        yield f"3-regular {n}", bond2(regular_graph(n, 3, seed=n))
    for side in (16,) if quick else (12, 16):
        yield f"grid {side}x{side}", bond2(grid(side, side))
    if not quick:
        yield "cube 5x5x5", bond2(cube(5))
        yield "tree 200 b2-5", tree(200, seed=200, open_legs=False)
        yield "MPS norm 100", mps_norm(100, 8, seed=1)
        yield "circuit 12x10", brickwork_circuit(12, 10)
        yield "circuit 20x12 amp", brickwork_circuit(20, 12, amplitude=True)
        yield "circuit 7x7 d10", lattice_circuit(7, 7, 10, seed=0)
        yield "chain 2000", closed_chain(2000)
    yield "matrix chain 2000", matrix_chain(2000, seed=2000)


def compare(args: argparse.Namespace) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    mode = "quick" if args.quick else "full"
    timeout = args.timeout or TIMEOUT[mode]
    versions = {p: version(p) for p in PEER_PACKAGES}
    cache = PeerCache(Path(args.cache), versions)
    print(f"1. Paths on large networks, one row per solver; each solver in a fresh process, stopped after {timeout:g} s")
    print(f"{'solver':<21}{'time s':>10}{'cost':>11}{'log2 big':>10}{'cost/hyper':>12}{'time/hyper':>12}{'MiB':>7}")
    tables, rows = [], []
    for name, network in networks(args.quick):
        if args.only and not any(word in name for word in args.only):
            continue
        inputs = network[0]
        print(f"{name}: {len(inputs)} tensors")
        entries = []
        for solver in solvers(args.quick):
            ours = solver[1] == "plenexa"
            if ours and args.peers_only:
                continue
            entry, child = solve(cache, name, network, solver, timeout, args.refresh, args.plenexa_only)
            if ours and child is not None and "path" in child:
                rows.append(bounded_row(name, network, child))
            elif ours:
                rows.append({"network": name, "tensors": len(inputs), "failed": outcome(entry)})
            entries.append(entry)
        table = {"network": name, "tensors": len(inputs), "solvers": entries}
        add_ratios(entries, REFERENCE)
        for entry in entries:
            print(line(entry))
        if rows and rows[-1]["network"] == name and "cost" in rows[-1]:
            # bench/plot.py's figures: our cost against the random greedy's and the reference's.
            for key, solver in (("vs_ctg_rgreedy", "ctgr rgreedy 128"), ("vs_ctg_hyper", REFERENCE)):
                peer = next((e for e in entries if e["solver"] == solver and "cost" in e), None)
                if peer is not None:
                    rows[-1][key] = rows[-1]["cost"] / peer["cost"]
        tables.append(table)
    trials = HYPER_TRIALS[mode]
    setup = hyper_setup(trials)
    print(f"   reference: cotengra HyperOptimizer() with {trials} trials{' (--quick: fewer than its default 128, a weaker reference)' if args.quick else ''},")
    print(f"   methods {' and '.join(setup['methods'])}, tuner {setup['optlib']}, parallel={setup['parallel']};")
    print(f"   {setup['seeded']}")
    print("   ctg auto, auto-hq: cotengra.array_contract_path(optimize=...), which minimise their own")
    print("   'combo' score; ctgr rgreedy N: cotengrust optimize_random_greedy_track_flops(ntrials=N, seed=0);")
    print("   oe greedy: opt_einsum.paths.greedy. cost: replayed under the shared model; log2 big: log2 of")
    print("   the elements of the largest intermediate; ratios below 1: cheaper or faster than the reference;")
    print("   time: best of up to 3 runs within a second for plenexa_paths, cotengrust and opt_einsum, one")
    print("   run for cotengra; MiB: plenexa_paths' peak resident memory above that before the call;")
    print("   * marks a peer's row read from the cache")
    return tables, rows


def line(entry: dict[str, Any]) -> str:
    label = f"  {entry['solver']:<19}"
    if "cost" not in entry:
        return label + "  " + ("(cached) " if entry.get("cached") else "") + outcome(entry)
    ratios = (f"{entry['cost_vs_hyper']:>12.3g}{entry['time_vs_hyper']:>12.3g}" if "cost_vs_hyper" in entry else f"{'-':>12}{'-':>12}")
    memory = f"{entry['search_mib']:>7.1f}" if entry["solver"] == "plenexa_paths" else " " * 7
    mark = " *" if entry.get("cached") else ""
    return f"{label}{entry['time_s']:>10.3f}{entry['cost']:>11.3e}{entry['log2_largest']:>10.1f}{ratios}{memory}{mark}"


def overhead() -> tuple[float, float, float]:
    from plenexa import EinsumSpec

    print("2. Per-call overhead, 'ab,bc,cd->ad' with sizes 2, 3, 4, 5")
    inputs, output = [("a", "b"), ("b", "c"), ("c", "d")], ("a", "d")
    size_dict = {"a": 2, "b": 3, "c": 4, "d": 5}
    sizes = {0: 2, 1: 3, 2: 4, 3: 5}
    number = 20000

    def per_call(fn: Any, n: int) -> float:
        return min(timeit.repeat(fn, number=n, repeat=5)) / n

    paths = per_call(lambda: plenexa_paths.optimize(inputs, output, size_dict), number)
    spec = per_call(lambda: EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], sizes).optimize_dp(), number)
    shapes = [(2, 3), (3, 4), (4, 5)]
    oe = per_call(lambda: opt_einsum.contract_path("ab,bc,cd->ad", *shapes, shapes=True), number // 10)
    print(f"   plenexa_paths.optimize: {paths * 1e6:.2f} us; EinsumSpec(...) + optimize_dp(): {spec * 1e6:.2f} us;"
          f" opt_einsum.contract_path: {oe * 1e6:.2f} us")
    return paths, spec, oe


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="three networks, HyperOptimizer with 32 trials, 120 s time-outs")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE, for bench/plot.py")
    parser.add_argument("--plenexa-only", action="store_true", help="run plenexa_paths alone; the peers' rows come from the cache")
    parser.add_argument("--peers-only", action="store_true", help="run (or read from the cache) the peers alone, no overhead table")
    parser.add_argument("--refresh", action="store_true", help="run the peers again even when the cache has them")
    parser.add_argument("--timeout", type=float, help="seconds per solver and network (default 400, 120 with --quick)")
    parser.add_argument("--only", action="append", metavar="WORD", help="only the networks whose name holds WORD (repeatable)")
    parser.add_argument("--cache", default=str(CACHE), help="the peers' cache (default build/bench/peers-cache.json)")
    args = parser.parse_args()
    machine = (
        f"python {platform.python_version()} on {platform.machine()}, {platform.processor() or platform.platform()};"
        f" {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the start"
    )
    versions = {p: version(p) for p in ("plenexa", *PEER_PACKAGES)}
    params = inspect.signature(plenexa_paths.optimize).parameters
    knobs = {k: repr(params[k].default) for k in PLENEXA_KNOBS if k in params}
    print(machine)
    print("versions: " + ", ".join(f"{p} {v}" for p, v in versions.items()))
    print("plenexa_paths.optimize with its defaults" + (": " + ", ".join(f"{k}={v}" for k, v in knobs.items()) if knobs else
          f" (hash_map_cap {DEFAULT_HASH_MAP_CAP}; it takes none of {', '.join(PLENEXA_KNOBS)})"))
    print()
    tables, rows = compare(args)
    results: dict[str, Any] = {
        "machine": machine, "quick": args.quick, "versions": versions, "plenexa_knobs": knobs,
        "hyper": hyper_setup(HYPER_TRIALS["quick" if args.quick else "full"]), "networks": tables, "large": rows,
    }
    if not args.peers_only:
        print()
        paths_s, spec_s, oe_s = overhead()
        results["overhead"] = {"paths_s": paths_s, "spec_dp_s": spec_s, "oe_s": oe_s}
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
