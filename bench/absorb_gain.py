"""Raw networks against the same networks simplified by hand: what plenexa_paths' own absorption
of vectors and small matrices leaves of the difference.

Run with `make bench` (or `python bench/absorb_gain.py [--quick]` after `make build`). Raw networks
are built as users write them (bench/networks.py): Sycamore-like circuits (a |0> vector per qubit,
a 2 x 2 gate on every qubit each cycle, rank-4 two-qubit gates, an output vector per qubit) and
model counting of random 3-SAT with a weight vector per variable. Each is searched raw and after
networks.absorb_low_rank (the simplification circuit simulators apply first) with default
settings; both paths are replayed on their own network (bench/replay.py), so the raw row also pays
for its absorptions. Ratio = raw cost / simplified cost (the aim: at most 1.05).
"""

from __future__ import annotations

import argparse
import math
import time

import plenexa_paths

from networks import Network, absorb_low_rank, coupler_circuit, model_counting, sycamore_layout
from replay import replay


def cases(quick: bool) -> list[tuple[str, Network]]:
    """The raw networks, by name."""
    chosen = [(f"sycamore m{m} s{seed}", coupler_circuit(sycamore_layout(), m, seed=seed))
              for m in ((12,) if quick else (12, 14, 16, 20)) for seed in (0, 1)]
    chosen += [(f"3-SAT {n}v s{seed}", model_counting(n, round(4.2 * n), seed=seed, weights=True))
               for n in ((60,) if quick else (60, 90)) for seed in (0, 1)]
    return chosen


def searched(network: Network) -> tuple[float, float]:
    """log10 of the cost of plenexa_paths' default path, and the seconds it took."""
    inputs, output, sizes = network
    start = time.perf_counter()
    path = plenexa_paths.optimize(inputs, output, sizes)
    seconds = time.perf_counter() - start
    return math.log10(max(replay(inputs, output, sizes, path)[0], 1)), seconds


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="two circuits of 12 cycles and two small formulas")
    args = parser.parse_args()
    print(f"{'network':<18} {'tensors':>15} {'log10 raw':>10} {'simplified':>10} {'ratio':>7} {'time raw/simpl s':>17}")
    for name, raw in cases(args.quick):
        simplified = absorb_low_rank(raw)
        (raw_cost, raw_s), (simple_cost, simple_s) = searched(raw), searched(simplified)
        print(f"{name:<18} {len(raw[0]):>6} -> {len(simplified[0]):>5} {raw_cost:>10.3f} {simple_cost:>10.3f} "
              f"{10 ** (raw_cost - simple_cost):>7.3f} {raw_s:>8.2f}/{simple_s:<8.2f}", flush=True)


if __name__ == "__main__":
    main()
