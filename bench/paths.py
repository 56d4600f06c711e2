"""Benchmark of EinsumSpec.optimize_dp against opt_einsum and cotengrust.

Run with `make bench` (or `python bench/paths.py [--quick] [--scale] [--json FILE]`). Four tables:
  1. exact search on every network of up to 26 tensors against opt_einsum's
     DynamicProgramming and cotengrust's optimize_optimal: equal cost, and the time ratios;
  2. bounded search with the default caps on the 40- to 63-tensor networks, each in a fresh
     process: time, memory, and cost against opt_einsum's and cotengrust's greedy paths;
  3. the smallest calls (2 to 4 operands): microseconds per call against cotengrust and
     opt_einsum's DynamicProgramming;
  4. (full run or --scale) the largest random 3-regular graph and square grid that the exact
     search solves within a time and memory limit.
Every cost is replayed under one model: a pairwise step costs the product of the sizes of
all axes of both operands; an intermediate keeps the axes still needed elsewhere.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import resource
import signal
import subprocess
import sys
import time
import timeit
from collections.abc import Callable, Iterator
from typing import Any

import cotengrust
import opt_einsum

from networks import (Inputs, Network, bond2, grid, ladder, mixed, random_einsum, random_pair_circuit, regular_graph,
                      sandwich, tree)
from plenexa import EinsumSpec
from replay import replay

MAX = 2**64 - 1
# The exact-search table covers networks up to this many tensors; the bounded table those from
# BOUNDED_MIN to BOUNDED_MAX (the most that EinsumSpec.optimize_dp takes).
EXACT_MAX = 26
BOUNDED_MIN, BOUNDED_MAX = 40, 63
# Seconds that opt_einsum's exhaustive search may spend on one network (all its runs together);
# past that it is stopped and reported as ">budget".
OE_BUDGET = {"full": 6.0, "quick": 1.5}
# The scale probe's limits for one exhaustive search.
SCALE_SECONDS = 10.0
SCALE_BYTES = 4 * 2**30
MAX_NARROW_INPUTS = 63  # most inputs per component that EinsumSpec.optimize_dp takes

def exact_networks(quick: bool) -> Iterator[tuple[str, Network]]:
    """The networks of up to EXACT_MAX tensors, by family; --quick leaves out the slowest."""
    for n in [10, 14, 18, 22] + ([] if quick else [26]):
        yield f"3-regular {n}", bond2(regular_graph(n, 3, seed=n))
    yield "grid 4x4", bond2(grid(4, 4))
    yield "grid 5x5", bond2(grid(5, 5))
    yield "3-regular 18 b2-5", mixed(regular_graph(18, 3, seed=18), seed=1)
    if not quick:
        yield "3-regular 24 b2-5", mixed(regular_graph(24, 3, seed=24), seed=2)
    yield "grid 4x5 b2-5", mixed(grid(4, 5), seed=3)
    for n in [12, 16] + ([] if quick else [20]):
        yield f"4-regular {n}", bond2(regular_graph(n, 4, seed=n))
    yield "tree 16", tree(16, seed=16)
    yield "tree 26", tree(26, seed=26)
    yield "ladder 2x8", ladder(8, seed=8)
    yield "ladder 2x13", ladder(13, seed=13)
    yield "circuit 6q 14g", random_pair_circuit(6, 14, seed=6)
    if not quick:
        yield "circuit 8q 18g", random_pair_circuit(8, 18, seed=8)
    yield "MPS-MPO-MPS 6", sandwich(6, seed=6)
    yield "MPS-MPO-MPS 8", sandwich(8, seed=8)
    for n in (4, 6, 8, 10):
        yield f"einsum {n}", random_einsum(n, seed=n)


def bounded_networks() -> Iterator[tuple[str, Network]]:
    """The networks of BOUNDED_MIN to BOUNDED_MAX tensors."""
    for n in (40, 50, 63):  # 63 * 3 is odd: in the 63-tensor graph one tensor has two bonds
        yield f"3-regular {n}", bond2(regular_graph(n, 3, seed=n))
    yield "grid 7x7", bond2(grid(7, 7))
    yield "3-regular 50 b2-5", mixed(regular_graph(50, 3, seed=50), seed=4)
    yield "grid 6x8 b2-5", mixed(grid(6, 8), seed=5)
    yield "4-regular 40", bond2(regular_graph(40, 4, seed=40))
    yield "tree 60", tree(60, seed=60)
    yield "ladder 2x30", ladder(30, seed=30)
    yield "circuit 12q 44g", random_pair_circuit(12, 44, seed=12)
    yield "MPS-MPO-MPS 20", sandwich(20, seed=20)


# --- costs and timing ----------------------------------------------------------------


def symbols(network: Network) -> tuple[list[list[str]], list[str], dict[str, int]]:
    """The network with one-character opt_einsum symbols for labels, as the peers take it."""
    inputs, output, sizes = network
    sym = opt_einsum.get_symbol
    return [[sym(x) for x in axes] for axes in inputs], [sym(x) for x in output], {sym(x): s for x, s in sizes.items()}


def greedy_costs(network: Network) -> tuple[int, int]:
    """Costs of opt_einsum's and cotengrust's greedy paths for the network."""
    inputs, output, sizes = network
    syms, sym_out, sym_sizes = symbols(network)
    oe = opt_einsum.paths.greedy([set(s) for s in syms], set(sym_out), sym_sizes)
    ctg = cotengrust.optimize_greedy(syms, sym_out, sym_sizes, simplify=False)
    return replay(inputs, output, sizes, oe, pairwise=False).flops, replay(inputs, output, sizes, ctg, pairwise=False).flops


def best_time(fn: Callable[[], Any], repeat: int, budget: float | None = None,
              runs: list[tuple[float, Any]] | None = None) -> tuple[float, Any]:
    """Smallest wall time of `repeat` runs (fewer once `budget` seconds are spent) and the last
    result; each run's time and result also go to `runs` when given."""
    runs = [] if runs is None else runs
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        runs.append((time.perf_counter() - start, result))
        if budget is not None and sum(t for t, _ in runs) > budget:
            break
    return min(t for t, _ in runs), runs[-1][1]


class OverBudget(Exception):
    """Raised in the main thread when a timed run outlives its budget."""


def within(budget: float, fn: Callable[[], Any], repeat: int) -> tuple[float, Any] | None:
    """best_time of a pure-Python `fn` whose runs stop at `budget` seconds in all; None when
    the first run does not finish in time (an alarm interrupts it)."""
    def expire(signum: int, frame: Any) -> None:
        raise OverBudget

    previous = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, budget)
    runs: list[tuple[float, Any]] = []
    try:
        return best_time(fn, repeat, runs=runs)
    except OverBudget:
        return (min(t for t, _ in runs), runs[-1][1]) if runs else None
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def bounded_row(name: str, network: Network, child: dict[str, Any]) -> dict[str, Any]:
    """A row of a bounded-search table: the child's time and memory, and the cost of its path
    against opt_einsum's and cotengrust's greedy paths."""
    inputs, output, sizes = network
    cost = replay(inputs, output, sizes, child["path"]).flops
    oe_greedy, ctg_greedy = greedy_costs(network)
    return {
        "network": name,
        "tensors": len(inputs),
        "cost": cost,
        "time_s": child["time"],
        "peak_mib": child["peak_kib"] / 1024,
        "search_mib": (child["peak_kib"] - child["rss_kib"]) / 1024,
        "vs_oe_greedy": cost / oe_greedy,
        "vs_ctg_greedy": cost / ctg_greedy,
    }


# --- 1. exact search -----------------------------------------------------------------


def exact(quick: bool) -> list[dict[str, Any]]:
    budget = OE_BUDGET["quick" if quick else "full"]
    print(f"1. Exact search (hash_map_cap_op=2**64-1) on networks of up to {EXACT_MAX} tensors")
    print(f"{'network':<19}{'tensors':>8}{'ours ms':>10}{'oe DP ms':>11}{'oe/ours':>9}{'ctg ms':>10}{'ctg/ours':>10}  cost")
    rows = []
    for name, network in exact_networks(quick):
        inputs, output, sizes = network
        assert len(inputs) <= EXACT_MAX
        spec = EinsumSpec(inputs, output, sizes)
        ours_t, path = best_time(lambda: spec.optimize_dp(hash_map_cap_op=MAX), 7, budget=2)
        ours = replay(inputs, output, sizes, path).flops

        syms, sym_out, sym_sizes = symbols(network)
        dp = opt_einsum.paths.DynamicProgramming(minimize="flops", search_outer=False)
        set_inputs, set_out = [set(s) for s in syms], set(sym_out)
        timed = within(budget, lambda: dp(set_inputs, set_out, sym_sizes), 3)
        oe_t, oe = (timed[0], replay(inputs, output, sizes, timed[1], pairwise=False).flops) if timed else (None, None)
        # opt_einsum first sums away axes found on one operand only, as one-operand steps: its
        # path then leaves the pairwise model, and its cost is not comparable with ours.
        unary = timed is not None and any(len(step) == 1 for step in timed[1])

        ctg_t, ctg_path = best_time(
            lambda: cotengrust.optimize_optimal(syms, sym_out, sym_sizes, minimize="flops", search_outer=False, simplify=False),
            3,
            budget=budget,
        )
        ctg = replay(inputs, output, sizes, ctg_path, pairwise=False).flops
        row = {
            "network": name,
            "tensors": len(inputs),
            "ours_s": ours_t,
            "oe_s": oe_t,
            "oe_budget_s": budget,
            "ctg_s": ctg_t,
            "cost": ours,
            "oe_cost": oe,
            "ctg_cost": ctg,
            "oe_unary": unary,
        }
        rows.append(row)
        costs = "ours = ctg" if ours == ctg else f"ctg/ours {ctg / ours:.4g}"
        if oe is not None and unary:
            costs += f"; oe has one-operand steps, oe/ours {oe / ours:.3g}"
        elif oe is not None:
            costs = "equal" if oe == ours == ctg else f"{costs}; oe/ours {oe / ours:.4g}"
        oe_ms = f"{oe_t * 1e3:>11.1f}{oe_t / ours_t:>8.0f}x" if oe_t is not None else f"{'>' + format(budget, 'g') + ' s':>11}{'>' + format(budget / ours_t, '.0f'):>8}x"
        print(f"{name:<19}{len(inputs):>8}{ours_t * 1e3:>10.3f}{oe_ms}{ctg_t * 1e3:>10.2f}{ctg_t / ours_t:>9.0f}x  {costs}")
    print("   oe DP: opt_einsum DynamicProgramming(minimize='flops', search_outer=False), stopped after")
    print(f"   {budget:g} s (>budget: the ratio is then a lower bound); ctg: cotengrust optimize_optimal")
    print("   (minimize='flops', search_outer=False, simplify=False); ratios: their time / ours;")
    print("   cost: whether the three paths cost the same under the shared model (one-operand steps")
    print("   in opt_einsum's path are priced as the size of that operand)")
    return rows


# --- 2. bounded search ---------------------------------------------------------------

BOUNDED_CHILD = """
import json, sys, timeit
from plenexa import EinsumSpec

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

inputs, output, sizes = json.loads(sys.stdin.read())
spec = EinsumSpec(inputs, output, {int(k): v for k, v in sizes.items()})
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


def bounded() -> list[dict[str, Any]]:
    print(f"2. Bounded search with the default caps (hash_map_cap_op 500) on {BOUNDED_MIN} to {BOUNDED_MAX} tensors")
    print(f"{'network':<19}{'tensors':>8}{'time ms':>9}{'peak RSS MiB':>14}{'search MiB':>12}{'cost/oe greedy':>16}{'cost/ctg greedy':>17}")
    rows = []
    for name, network in bounded_networks():
        inputs, output, sizes = network
        assert BOUNDED_MIN <= len(inputs) <= BOUNDED_MAX
        run = subprocess.run(
            [sys.executable, "-c", BOUNDED_CHILD], input=json.dumps(network), capture_output=True, text=True, check=True
        )
        row = bounded_row(name, network, json.loads(run.stdout))
        rows.append(row)
        print(
            f"{name:<19}{len(inputs):>8}{row['time_s'] * 1e3:>9.1f}{row['peak_mib']:>14.1f}{row['search_mib']:>12.1f}"
            f"{row['vs_oe_greedy']:>16.3g}{row['vs_ctg_greedy']:>17.3g}"
        )
    print("   search MiB: peak resident memory during the call above the resident memory before it;")
    print("   cost ratios below 1: our path is cheaper than greedy's")
    return rows


# --- 3. smallest calls ---------------------------------------------------------------

SMALL_CALLS: list[tuple[str, dict[str, int]]] = [
    ("ab,bc->ac", {"a": 2, "b": 3, "c": 4}),
    ("ab,bc,cd->ad", {"a": 2, "b": 3, "c": 4, "d": 5}),
    ("abc,cd,dea->be", {"a": 2, "b": 3, "c": 4, "d": 5, "e": 3}),
    ("ab,bc,cd,da->", {"a": 2, "b": 3, "c": 4, "d": 5}),
    ("abx,bc,cd,dy->axy", {"a": 2, "b": 3, "c": 4, "d": 5, "x": 2, "y": 3}),
]


def per_call(fn: Callable[[], Any], quick: bool) -> float:
    """Seconds per call: the best of five batches sized to take about 0.1 s (0.02 s with --quick)."""
    timer = timeit.Timer(fn)
    number = 1
    while timer.timeit(number) < (0.02 if quick else 0.1):
        number *= 2
    return min(timer.repeat(repeat=5, number=number)) / number


def small(quick: bool) -> list[dict[str, Any]]:
    print("3. Smallest calls, microseconds per call")
    print(f"{'equation':<20}{'dp only':>9}{'spec+dp':>9}{'ctg':>8}{'oe DP':>8}{'ctg/dp':>8}{'ctg/spec+dp':>12}{'oe/spec+dp':>11}")
    rows = []
    for equation, letter_sizes in SMALL_CALLS:
        lhs, rhs = equation.split("->")
        terms = lhs.split(",")
        ids = {c: k for k, c in enumerate(letter_sizes)}
        inputs, output = [[ids[c] for c in t] for t in terms], [ids[c] for c in rhs]
        sizes = {ids[c]: s for c, s in letter_sizes.items()}
        spec = EinsumSpec(inputs, output, sizes)
        ctg_inputs, ctg_output = [list(t) for t in terms], list(rhs)
        oe_inputs, oe_output = [set(t) for t in terms], set(rhs)
        dp = opt_einsum.paths.DynamicProgramming(minimize="flops", search_outer=False)
        times = {
            "dp_s": per_call(spec.optimize_dp, quick),
            "spec_dp_s": per_call(lambda: EinsumSpec(inputs, output, sizes).optimize_dp(), quick),
            "ctg_s": per_call(
                lambda: cotengrust.optimize_optimal(ctg_inputs, ctg_output, letter_sizes, minimize="flops", search_outer=False, simplify=False),
                quick,
            ),
            "oe_s": per_call(lambda: dp(oe_inputs, oe_output, letter_sizes), quick),
        }
        rows.append({"equation": equation, **times})
        us = {k: v * 1e6 for k, v in times.items()}
        print(
            f"{equation:<20}{us['dp_s']:>9.2f}{us['spec_dp_s']:>9.2f}{us['ctg_s']:>8.2f}{us['oe_s']:>8.1f}"
            f"{times['ctg_s'] / times['dp_s']:>7.1f}x{times['ctg_s'] / times['spec_dp_s']:>11.1f}x{times['oe_s'] / times['spec_dp_s']:>10.0f}x"
        )
    print("   dp only: optimize_dp() on a prebuilt EinsumSpec; spec+dp: EinsumSpec(...) then optimize_dp();")
    print("   ctg: cotengrust optimize_optimal, oe DP: opt_einsum DynamicProgramming, both on inputs")
    print("   converted before timing")
    return rows


# --- 4. scale of the exact search ----------------------------------------------------

SCALE_CHILD = """
import json, sys, time
from plenexa import EinsumSpec

inputs = json.loads(sys.stdin.read())
spec = EinsumSpec(inputs, [], {x: 2 for axes in inputs for x in axes})
start = time.perf_counter()
spec.optimize_dp(hash_map_cap_op=2**64 - 1)
print(time.perf_counter() - start)
"""


def limit_memory() -> None:
    """Caps the child's address space, so that a search past SCALE_BYTES fails instead of swapping."""
    resource.setrlimit(resource.RLIMIT_AS, (SCALE_BYTES, SCALE_BYTES))


def attempt(inputs: Inputs) -> tuple[bool, str]:
    """Runs one exhaustive search in a limited child: whether it finished in time, and a note."""
    try:
        run = subprocess.run(
            [sys.executable, "-c", SCALE_CHILD],
            input=json.dumps(inputs),
            capture_output=True,
            text=True,
            timeout=SCALE_SECONDS + 5,  # room for the interpreter's start
            preexec_fn=limit_memory,
        )
    except subprocess.TimeoutExpired:
        return False, f"over {SCALE_SECONDS:g} s"
    if run.returncode != 0:
        last = (run.stderr.strip().splitlines() or [f"exit {run.returncode}"])[-1]
        return False, last[:80]
    seconds = float(run.stdout)
    return seconds <= SCALE_SECONDS, f"{seconds:.2f} s"


def scale() -> dict[str, Any]:
    print(f"4. Exact scale: largest network solved exhaustively within {SCALE_SECONDS:g} s and {SCALE_BYTES / 2**30:g} GiB, bond 2")
    result: dict[str, Any] = {}
    families: list[tuple[str, Callable[[int], Inputs], int, int]] = [
        ("3-regular", lambda n: regular_graph(n, 3, seed=n), 36, 2),
        ("grid", lambda side: grid(side, side), 6, 1),
    ]
    for family, make, start, step in families:
        largest = None
        size = start
        while True:
            label = f"{family} {size}" if family != "grid" else f"grid {size}x{size}"
            inputs = make(size)
            if len(inputs) > MAX_NARROW_INPUTS:
                # EinsumSpec refuses a component this large: the probe ends at that limit, not at time.
                ok, note = False, f"{len(inputs)} tensors: EinsumSpec takes at most {MAX_NARROW_INPUTS} per component"
                verdict = "not tried"
            else:
                ok, note = attempt(inputs)
                verdict = "solved" if ok else "failed"
            print(f"   {label:<16}{verdict:>9}  {note}")
            if not ok:
                break
            largest = {"network": label, "note": note}
            size += step
        result[family] = {"largest": largest, "first_failure": {"network": label, "note": note}}
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer networks, a shorter opt_einsum budget, no scale probe")
    parser.add_argument("--scale", action="store_true", help="run the scale probe even with --quick")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE, for bench/plot.py")
    args = parser.parse_args()
    machine = (
        f"python {platform.python_version()} on {platform.machine()}, {platform.processor() or platform.platform()};"
        f" {os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.2f} at the start"
    )
    print(machine)
    print()
    results: dict[str, Any] = {"machine": machine, "exact": exact(args.quick)}
    print()
    results["bounded"] = bounded()
    print()
    results["small"] = small(args.quick)
    if args.scale or not args.quick:
        print()
        results["scale"] = scale()
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
