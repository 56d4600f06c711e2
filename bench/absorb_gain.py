"""What absorbing vectors and matrices before the search gains on raw networks.

Run with `python bench/absorb_gain.py [--quick]` after `make build`. Builds raw networks as a user
would write them: Sycamore-like circuits (53 qubits on Sycamore's grid, couplers in the pattern
sequence ABCDCDAB, a |0> vector per qubit, a 2 x 2 gate on every qubit each cycle, rank-4
two-qubit gates, a vector <x| per qubit for one amplitude) and model-counting networks (random
3-SAT, a tensor per clause and a unary weight vector per variable). Each is reduced by
driver::absorb (through bench/absorb_shim.cpp and ctypes, compiled here into build/absorb-shim),
and plenexa_paths.optimize is run with default settings on the raw and on the reduced network;
the reduced network's path is spliced after the absorption steps and replayed on the raw network
under bench/replay.py's model. The table gives both costs (log10 of the flops), their ratio, and
the absorption's time beside the search's. The last rows are circuits on a full square grid of
1,000 to 20,000 raw tensors, for the absorption's time.
"""

from __future__ import annotations

import argparse
import ctypes
import math
import random
import subprocess
import sys
import time
from pathlib import Path

import plenexa_paths

from replay import replay

ROOT = Path(__file__).resolve().parent.parent
SHIM = ROOT / "build" / "absorb-shim" / "absorb_shim.so"
SOURCES = [ROOT / "bench" / "absorb_shim.cpp", ROOT / "src" / "driver" / "absorb.cpp", ROOT / "src" / "util" / "failure.cpp"]

Network = tuple[list[list[int]], list[int], dict[int, int]]

# Sycamore's qubits on a grid, one row of the chip per line ('#' a qubit): the published 54-qubit
# layout less the single qubit of its last row, 53 qubits.
SYCAMORE_ROWS = [
    "-----##---",
    "----####--",
    "---######-",
    "--########",
    "-#########",
    "#########-",
    "-#######--",
    "--#####---",
    "---###----",
]
# The coupler patterns of a cycle, in order.
PATTERNS = "ABCDCDAB"


def load_shim() -> ctypes.CDLL:
    """The shim, compiled when missing or older than its sources."""
    if not SHIM.exists() or any(src.stat().st_mtime > SHIM.stat().st_mtime for src in SOURCES):
        SHIM.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++20", "-shared", "-fPIC", f"-I{ROOT / 'src'}", *map(str, SOURCES),
                        "-o", str(SHIM)], check=True)
    lib = ctypes.CDLL(str(SHIM))
    lib.plenexa_absorb.restype = ctypes.c_int
    return lib


def u64s(values: list[int]) -> ctypes.Array:
    """A C array of the values (at least one element, so that it has an address)."""
    return (ctypes.c_uint64 * max(1, len(values)))(*values)


def absorb(lib: ctypes.CDLL, net: Network) -> tuple[list[tuple[int, int]], list[list[int]], list[int], float]:
    """driver::absorb on a network of ids 0..A-1: its steps, reduced inputs, their nodes, seconds."""
    inputs, output, sizes = net
    offsets = [0]
    for axes in inputs:
        offsets.append(offsets[-1] + len(axes))
    n = len(inputs)
    steps, r_offsets, r_ids, nodes = u64s([0] * 2 * n), u64s([0] * (n + 1)), u64s([0] * offsets[-1]), u64s([0] * n)
    counts, seconds = u64s([0, 0]), ctypes.c_double()
    if lib.plenexa_absorb(ctypes.c_uint64(n), u64s(offsets), u64s([x for axes in inputs for x in axes]),
                          ctypes.c_uint64(len(output)), u64s(output), ctypes.c_uint64(len(sizes)),
                          u64s([sizes[x] for x in range(len(sizes))]), steps, r_offsets, r_ids, nodes, counts,
                          ctypes.byref(seconds)):
        raise RuntimeError("absorb refused the network")
    n_steps, m = counts[0], counts[1]
    reduced = [list(r_ids[r_offsets[r]:r_offsets[r + 1]]) for r in range(m)]
    return [(steps[2 * k], steps[2 * k + 1]) for k in range(n_steps)], reduced, list(nodes[:m]), seconds.value


def numbered(path: list[tuple[int, ...]], n: int) -> list[tuple[int, int]]:
    """A positional (opt_einsum) path over n inputs in numbered form."""
    live, out = list(range(n)), []
    for step in path:
        a, b = sorted(step)
        out.append((live[a], live[b]))
        live.pop(b)
        live.pop(a)
        live.append(n + len(out) - 1)
    return out


def positional(steps: list[tuple[int, int]], n: int) -> list[tuple[int, int]]:
    """Numbered steps over n inputs in positional form: a number less the smaller ones consumed."""
    total = n + len(steps) + 1
    tree = [0] * (total + 1)

    def consumed_upto(x: int) -> int:
        i, count = x + 1, 0
        while i > 0:
            count += tree[i]
            i -= i & -i
        return count

    def consume(x: int) -> None:
        i = x + 1
        while i <= total:
            tree[i] += 1
            i += i & -i

    out = []
    for x, y in steps:
        out.append((x - consumed_upto(x), y - consumed_upto(y)))
        consume(x)
        consume(y)
    return out


def splice(steps: list[tuple[int, int]], nodes: list[int], n: int, reduced: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """The absorption steps, then the reduced network's numbered path renumbered over the original inputs."""
    m, first = len(nodes), n + len(steps)
    name = lambda x: nodes[x] if x < m else first + x - m
    return steps + [(name(x), name(y)) for x, y in reduced]


def grid_circuit(cells: list[tuple[int, int]], cycles: int) -> Network:
    """The amplitude <x|C|0...0> of a circuit on the qubits at `cells`: per cycle a 2 x 2 gate on
    every qubit, then two-qubit gates on the couplers of the cycle's pattern (A, B: vertical
    neighbours, C, D: horizontal, each split by the parity of row + column). The gates' entries
    (random in a user's circuit) do not matter to a path."""
    at = {cell: q for q, cell in enumerate(cells)}
    couplers: dict[str, list[tuple[int, int]]] = {p: [] for p in "ABCD"}
    for (r, c), q in at.items():
        parity = (r + c) % 2
        if (r + 1, c) in at:
            couplers["AB"[parity]].append((q, at[r + 1, c]))
        if (r, c + 1) in at:
            couplers["CD"[parity]].append((q, at[r, c + 1]))
    label = len(cells)
    wire = list(range(len(cells)))
    inputs = [[w] for w in wire]
    for cycle in range(cycles):
        for q in range(len(cells)):
            inputs.append([wire[q], label])
            wire[q] = label
            label += 1
        for a, b in couplers[PATTERNS[cycle % len(PATTERNS)]]:
            inputs.append([wire[a], wire[b], label, label + 1])
            wire[a], wire[b] = label, label + 1
            label += 2
    return inputs + [[w] for w in wire], [], {x: 2 for x in range(label)}


def sycamore(cycles: int) -> Network:
    """A Sycamore-like circuit's amplitude on 53 qubits."""
    cells = [(r, c) for r, row in enumerate(SYCAMORE_ROWS) for c, ch in enumerate(row) if ch == "#"]
    return grid_circuit(cells[:53], cycles)


def square(side: int, cycles: int) -> Network:
    """The same kind of circuit on a full side x side grid."""
    return grid_circuit([(r, c) for r in range(side) for c in range(side)], cycles)


def model_counting(variables: int, ratio: float, seed: int) -> Network:
    """Weighted model counting of random 3-SAT: a clause tensor on its three variables, a weight
    vector per variable."""
    rng = random.Random(seed)
    clauses = [rng.sample(range(variables), 3) for _ in range(round(ratio * variables))]
    return clauses + [[v] for v in range(variables)], [], {v: 2 for v in range(variables)}


def run(lib: ctypes.CDLL, name: str, net: Network, seed: int = 0, search: bool = True) -> None:
    """One row: the network's absorption, and with `search` both searches (seed `seed`)."""
    inputs, output, sizes = net
    n = len(inputs)
    steps, reduced_inputs, nodes, absorb_s = absorb(lib, net)
    row = f"{name:<24} {n:>6} {len(reduced_inputs):>6} {absorb_s * 1e3:>9.2f}"
    if not search:
        print(row)
        return
    start = time.perf_counter()
    raw_path = plenexa_paths.optimize(inputs, output, sizes, seed=seed)
    raw_s = time.perf_counter() - start
    start = time.perf_counter()
    reduced_path = plenexa_paths.optimize(reduced_inputs, output, sizes, seed=seed) if len(reduced_inputs) > 1 else []
    reduced_s = time.perf_counter() - start
    whole = splice(steps, nodes, n, numbered(reduced_path, len(reduced_inputs)))
    raw_cost = replay(inputs, output, sizes, raw_path).flops
    absorbed_cost = replay(inputs, output, sizes, positional(whole, n)).flops
    print(f"{row} {raw_s:>8.2f} {reduced_s:>8.2f} {math.log10(raw_cost):>9.3f} {math.log10(absorbed_cost):>9.3f} "
          f"{absorbed_cost / raw_cost:>7.3f} {100 * absorb_s / reduced_s if reduced_s else 0:>7.3f}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer networks")
    args = parser.parse_args()
    lib = load_shim()
    print(f"{'network':<24} {'raw':>6} {'reduced':>6} {'absorb ms':>9} {'raw s':>8} {'red. s':>8} "
          f"{'raw lg10':>9} {'abs lg10':>9} {'ratio':>7} {'abs %':>7}")
    cycles = [12, 14] if args.quick else [12, 14, 16, 20]
    for c in cycles:
        for seed in (0,) if args.quick else (0, 1):
            run(lib, f"sycamore m={c} seed={seed}", sycamore(c), seed)
    for v in (100,) if args.quick else (100, 150, 200):
        for seed in (0,) if args.quick else (0, 1):
            run(lib, f"3-SAT n={v} seed={seed}", model_counting(v, 4.2, seed), seed)
    for side, c in ((8, 12), (12, 40), (16, 50)):
        run(lib, f"square {side}x{side} m={c}", square(side, c), search=side <= 8)


if __name__ == "__main__":
    sys.exit(main())
