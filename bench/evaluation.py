"""The evaluation set: plenexa_paths.optimize against its peers on families x sizes x seeds of
networks, split into a tuning half and a held-out half.

Run with `make bench` (or `python bench/evaluation.py [--quick] [--half tuning|held-out|both]
[--plenexa-only] [--families WORD ...] [--max-time T|tenth] [--json FILE]`).
Every network comes from a seeded generator of bench/networks.py. The split is fixed: within
each family, a network drawn with an even seed belongs to the tuning half and one with an odd
seed to the held-out half; a network that takes no seed (uniform PEPS, bond-2 cubes, closed
chains) has its half written beside it, the family's sizes alternating between the halves.
Constants of the search are chosen on the tuning half alone; the held-out half checks them.
Per network, plenexa_paths.optimize (defaults, or max_time) and the peers of bench/runner.py run
in the same run, each in a fresh process with a time-out; the peers' rows are cached in
build/bench/eval-peers-cache.json, and bench/eval-peers.json (committed, written by --save-record)
answers for the rows that the cache lacks, so that a new machine need not run HyperOptimizer for
hours; such rows carry the machine that measured them, whose times the table then says it uses. Costs are replayed exactly (bench/replay.py). The tables:
  1. per network: plenexa_paths' time and log10 cost, and its cost over each peer's;
  2. per family and half: geometric mean and worst of cost / HyperOptimizer's cost, how many
     networks plenexa_paths costs more on than cotengrust's random greedy (1,024 trials) and
     than opt_einsum's greedy, and the geometric mean and worst of time / HyperOptimizer's time.
"""

from __future__ import annotations

import argparse
import json
import math
import os
from collections.abc import Callable
from pathlib import Path
from typing import Any, NamedTuple

from networks import (Network, absorb_low_rank, bond2, bonds_between, closed_chain, coupler_circuit, cube, matrix_chain,
                      model_counting, mps_norm, peps_norm, regular_graph, sandwich, star, sycamore_layout, tree)
from runner import (HYPER_TRIALS, PEER_PACKAGES, REFERENCE, PeerCache, add_ratios, fingerprint, hyper_setup, machine, outcome, solve,
                    solvers, version)

CACHE = Path(__file__).resolve().parent.parent / "build" / "bench" / "eval-peers-cache.json"
# The peers' rows of earlier full runs, committed: what the cache lacks is read from here.
RECORD = Path(__file__).resolve().parent / "eval-peers.json"
# Seconds that one solver may take on one network: HyperOptimizer() took 200 to 540 s on the
# 20-cycle circuit, the 512-vertex graph and model counting at 120 variables here (2 cores).
TIMEOUT = {"full": 1200.0, "quick": 120.0}
# Peers that --quick leaves out: auto-hq took 118 s of the 120 s time-out on each 12-cycle circuit.
QUICK_SKIP = ("ctg auto-hq",)
HALVES = ("tuning", "held-out")
RGREEDY = "ctgr rgreedy 1024"
GREEDY = "oe greedy"


class Member(NamedTuple):
    """One network of the set: its family, name, half, whether --quick runs it, and its maker."""

    family: str
    name: str
    half: str
    quick: bool
    make: Callable[[], Network]


def seeded(family: str, name: str, seeds: tuple[int, ...], make: Callable[[int], Network], quick: bool = False) -> list[Member]:
    """The members that `make` draws from each seed, named `name` s<seed>, split by seed parity."""
    return [Member(family, f"{name} s{seed}", HALVES[seed % 2], quick, lambda seed=seed: make(seed)) for seed in seeds]


def evaluation_set() -> list[Member]:
    """Every network of the set, family by family (the smallest of each family in --quick)."""
    both = (0, 1)
    members: list[Member] = []
    for n in (128, 256, 512, 1024):
        members += seeded("3-regular", f"3-regular {n}", both, lambda s, n=n: bond2(regular_graph(n, 3, seed=s)), n == 128)
    for cycles in (12, 14, 16, 18, 20):
        members += seeded("Sycamore", f"Sycamore 53q m{cycles}", both,
                          lambda s, m=cycles: absorb_low_rank(coupler_circuit(sycamore_layout(), m, s)), cycles == 12)
    for cycles in (12, 20):
        members += seeded("Sycamore raw", f"Sycamore 53q m{cycles} raw", both,
                          lambda s, m=cycles: coupler_circuit(sycamore_layout(), m, s), cycles == 12)
    for side in (4, 5, 6, 7):
        members += seeded("3D lattice", f"cube {side}^3 b2-3", both, lambda s, side=side: bonds_between(cube(side), 2, 3, s),
                          side == 4)
    members += [Member("3D lattice", f"cube {side}^3 b2", half, False, lambda side=side: bond2(cube(side)))
                for side, half in ((5, "tuning"), (6, "held-out"))]
    members += [Member("PEPS norm", f"PEPS {side}x{side} D{bond}", half, side <= 7, lambda side=side, bond=bond: peps_norm(side, side, bond))
                for side, bond, half in ((6, 4, "tuning"), (7, 3, "held-out"), (8, 4, "tuning"), (9, 4, "held-out"),
                                         (10, 2, "tuning"), (10, 3, "held-out"))]
    members += seeded("MPS/MPO", "MPS-MPO-MPS 60", both, lambda s: sandwich(60, s), True)
    members += seeded("MPS/MPO", "MPS norm 200 b2-8", both, lambda s: mps_norm(200, 8, s))
    members += seeded("tree", "tree 300 closed", both, lambda s: tree(300, s, open_legs=False), True)
    members += seeded("tree", "tree 1000 open legs", both, lambda s: tree(1000, s))
    for variables, clauses, weights in ((60, 250, True), (90, 375, False), (120, 500, True)):
        members += seeded("model counting", f"3-SAT {variables}v {clauses}c{' weighted' if weights else ''}", both,
                          lambda s, v=variables, c=clauses, w=weights: model_counting(v, c, s, w), variables == 60)
    members += seeded("chain", "matrix chain 300", both, lambda s: matrix_chain(300, s), True)
    members += [Member("chain", f"chain {n}", half, False, lambda n=n: closed_chain(n)) for n, half in ((500, "tuning"), (1000, "held-out"))]
    members += seeded("star", "star 6 arms x 40", both, lambda s: star(6, 40, s), True)
    members += seeded("star", "star 10 arms x 100", both, lambda s: star(10, 100, s))
    return members


def wanted(member: Member, args: argparse.Namespace) -> bool:
    """Whether the options keep `member`."""
    return ((not args.quick or member.quick) and (args.half == "both" or member.half == args.half)
            and (not args.families or any(word.lower() in member.family.lower() for word in args.families))
            and (not args.only or any(word in member.name for word in args.only)))


def plenexa_options(args: argparse.Namespace, entries: list[dict[str, Any]]) -> dict[str, Any] | None:
    """plenexa_paths' keywords for one network: none by default, max_time T, or a tenth of the
    reference's time ("tenth"; None when the reference has no time for this network)."""
    if args.max_time is None:
        return {}
    if args.max_time != "tenth":
        return {"max_time": float(args.max_time)}
    ref = next((e for e in entries if e["solver"] == REFERENCE and "time_s" in e), None)
    return None if ref is None else {"max_time": ref["time_s"] / 10}


def ratio(entries: list[dict[str, Any]], solver: str, field: str) -> float | None:
    """plenexa_paths' `field` over `solver`'s, when both have one."""
    ours = entries[0]
    peer = next((e for e in entries if e["solver"] == solver and field in e), None)
    return ours[field] / peer[field] if field in ours and peer is not None and peer[field] else None


def cell(entries: list[dict[str, Any]], solver: str) -> str:
    """A column of table 1: plenexa_paths' cost over `solver`'s, or what became of the solver."""
    value = ratio(entries, solver, "cost")
    if value is not None:
        return f"{value:>10.3g}"
    peer = next((e for e in entries if e["solver"] == solver), {})
    return f"{'t/o' if 'timeout_s' in peer else 'fail' if 'failed' in peer else '-':>10}"


def compare(args: argparse.Namespace, members: list[Member]) -> list[dict[str, Any]]:
    """Table 1: every solver on every member; the tables of rows it returns feed table 2."""
    mode = "quick" if args.quick else "full"
    timeout = args.timeout or TIMEOUT[mode]
    cache = PeerCache(Path(args.cache), {p: version(p) for p in PEER_PACKAGES}, Path(args.record) if args.record else None)
    skip = [*(args.skip or ()), *(QUICK_SKIP if args.quick else ())]
    peers = [s for s in solvers(args.quick) if s[1] != "plenexa" and not any(word in s[0] for word in skip)]
    print(f"1. Per network: plenexa_paths' time and log10 cost, and its cost / each peer's (below 1: cheaper);"
          f" each solver in a fresh process, stopped after {timeout:g} s")
    print(f"{'network':<30}{'half':>9}{'tensors':>8}{'time s':>8}{'log10':>7}{'t/hyper':>8}" + "".join(
        f"{label.replace('ctgr rgreedy', 'rg').replace('ctg ', '').replace('HyperOptimizer', 'hyper'):>10}" for label, *_ in peers))
    tables, keys = [], []
    for member in members:
        network = member.make()
        keys += [cache.key(member.name, fingerprint(network), label, options) for label, _, options, _ in peers]
        entries = [solve(cache, member.name, network, peer, timeout, args.refresh, args.plenexa_only)[0] for peer in peers]
        options = plenexa_options(args, entries)
        if options is None:
            ours = {"solver": "plenexa_paths", "failed": "no HyperOptimizer time for max_time=tenth"}
        else:
            ours = solve(cache, member.name, network, ("plenexa_paths", "plenexa", options, 3), timeout)[0]
            ours["options"] = options
        entries.insert(0, ours)
        add_ratios(entries, REFERENCE)
        table = {"network": member.name, "family": member.family, "half": member.half, "tensors": len(network[0]), "solvers": entries}
        tables.append(table)
        head = f"{member.name:<30}{member.half:>9}{len(network[0]):>8}"
        if "cost" not in ours:
            print(f"{head}  plenexa_paths {outcome(ours)}")
            continue
        t_hyper = ratio(entries, REFERENCE, "time_s")
        print(f"{head}{ours['time_s']:>8.2f}{math.log10(ours['cost']):>7.2f}{f'{t_hyper:.3f}' if t_hyper else '-':>8}"
              + "".join(cell(entries, label) for label, *_ in peers), flush=True)
    trials = HYPER_TRIALS[mode]
    setup = hyper_setup(trials)
    print(f"   hyper: cotengra HyperOptimizer() with {trials} trials{' (--quick: fewer than its default 128, a weaker reference)' if args.quick else ''},"
          f" methods {' and '.join(setup['methods'])}, tuner {setup['optlib']}; t/hyper: plenexa_paths' time / its;")
    print("   auto, auto-hq: cotengra's presets; rg N: cotengrust's random greedy, N trials; oe greedy: opt_einsum's greedy;")
    print("   t/o: the peer timed out, fail: it failed, -: not run (or not in the cache with --plenexa-only)")
    here = machine()
    elsewhere = sorted({e.get("machine", "unknown") for t in tables for e in t["solvers"][1:] if e.get("machine", here) != here})
    if elsewhere:
        print(f"   peers' rows measured on another machine ({'; '.join(elsewhere)}): their times are that machine's")
    if args.save_record:
        print(f"   {cache.keep(keys)} peers' rows kept in {args.record}")
    return tables


def gmean(values: list[float]) -> float:
    """The geometric mean of positive values."""
    return math.exp(sum(math.log(v) for v in values) / len(values))


def summary(tables: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Table 2: per family and half (and over all families), the distributions of table 1."""
    print("2. Per family and half: cost / HyperOptimizer's (geometric mean, worst), networks where plenexa_paths costs more than")
    print("   cotengrust's random greedy (1,024 trials) and opt_einsum's greedy (of those both ran on), time / HyperOptimizer's")
    print(f"{'family':<16}{'half':>9}{'nets':>5}{'cost gmean':>11}{'worst':>9}{'> rg1024':>9}{'> greedy':>9}{'time gmean':>11}{'worst':>9}")
    groups: dict[tuple[str, str], list[list[dict[str, Any]]]] = {}
    for table in tables:
        for family in (table["family"], "all"):
            groups.setdefault((family, table["half"]), []).append(table["solvers"])
    rows = []
    for (family, half), nets in sorted(groups.items(), key=lambda kv: (kv[0][0] == "all", list(groups).index(kv[0]))):
        cost = [r for r in (ratio(e, REFERENCE, "cost") for e in nets) if r is not None]
        time = [r for r in (ratio(e, REFERENCE, "time_s") for e in nets) if r is not None]
        above = {}
        for label in (RGREEDY, GREEDY):
            both = [r for r in (ratio(e, label, "cost") for e in nets) if r is not None]
            above[label] = (sum(r > 1 for r in both), len(both))
        row = {"family": family, "half": half, "networks": len(nets), "cost_vs_hyper": cost, "time_vs_hyper": time,
               "above_rgreedy": above[RGREEDY], "above_greedy": above[GREEDY]}
        rows.append(row)

        def spread(values: list[float]) -> str:
            return f"{gmean(values):>11.3g}{max(values):>9.3g}" if values else f"{'-':>11}{'-':>9}"

        counts = "".join(f"{f'{k}/{n}':>9}" for k, n in above.values())
        print(f"{family:<16}{half:>9}{len(nets):>5}{spread(cost)}{counts}{spread(time)}")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="the smallest networks of each family (20), HyperOptimizer with 32 trials, no auto-hq, 120 s time-outs")
    parser.add_argument("--half", choices=("tuning", "held-out", "both"), default="both", help="which half to run (default both)")
    parser.add_argument("--families", nargs="+", metavar="WORD", help="only the families whose name holds one of the WORDs")
    parser.add_argument("--only", action="append", metavar="WORD", help="only the networks whose name holds WORD (repeatable)")
    parser.add_argument("--plenexa-only", action="store_true", help="run plenexa_paths alone; the peers' rows come from the cache")
    parser.add_argument("--refresh", action="store_true", help="run the peers again even when the cache has them")
    parser.add_argument("--skip", action="append", metavar="WORD", help="leave out the peers whose label holds WORD (repeatable)")
    parser.add_argument("--max-time", metavar="T|tenth",
                        help="plenexa_paths with max_time=T seconds, or a tenth of HyperOptimizer's time on each network")
    parser.add_argument("--timeout", type=float, help="seconds per solver and network (default 1200, 120 with --quick)")
    parser.add_argument("--cache", default=str(CACHE), help="the peers' cache (default build/bench/eval-peers-cache.json)")
    parser.add_argument("--record", default=str(RECORD), help="the committed peers' rows read where the cache lacks them"
                        " (default bench/eval-peers.json; '' for none)")
    parser.add_argument("--save-record", action="store_true", help="copy this run's peers' rows from the cache into the record")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    parser.add_argument("--list", action="store_true", help="list the set's networks and halves, and run nothing")
    args = parser.parse_args()
    if args.max_time not in (None, "tenth"):
        try:
            if not float(args.max_time) > 0:
                raise ValueError
        except ValueError:
            parser.error("--max-time takes a positive number of seconds or 'tenth'")
    if args.save_record and not args.record:
        parser.error("--save-record needs a --record file")
    members = [m for m in evaluation_set() if wanted(m, args)]
    if args.list:
        for m in members:
            print(f"{m.family:<16}{m.name:<30}{m.half:>9}{len(m.make()[0]):>6} tensors{'  (quick)' if m.quick else ''}")
        return
    here = f"{machine()}; load average {os.getloadavg()[0]:.2f} at the start"
    versions = {p: version(p) for p in ("plenexa", *PEER_PACKAGES)}
    print(here)
    print("versions: " + ", ".join(f"{p} {v}" for p, v in versions.items()))
    print(f"plenexa_paths.optimize: {'defaults' if args.max_time is None else f'max_time={args.max_time}'};"
          f" {len(members)} networks, half: {args.half}")
    print()
    tables = compare(args, members)
    print()
    rows = summary(tables)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": here, "quick": args.quick, "versions": versions, "max_time": args.max_time,
                       "hyper": hyper_setup(HYPER_TRIALS["quick" if args.quick else "full"]), "networks": tables,
                       "summary": rows}, f, indent=1)


if __name__ == "__main__":
    main()
