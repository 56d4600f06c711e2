"""Which budget pays: plenexa_paths' default effort, fixed max_time budgets and
max_time="rate:<flops per second>", by the total time of searching and then contracting.

Run with `python bench/rate_budget.py [--rate R] [--budgets T ...] [--only WORD ...]` (part of
`make bench`). Per network of the evaluation set's tuning half (one per family and size class
by default), each budget runs once in this process; the contraction's time is estimated as the
path's flops over the rate (10^9 flops per second by default, a laptop core's einsum). Printed:
per network the search time and log10 cost of each budget, the total of each, and the rate's
total over the best fixed budget's (at most 1.1 is the aim: the rate chooses its effort about as
well as the best fixed choice made in hindsight).
"""

from __future__ import annotations

import argparse
import math
import time

import plenexa_paths
from evaluation import evaluation_set
from replay import replay

# One network per family and size class of the tuning half: cheap to contract (the search
# should stop at once), moderate and costly (the search pays for itself).
NETWORKS = ("3-regular 128 s0", "3-regular 256 s0", "Sycamore 53q m12 s0", "Sycamore 53q m16 s0", "cube 5^3 b2-3 s0",
            "cube 6^3 b2-3 s0", "PEPS 8x8 D4", "MPS norm 200 b2-8 s0", "tree 300 closed s0", "3-SAT 60v 250c weighted s0")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=float, default=1e9, help="flops per second of the contraction (default 1e9)")
    parser.add_argument("--budgets", type=float, nargs="+", default=[1.0, 5.0, 20.0], help="fixed max_time budgets in seconds")
    parser.add_argument("--only", nargs="+", metavar="WORD", help="only the networks whose name holds one of the WORDs")
    parser.add_argument("--quick", action="store_true", help="the first three networks, budgets 1 and 5 s")
    args = parser.parse_args()
    if args.quick:
        args.budgets = [1.0, 5.0]
    names = NETWORKS[:3] if args.quick else NETWORKS
    members = [m for m in evaluation_set() if m.name in names and (not args.only or any(w in m.name for w in args.only))]
    budgets: list[tuple[str, object]] = [("default", None), *((f"{t:g} s", t) for t in args.budgets),
                                         (f"rate:{args.rate:g}", f"rate:{args.rate:g}")]
    print(f"Search time + flops / {args.rate:g} per second, per budget (search s, log10 flops, total s)")
    print(f"{'network':<28}" + "".join(f"{label:>24}" for label, _ in budgets) + f"{'rate/best':>11}")
    ratios = []
    for member in members:
        inputs, output, sizes = member.make()
        totals, cells = [], []
        for label, budget in budgets:
            options = {} if budget is None else {"max_time": budget}
            start = time.perf_counter()
            path = plenexa_paths.optimize(inputs, output, sizes, **options)
            searched = time.perf_counter() - start
            flops = replay(inputs, output, sizes, path)[0]
            totals.append(searched + flops / args.rate)
            cells.append(f"{searched:6.1f} {math.log10(flops):6.2f} {totals[-1]:9.3g}")
        ratio = totals[-1] / min(totals[:-1])
        ratios.append(ratio)
        print(f"{member.name:<28}" + "".join(f"{cell:>24}" for cell in cells) + f"{ratio:>11.3f}", flush=True)
    if ratios:
        print(f"rate's total over the best fixed budget's: geometric mean "
              f"{math.exp(sum(map(math.log, ratios)) / len(ratios)):.3f}, worst {max(ratios):.3f}")


if __name__ == "__main__":
    main()
