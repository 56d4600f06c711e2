"""Benchmark of EinsumSpec.optimize_dp against opt_einsum and cotengrust.

Run with `make bench` (or `python bench/paths.py [--quick]`). Four tables:
  1. exact search against opt_einsum's DynamicProgramming (cost and speed),
  2. exact search against cotengrust's optimize_optimal (speed),
  3. bounded search with the default caps on networks beyond exact search,
  4. per-call overhead on a three-operand contraction.
Every cost is replayed under one model: a pairwise step costs the product of the sizes of
all axes of both operands; an intermediate keeps the axes still needed elsewhere.
"""

import argparse
import math
import platform
import random
import subprocess
import sys
import time
import timeit

import cotengrust
import opt_einsum

from plenexa import EinsumSpec

MAX = 2**64 - 1


def regular_graph(n, degree, seed):
    """A random simple `degree`-regular graph on n vertices: one axis per edge. When
    n * degree is odd, the last vertex has one edge fewer."""
    rng = random.Random(seed)
    while True:
        stubs = [v for v in range(n) for _ in range(degree)][: n * degree // 2 * 2]
        rng.shuffle(stubs)
        edges = {tuple(sorted(stubs[k : k + 2])) for k in range(0, len(stubs), 2)}
        if len(edges) == len(stubs) // 2 and all(a != b for a, b in edges):
            return edges_to_inputs(n, sorted(edges))


def grid(side):
    """A side x side square lattice: one axis per bond."""
    def at(r, c):
        return r * side + c

    edges = [(at(r, c), at(r, c + 1)) for r in range(side) for c in range(side - 1)]
    edges += [(at(r, c), at(r + 1, c)) for r in range(side - 1) for c in range(side)]
    return edges_to_inputs(side * side, edges)


def edges_to_inputs(n, edges):
    inputs = [[] for _ in range(n)]
    for e, (a, b) in enumerate(edges):
        inputs[a].append(e)
        inputs[b].append(e)
    return inputs


def replay(inputs, output, sizes, path):
    """Cost of a path in the shrinking-list format under the shared cost model."""
    operands = [set(axes) for axes in inputs]
    keep = set(output)
    total = 0
    for i, j in path:
        both = operands[i] | operands[j]
        for k in sorted((i, j), reverse=True):
            del operands[k]
        total += math.prod(sizes[x] for x in both)
        operands.append(both & (keep | set().union(*operands)))
    assert len(operands) == 1
    return total


def letters(inputs):
    """The inputs as lists of one-character opt_einsum symbols."""
    return [[opt_einsum.get_symbol(x) for x in axes] for axes in inputs]


def best_time(fn, repeat, budget=None):
    """Smallest wall time of `repeat` runs (fewer once `budget` seconds are spent) and the last result."""
    times = []
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        if budget is not None and sum(times) > budget:
            break
    return min(times), result


def networks(quick):
    sizes = [10, 14, 18, 22] + ([] if quick else [26])
    for n in sizes:
        yield f"3-regular {n}", regular_graph(n, 3, seed=n)
    yield "grid 4x4", grid(4)
    yield "grid 5x5", grid(5)


def exact(quick):
    print("1-2. Exact search (hash_map_cap_op non-binding), bond 2, scalar output")
    header = f"{'network':<14}{'ours ms':>10}{'opt_einsum ms':>15}{'speed-up':>10}{'cost equal':>12}{'cotengrust ms':>15}{'ours/ctg':>10}{'ctg cost':>10}"
    print(header)
    rows = []
    for name, inputs in networks(quick):
        sizes = {x: 2 for axes in inputs for x in axes}
        spec = EinsumSpec(inputs, [], sizes)
        ours_t, path = best_time(lambda: spec.optimize_dp(hash_map_cap_op=MAX), 7)
        ours_cost = replay(inputs, [], sizes, path)

        syms = letters(inputs)
        sym_sizes = {opt_einsum.get_symbol(x): 2 for x in sizes}
        dp = opt_einsum.paths.DynamicProgramming(minimize="flops", search_outer=False)
        oe_t, oe_path = best_time(lambda: dp([set(s) for s in syms], set(), sym_sizes), 3, budget=4)
        oe_cost = replay(inputs, [], sizes, oe_path)

        ctg_t, ctg_path = best_time(
            lambda: cotengrust.optimize_optimal(syms, [], sym_sizes, minimize="flops", simplify=False), 3
        )
        ctg_cost = replay(inputs, [], sizes, ctg_path)
        row = (name, ours_t, oe_t, oe_t / ours_t, ours_cost == oe_cost, ctg_t, ours_t / ctg_t, ctg_cost / ours_cost)
        rows.append(row)
        print(
            f"{row[0]:<14}{row[1] * 1e3:>10.3f}{row[2] * 1e3:>15.1f}{row[3]:>9.0f}x{str(row[4]):>12}"
            f"{row[5] * 1e3:>15.2f}{row[6]:>10.3f}{row[7]:>10.3f}"
        )
    print("   speed-up = opt_einsum time / ours; ours/ctg = our time / cotengrust's (below 1: we are faster);")
    print("   ctg cost = cotengrust path cost / ours under the shared model")
    return rows


BOUNDED_CHILD = """
import json, sys, timeit
from plenexa import EinsumSpec

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

inputs = json.loads(sys.argv[1])
sizes = {x: 2 for axes in inputs for x in axes}
spec = EinsumSpec(inputs, [], sizes)
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak resident-set mark
except OSError:
    pass  # then the peak may predate the call, and the figure is a lower bound
before = status("VmRSS")
path = spec.optimize_dp()
peak = status("VmHWM")
elapsed = min(timeit.repeat(spec.optimize_dp, number=1, repeat=3))
print(json.dumps({"time": elapsed, "rss_kib": before, "peak_kib": peak, "path": path}))
"""


def bounded():
    import json

    print("3. Bounded search with the default caps (hash_map_cap_op 500), bond 2, scalar output")
    print(f"{'network':<14}{'time ms':>9}{'peak RSS MiB':>14}{'search MiB':>12}{'cost/oe greedy':>16}{'cost/ctg greedy':>17}")
    rows = []
    cases = [(f"3-regular {n}", regular_graph(n, 3, seed=n)) for n in (40, 50, 63)] + [("grid 7x7", grid(7))]
    # 63 * 3 is odd: in the 63-tensor graph one tensor has two bonds.
    for name, inputs in cases:
        sizes = {x: 2 for axes in inputs for x in axes}
        run = subprocess.run(
            [sys.executable, "-c", BOUNDED_CHILD, json.dumps(inputs)], capture_output=True, text=True, check=True
        )
        child = json.loads(run.stdout)
        cost = replay(inputs, [], sizes, child["path"])
        syms = letters(inputs)
        sym_sizes = {opt_einsum.get_symbol(x): 2 for x in sizes}
        oe_greedy = replay(inputs, [], sizes, opt_einsum.paths.greedy([set(s) for s in syms], set(), sym_sizes))
        ctg_greedy = replay(inputs, [], sizes, cotengrust.optimize_greedy(syms, [], sym_sizes, simplify=False))
        row = (
            name,
            child["time"],
            child["peak_kib"] / 1024,
            (child["peak_kib"] - child["rss_kib"]) / 1024,
            cost / oe_greedy,
            cost / ctg_greedy,
        )
        rows.append(row)
        print(f"{row[0]:<14}{row[1] * 1e3:>9.1f}{row[2]:>14.1f}{row[3]:>12.1f}{row[4]:>16.3f}{row[5]:>17.3f}")
    print("   search MiB: peak resident memory during the call above the resident memory before it;")
    print("   cost ratios below 1: our path is cheaper than greedy's")
    return rows


def overhead():
    print("4. Per-call overhead, 'ab,bc,cd->ad' with sizes 2, 3, 4, 5")
    sizes = {0: 2, 1: 3, 2: 4, 3: 5}
    shapes = [(2, 3), (3, 4), (4, 5)]
    number = 20000
    ours = min(timeit.repeat(lambda: EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], sizes).optimize_dp(), number=number, repeat=5)) / number
    theirs = min(timeit.repeat(lambda: opt_einsum.contract_path("ab,bc,cd->ad", *shapes, shapes=True), number=number // 10, repeat=5)) / (number // 10)
    print(f"   EinsumSpec(...) + optimize_dp(): {ours * 1e6:.2f} us; opt_einsum.contract_path: {theirs * 1e6:.2f} us; ratio {theirs / ours:.0f}x")
    return ours, theirs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 26-tensor graph (opt_einsum needs ~20 s on it)")
    args = parser.parse_args()
    print(f"python {platform.python_version()} on {platform.machine()}, {platform.processor() or platform.platform()}")
    print()
    exact(args.quick)
    print()
    bounded()
    print()
    overhead()


if __name__ == "__main__":
    main()
