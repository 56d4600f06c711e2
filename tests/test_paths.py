"""plenexa_paths.optimize: agreement with EinsumSpec.optimize_dp, labels of any kind, large
networks, memory limits, objectives other than flops, bad input, Ctrl-C, threads, and the
opt_einsum, cotengra, numpy, jax and torch plug-ins."""

import collections
import doctest
import functools
import itertools
import gc
import importlib
import importlib.metadata
import math
import os
import random
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc

import numpy as np
import opt_einsum
import pytest

import plenexa
import plenexa_paths
from conftest import importable
import networks
from networks import grid, regular_graph
from plenexa import EinsumSpec
from plenexa_paths import Optimizer, PathInfo, einsum_path, optimize
from replay import measure, score
from replay import replay as replay_path

MAX = 2**64 - 1


# plenexa_paths' steps are tuples, as opt_einsum's are.
replay = functools.partial(replay_path, step_type=tuple)


def oracle(inputs, output, sizes, hash_map_cap=500, check_outer=False):
    """EinsumSpec.optimize_dp's path for the network relabelled 0, 1, ... in order of first
    appearance across the inputs (the package's own mapping), as tuples."""
    ids, terms, out, _, _ = plenexa_paths._helpers.network(inputs, output, sizes)
    spec = EinsumSpec(terms, out, {ids[x]: sizes[x] for x in ids})
    return [tuple(step) for step in spec.optimize_dp(check_outer_op=check_outer, hash_map_cap_op=hash_map_cap)]


def random_network(rng):
    """A random network of 1 to 9 inputs over up to 12 labels: repeats, empty terms, scalars
    and several components all occur."""
    n = rng.randint(1, 9)
    pool = rng.sample(range(100), rng.randint(1, 12))
    inputs = [[rng.choice(pool) for _ in range(rng.randint(0, 4))] for _ in range(n)]
    used = sorted({x for term in inputs for x in term})
    output = rng.sample(used, rng.randint(0, min(3, len(used))))
    sizes = {x: rng.randint(1, 6) for x in pool}
    return inputs, output, sizes





def equation(inputs, output):
    """The einsum equation of a network, with one opt_einsum symbol per label."""
    symbols = {}
    for x in [*(x for term in inputs for x in term), *output]:
        symbols.setdefault(x, opt_einsum.get_symbol(len(symbols)))
    return ",".join("".join(symbols[x] for x in term) for term in inputs) + "->" + "".join(
        symbols[x] for x in output
    )


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


# --- agreement with EinsumSpec.optimize_dp ----------------------------------------------------

CAPS = [1, 2, 3, 4, 5, 500, MAX]


def greedy_path(inputs, output, sizes):
    """A greedy path: again and again it contracts the pair of operands sharing a label whose
    result grows the least (result size less both operand sizes), the two smallest operands
    when no pair shares a label."""
    operands, keep = [set(term) for term in inputs], set(output)
    size = lambda labels: math.prod(sizes[x] for x in labels)  # noqa: E731
    path = []
    while len(operands) > 1:
        def result(i, j):
            rest = set().union(*(operands[k] for k in range(len(operands)) if k not in (i, j)))
            return (operands[i] | operands[j]) & (keep | rest)
        pairs = [(i, j) for i in range(len(operands)) for j in range(i + 1, len(operands))
                 if operands[i] & operands[j]]
        if pairs:
            i, j = min(pairs, key=lambda p: size(result(*p)) - size(operands[p[0]]) - size(operands[p[1]]))
        else:
            i, j = sorted(sorted(range(len(operands)), key=lambda k: size(operands[k]))[:2])
        merged = result(i, j)
        path.append((i, j))
        del operands[j], operands[i]
        operands.append(merged)
    return path


def greedy_cost(inputs, output, sizes):
    """What the greedy path costs under replay's model."""
    path = greedy_path(inputs, output, sizes)
    return replay(inputs, output, sizes, path)[0] if path else 0


def connected(inputs):
    """True when every input shares a label with another, transitively (one component)."""
    reached, frontier = {0}, [0]
    while frontier:
        i = frontier.pop()
        for j, term in enumerate(inputs):
            if j not in reached and set(term) & set(inputs[i]):
                reached.add(j)
                frontier.append(j)
    return len(reached) == len(inputs)


@pytest.mark.parametrize("seed", range(10))
def test_never_costlier_than_einsum_spec_or_greedy(seed):
    # Among them caps of 1 to 5, with which optimize_dp falls back to the [0, 1] chain. Greedy
    # bounds every component; the outer products that join components are chosen apart from it.
    rng = random.Random(seed)
    for _ in range(300):
        inputs, output, sizes = random_network(rng)
        cap, outer = rng.choice(CAPS), rng.random() < 0.3
        path = optimize(inputs, output, sizes, hash_map_cap=cap, check_outer=outer)
        cost, _ = replay(inputs, output, sizes, path)
        context = (inputs, output, sizes, cap, outer)
        assert cost <= replay(inputs, output, sizes, oracle(inputs, output, sizes, cap, outer))[0], context
        if not outer and connected(inputs):
            assert cost <= greedy_cost(inputs, output, sizes), context


@pytest.mark.parametrize("budget", [0.0, 0.01])
def test_a_tiny_budget_still_beats_opt_einsums_greedy_on_a_large_graph(budget):
    # A 3-regular graph of 2,000 vertices, bond 2 (every pair ties): max_time=0.01 answered a path
    # of 2.7e182 and 0.5 one of 1.3e170 where opt_einsum's greedy path costs 6.7e153; the least
    # effort's random greedy trials now answer below it. Costs are exact integers.
    inputs = regular_graph(2000, 3, 0)
    sizes = {x: 2 for term in inputs for x in term}
    equation = ",".join("".join(opt_einsum.get_symbol(x) for x in term) for term in inputs) + "->"
    greedy, _ = opt_einsum.contract_path(equation, *[(2,) * len(term) for term in inputs], shapes=True,
                                         optimize="greedy")
    path = optimize(inputs, [], sizes, max_time=budget)
    assert replay(inputs, [], sizes, path)[0] <= replay(inputs, [], sizes, greedy)[0]


@pytest.mark.parametrize("n, seed", [(40, 2), (80, 1), (130, 0)])
def test_costs_beyond_a_double_do_not_tie(n, seed):
    # Every size 2^63: costs pass the tables' 64 bits (40 vertices, where they all tied and the
    # path cost 10^37.6 times opt_einsum's greedy path) or a double (80 and 130, where the tree
    # search's comparisons tied at infinity: up to 10^246 times). Compared exactly, in Python's
    # integers.
    inputs = regular_graph(n, 3, seed)
    sizes = {x: 2**63 for term in inputs for x in term}
    equation = ",".join("".join(opt_einsum.get_symbol(x) for x in term) for term in inputs) + "->"
    greedy, _ = opt_einsum.contract_path(equation, *[(2**63,) * len(term) for term in inputs], shapes=True,
                                         optimize="greedy")
    assert replay(inputs, [], sizes, optimize(inputs, [], sizes))[0] <= replay(inputs, [], sizes, greedy)[0]


@pytest.mark.parametrize(
    "inputs, output, expected",
    [
        ([], [], []),
        ([["a", "b"]], ["b"], [(0,)]),
        ([[]], [], [(0,)]),
        ([["a"], ["a"]], [], [(0, 1)]),
    ],
)
def test_trivial_networks(inputs, output, expected):
    result = optimize(inputs, output, {"a": 2, "b": 3})
    assert result == expected and result is not optimize(inputs, output, {"a": 2, "b": 3})
    if not inputs:  # nothing is contracted, so no limit can be broken
        assert optimize(inputs, output, {}, 0) == []


# --- labels of any hashable kind --------------------------------------------------------------

LABEL_KINDS = {
    "long str": lambda x: f"label-{x}",
    "int": lambda x: 10**30 - 7 * x,
    "tuple": lambda x: ("axis", x, (x % 3,)),
    "frozenset": lambda x: frozenset({x, -x - 1}),
    "mixed": lambda x: [str(x), x, (x,), frozenset({x}), float(x) + 0.5][x % 5],
}


@pytest.mark.parametrize("kind", LABEL_KINDS)
def test_labels_of_any_kind_give_the_int_path(kind):
    rng = random.Random(kind)
    label = LABEL_KINDS[kind]
    for _ in range(200):
        inputs, output, sizes = random_network(rng)
        cap = rng.choice(CAPS)
        relabelled = optimize(
            [[label(x) for x in term] for term in inputs],
            [label(x) for x in output],
            {label(x): s for x, s in sizes.items()},
            hash_map_cap=cap,
        )
        assert relabelled == optimize(inputs, output, sizes, hash_map_cap=cap)


def test_terms_and_output_may_be_any_iterables():
    sizes = {"a": 2, "b": 30, "c": 40, "d": 5}
    as_lists = optimize([["a", "b"], ["b", "c"], ["c", "d"]], ["a", "d"], sizes)
    assert optimize(iter(["ab", ("b", "c"), {"c": 0, "d": 0}.keys()]), (x for x in "ad"), sizes) == as_lists
    # opt_einsum passes sets, whose order is arbitrary: the path is valid whatever it is.
    sets = [set("ab"), set("bc"), set("cd")]
    replay(sets, "ad", sizes, optimize(sets, set("ad"), sizes))


def test_sizes_accept_integer_types_and_ignore_unused_labels():
    inputs, output = [["a", "b"], ["b", "c"], ["c", "a"]], ["a"]
    plain = optimize(inputs, output, {"a": 3, "b": 4, "c": 5})
    assert optimize(inputs, output, {"a": np.int64(3), "b": np.uint8(4), "c": 5, "unused": 0}) == plain


# --- networks of 64 tensors and more (the tree search) ----------------------------------------

CHAIN = [[i, i + 1] for i in range(5000)]


@pytest.mark.parametrize(
    "inputs, output",
    [(grid(8, 8), []), (regular_graph(64, 3, 64), []), (grid(10, 10), [0, 1]), (grid(5, 100), []),
     (CHAIN, [0, 5000]), (networks.model_counting(70, 290, seed=1, weights=False)[0], [0, 7])],
    ids=["grid 8x8", "3-regular 64", "grid 10x10 with open legs", "grid 5x100", "chain of 5,000",
         "3-SAT with open legs"],
)
def test_large_networks_beat_greedy(inputs, output):
    sizes = {x: 2 + x % 3 for term in inputs for x in term}
    path = optimize(inputs, output, sizes)
    cost, _ = replay(inputs, output, sizes, path)
    greedy = opt_einsum.paths.greedy([set(term) for term in inputs], set(output), sizes)
    assert cost <= replay(inputs, output, sizes, greedy)[0]


def test_costs_beyond_64_bits_still_rank_paths():
    # Every cost of this network passes 2**64: the search still beats greedy by far.
    inputs = regular_graph(96, 3, 5)
    sizes = {x: 2**12 for term in inputs for x in term}
    cost, _ = replay(inputs, [], sizes, optimize(inputs, [], sizes))
    greedy = opt_einsum.paths.greedy([set(term) for term in inputs], set(), sizes)
    assert 2**64 < cost <= replay(inputs, [], sizes, greedy)[0]
    # Intermediates of 2**64 elements or more, without a memory limit, still get a path.
    inputs, output = [[0, 1, 8, 1, 5], [0, 8, 3, 0], [], [6, 1, 3], [], [6, 0, 9, 1], [10]], [0, 6, 9, 5]
    sizes = {0: 2**32 + 1, 5: 2**63, 10: 2**20} | {x: 2 for x in (1, 3, 6, 8, 9)}
    replay(inputs, output, sizes, optimize(inputs, output, sizes))


# Labels that every input holds multiply every step by their size, whatever the order: the
# answer is the network's without them, found without searching the tensors around the hub.
def test_labels_held_by_every_input_are_factored_out():
    # Around one hub the cheapest path contracts the two smallest tensors, then every other one
    # into the result: 2 x (3 x 3 + the rest), where any search of a thousand tensors was slow.
    inputs = [["z", i] for i in range(1000)]
    sizes = {"z": 2, **{i: 3 + i % 5 for i in range(1000)}}
    cost, _ = replay(inputs, [], sizes, optimize(inputs, [], sizes))
    assert cost == 2 * (3 * 3 + sum(3 + i % 5 for i in range(1000)) - 6)
    # A batch label on every tensor of a graph: the same path as the graph without it.
    graph = regular_graph(100, 3, 4)
    sizes = {x: 2 + x % 3 for term in graph for x in term} | {"b": 5}
    batched = [term + ["b"] for term in graph]
    assert optimize(batched, ["b"], sizes) == optimize(graph, [], sizes)


def test_components_beyond_the_tables_widths_are_searched():
    # 9,000 labels in one component went past the tables' widths and were refused.
    inputs = [list(range(9000)), [0], [1, 2]]
    sizes = dict.fromkeys(range(9000), 2)
    path = optimize(inputs, [], sizes)
    optimal = opt_einsum.paths.optimal([set(term) for term in inputs], set(), sizes)
    assert replay(inputs, [], sizes, path)[0] == replay(inputs, [], sizes, optimal)[0]


@pytest.mark.parametrize("layout, cycles, seed", [((5, 5), 12, 0), ((4, 6), 14, 1)])
def test_raw_circuits_cost_what_simplified_ones_do(layout, cycles, seed):
    # Vectors and one-qubit gates are absorbed before the search, which then sees the network
    # simplified by hand (the same inputs, in its own order): the raw path costs the simplified
    # one plus the absorptions' few flops.
    raw = networks.coupler_circuit(networks.square_layout(*layout), cycles, seed=seed)
    simplified = networks.absorb_low_rank(raw)
    assert len(simplified[0]) < len(raw[0]) // 2
    raw_cost, _ = replay(*raw, optimize(*raw))
    assert raw_cost <= 1.05 * replay(*simplified, optimize(*simplified))[0]


@pytest.mark.parametrize("n", [300, 2000])
def test_a_raw_chain_costs_its_optimum(n):
    # Vectors at both ends of a chain of matrices: the best path sweeps the vectors in, each
    # matrix priced once, and meets at the smallest bond (a matrix times a matrix costs more).
    # Absorbing matrices into matrices first had cost the chain of 2,000 1.9 times as much, and
    # absorbed sweeps met at another bond (0.01% more); the raw search answers too when cheaper.
    inputs, output, sizes = networks.closed_chain(n)
    matrices = sum(sizes[a] * sizes[b] for a, b in (term for term in inputs if len(term) == 2))
    assert replay(inputs, output, sizes, optimize(inputs, output, sizes))[0] == matrices + min(sizes.values())


def test_max_time_bounds_every_component():
    # 3,000 components of 62 tensors: each one's windows ran past the deadline, some 30 ms a
    # component (1.5 minutes in all); after it only greedy trees answer.
    graph = regular_graph(62, 3, 1)
    inputs = [[(c, x) for x in term] for c in range(3000) for term in graph]
    sizes = {x: 2 for term in inputs for x in term}
    start = time.perf_counter()
    path = optimize(inputs, [], sizes, max_time=0.1)
    assert time.perf_counter() - start < 60  # catches windows that ignore the deadline, not a slow machine
    assert len(path) == len(inputs) - 1


@pytest.mark.parametrize("minimize", ["flops", "write"])
def test_progress_reports_from_the_tables_too(minimize):
    # An exhaustive search of a 40-tensor graph runs for seconds in the tables alone; a progress
    # callable that raises at its first report ends it, and no report is ever infinite.
    inputs = regular_graph(40, 3, 40)
    sizes = {x: 2 for term in inputs for x in term}
    reports = []

    def stop(elapsed, cost):
        reports.append(cost)
        raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        optimize(inputs, [], sizes, hash_map_cap=None, progress=stop, minimize=minimize)
    assert len(reports) == 1 and math.isfinite(reports[0])


@pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "no-tqdm"])
def test_progress_true_ends_its_line(capsys, monkeypatch, tqdm):
    # Reports rewritten in place with no line end glued the next output onto them: tqdm's bar
    # ends its line when the search ends, and without tqdm every report is a whole line.
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm", None)
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    inputs = regular_graph(300, 3, 1)
    optimize(inputs, [], {x: 2 for term in inputs for x in term}, max_time=0.5, progress=True)
    err = capsys.readouterr().err
    # tqdm pads a report that overwrites a longer one with spaces.
    reports = [report.rstrip(" ") for report in re.split(r"[\r\n]+", err.strip())]
    assert err.endswith("\n") and ("\r" in err) == tqdm
    assert reports and all(re.fullmatch(r"plenexa_paths: best cost \S+ after \d+\.\d s", r) for r in reports), err


def test_progress_bar_is_closed_however_the_search_ends(monkeypatch):
    # A stand-in tqdm whose third report raises: the search ends with its error and the bar is
    # closed; the next search of the same Optimizer opens a bar of its own.
    bars = []

    class Bar:
        def __init__(self, desc, **options):
            self.reports, self.closed = [desc], False
            bars.append(self)

        def set_description_str(self, text):
            self.reports.append(text)
            if len(self.reports) == 3 and len(bars) == 1:
                raise KeyboardInterrupt

        def close(self):
            assert not self.closed
            self.closed = True

    monkeypatch.setitem(sys.modules, "tqdm", type(sys)("tqdm"))
    monkeypatch.setitem(sys.modules, "tqdm.auto", type(sys)("tqdm.auto"))
    sys.modules["tqdm.auto"].tqdm = Bar
    inputs = regular_graph(300, 3, 1)
    sizes = {x: 2 for term in inputs for x in term}
    optimizer = Optimizer(progress=True, max_time=0.5)
    with pytest.raises(KeyboardInterrupt):
        optimizer([set(term) for term in inputs], set(), sizes)
    optimizer(inputs, [], sizes)
    assert len(bars) == 2 and all(bar.closed for bar in bars) and len(bars[0].reports) == 3


CLI = {
    "equation": (["ab,bc->ac", "2x3", "3x4"], 0, "path: [(0, 1)]\nflops: 24   largest intermediate: 8 elements   steps: 1\n"),
    "plan": (["ab,bc,cd->ad", "8x8", "8x8", "8x8", "--memory-limit", "16"], 0, "sliced d: 8 slices"),
    "json": (["NETWORK"], 0, "path: [(0, 1), (0, 1)]"),
    "bad sizes": (["ab,bc->ac", "2x3", "4x4"], 2, ""),
}


@pytest.mark.parametrize("argv, status, expected", CLI.values(), ids=CLI)
def test_command_line(argv, status, expected, tmp_path):
    network = tmp_path / "network.json"
    network.write_text('{"inputs": [["a", "b"], ["b", "c"], ["c", "d"]], "output": ["a", "d"], '
                       '"size_dict": {"a": 2, "b": 30, "c": 40, "d": 5}}')
    argv = [str(network) if arg == "NETWORK" else arg for arg in argv]
    run = subprocess.run([sys.executable, "-m", "plenexa_paths", *argv], capture_output=True, text=True, timeout=120)
    assert run.returncode == status, run.stderr
    assert expected in run.stdout and (status == 0 or "plenexa_paths: " in run.stderr)


@pytest.mark.parametrize("budget, error", [("rate:0", ValueError), ("rate:x", ValueError), ("rate:inf", ValueError),
                                           ("fast", TypeError), (b"rate:1", TypeError)])
def test_max_time_rate_is_checked(budget, error):
    with pytest.raises(error, match="max_time"):
        optimize([["a", "b"], ["b", "c"], ["c", "a"]], [], dict.fromkeys("abc", 2), max_time=budget)


@pytest.mark.parametrize("budget", ["seconds", "rate:1e-9"], ids=["seconds", "slow rate"])
def test_a_budget_is_spent_improving_the_default_path(budget):
    # With seconds to spare the tree search goes on past its default effort (a fraction of a
    # second here) and keeps the cheaper path: it answers at the budget, never costlier. At 10^-9
    # flops per second contracting takes ages, and the search improves until its own bound
    # (ten default efforts), not forever.
    # The promise holds for a budget that lets the default effort finish: on a slow machine (an
    # emulated architecture) the budget grows with the default effort's own time.
    inputs = regular_graph(100, 3, 5)
    sizes = {x: 2 for term in inputs for x in term}
    start = time.perf_counter()
    default = replay(inputs, [], sizes, optimize(inputs, [], sizes))[0]
    if budget == "seconds":
        budget = max(2.0, 4 * (time.perf_counter() - start))
    reports = []
    start = time.perf_counter()
    path = optimize(inputs, [], sizes, max_time=budget, progress=lambda *report: reports.append(report))
    elapsed = time.perf_counter() - start
    assert replay(inputs, [], sizes, path)[0] <= default
    assert elapsed < 600  # catches a search without end, not a slow machine
    if isinstance(budget, float):
        assert elapsed >= budget and reports[-1][0] > budget / 2


def test_a_larger_budget_never_costs_more():
    # From the same seed a larger budget runs the same rounds as a smaller one and goes on, and a
    # round cut short by the deadline counts only where finishing it cannot cost more (an
    # annealing run cut short is dropped). The budgets are three times apart, so that the larger
    # one runs further even on a machine whose load varies.
    inputs = regular_graph(200, 3, 5)
    sizes = {x: 2 for term in inputs for x in term}
    start = time.perf_counter()
    optimize(inputs, [], sizes)
    budget = max(0.5, time.perf_counter() - start)
    smaller, larger = (replay(inputs, [], sizes, optimize(inputs, [], sizes, max_time=b))[0] for b in (budget, 3 * budget))
    assert larger <= smaller


def test_an_infinite_budget_is_the_default_effort():
    # max_time=inf meant "no deadline" before budgets were spent improving; it must not become a
    # search without end.
    inputs = regular_graph(100, 3, 5)
    sizes = {x: 2 for term in inputs for x in term}
    assert optimize(inputs, [], sizes, max_time=math.inf) == optimize(inputs, [], sizes)


def test_a_fast_rate_stops_at_the_first_trees():
    # At 10^30 flops per second any path contracts at once: the search stops at its first trees.
    inputs = regular_graph(300, 3, 1)
    sizes = {x: 2 for term in inputs for x in term}
    replay(inputs, [], sizes, optimize(inputs, [], sizes, max_time="rate:1e30"))


def test_tree_search_depends_on_the_seed_alone():
    inputs = regular_graph(80, 3, 2)
    sizes = {x: 2 for term in inputs for x in term}
    paths = {str(optimize(inputs, [], sizes, threads=threads)) for threads in (1, 2, 3)}
    assert len(paths) == 1
    other = optimize(inputs, [], sizes, seed=7, threads=2)
    assert other == optimize(inputs, [], sizes, seed=7, threads=1)
    replay(inputs, [], sizes, other)


@pytest.mark.parametrize("network", [
    networks.model_counting(50, 210, seed=3, weights=True),
    networks.absorb_low_rank(networks.coupler_circuit(networks.square_layout(6, 6), 10, seed=2)),
    networks.bonds_between(networks.cube(5), 2, 3, 1),
], ids=["3-SAT", "circuit", "cube"])
def test_the_order_of_the_operands_changes_no_cost(network):
    # The tree search orders a network's inputs by its structure alone: the same network with its
    # operands shuffled and its labels renamed costs the same (a search once ranged over 10^2).
    inputs, output, sizes = network
    cost = replay(inputs, output, sizes, optimize(inputs, output, sizes))[0]
    rng = random.Random(5)
    for _ in range(2):
        order = rng.sample(range(len(inputs)), len(inputs))
        renamed = {x: ("renamed", rng.random()) for x in sizes}
        shuffled = [[renamed[x] for x in inputs[j]] for j in order]
        new_sizes = {renamed[x]: size for x, size in sizes.items()}
        new_output = [renamed[x] for x in output]
        assert replay(shuffled, new_output, new_sizes, optimize(shuffled, new_output, new_sizes))[0] == cost


def test_max_time_and_progress():
    inputs = regular_graph(300, 3, 1)
    sizes = {x: 2 for term in inputs for x in term}
    reports = []
    start = time.perf_counter()
    path = optimize(inputs, [], sizes, max_time=0.3, progress=lambda *report: reports.append(report))
    assert time.perf_counter() - start < 60  # catches a search that ignores its budget, not a slow machine
    replay(inputs, [], sizes, path)
    assert all(type(t) is float and type(c) is float for t, c in reports)

    def stop(elapsed, cost):
        raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        optimize(inputs, [], sizes, progress=stop)


# --- memory_limit -----------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_memory_limit_is_honoured_or_refused(seed):
    rng = random.Random(seed)
    honoured = refused = 0
    for _ in range(250):
        inputs, output, sizes = random_network(rng)
        limit = rng.choice([0, 1, 2, 4, 8, 16, 64, 256])
        cap = rng.choice(CAPS)
        try:
            path = optimize(inputs, output, sizes, limit, hash_map_cap=cap)
        except ValueError as error:
            assert f"memory_limit={limit}" in str(error) and "plenexa_paths.plan(" in str(error)
            if "needs" in str(error):  # the peak of the path found without the limit, above the limit
                unbounded = optimize(inputs, output, sizes, hash_map_cap=cap)
                needs = replay(inputs, output, sizes, unbounded)[1]
                assert f"the path found without it needs {needs} elements;" in str(error) and needs > limit
            # opt_einsum's convention instead: pairwise steps whose results fit, then one step
            # over all remaining operands.
            *pairs, rest = Optimizer(hash_map_cap=cap)(inputs, output, sizes, limit)
            measure(inputs, output, sizes, [*pairs, rest], pairwise=False)
            assert all(len(pair) == 2 for pair in pairs) and rest == tuple(range(len(inputs) - len(pairs)))
            assert all(math.prod(sizes[x] for x in result) <= limit
                       for _, _, result in plenexa_paths._helpers.replay(inputs, output, pairs))
            refused += 1
            continue
        assert replay(inputs, output, sizes, path)[1] <= limit
        assert Optimizer(hash_map_cap=cap)(inputs, output, sizes, limit) == path
        honoured += 1
    assert honoured and refused


@pytest.mark.parametrize("seed", range(3))
def test_memory_limit_met_by_some_path_is_met_by_the_exact_search(seed):
    rng = random.Random(seed)
    for _ in range(150):
        inputs, output, sizes = random_network(rng)
        if len(inputs) < 2:
            continue
        # Any valid path's peak is a limit that the exact search must be able to meet.
        peak = replay(inputs, output, sizes, optimize(inputs, output, sizes, check_outer=True))[1]
        path = optimize(inputs, output, sizes, peak, hash_map_cap=MAX, check_outer=True)
        assert replay(inputs, output, sizes, path)[1] <= peak


def test_memory_limit_below_the_result_size_names_both():
    with pytest.raises(ValueError, match=r"memory_limit=11 is below the size of the result \(12 elements\)"):
        optimize([["a", "b"], ["b", "c"]], ["a", "c"], {"a": 3, "b": 5, "c": 4}, 11)
    assert optimize([["a", "b"], ["b", "c"]], ["a", "c"], {"a": 3, "b": 5, "c": 4}, 12) == [(0, 1)]


def test_memory_limit_max_input_is_the_largest_input():
    inputs, sizes = [["a", "b"], ["b", "c"], ["c", "d"]], {"a": 2, "b": 10, "c": 10, "d": 2}
    path = optimize(inputs, ["a", "d"], sizes, "max_input")
    assert replay(inputs, ["a", "d"], sizes, path)[1] <= 100
    # A repeated label counts in the input's size: "aa" holds 9 elements.
    path = optimize([["a", "a"], ["b"]], "ab", {"a": 3, "b": 3}, "max_input")
    assert replay([["a", "a"], ["b"]], "ab", {"a": 3, "b": 3}, path)[1] == 9
    with pytest.raises(ValueError, match="memory_limit='max_input' is below the size of the result"):
        optimize([["a"], ["b"]], ["a", "b"], {"a": 3, "b": 4}, "max_input")


@pytest.mark.parametrize("path_function", [Optimizer(), "plenexa-as-registered"], ids=["Optimizer", "function"])
def test_memory_limit_no_path_meets_gets_opt_einsums_answer(path_function):
    if "plenexa-as-registered" not in opt_einsum.paths._PATH_OPTIONS:
        opt_einsum.paths.register_path_fn("plenexa-as-registered", plenexa_paths._paths.opt_einsum_path)
    # opt_einsum's greedy and optimal end a path whose next step breaks the limit with one step
    # over the remaining operands; opt_einsum then contracts that step whole.
    shapes = [(4, 4), (4, 4), (4, 4)]
    for limit in [4**6, 4**5, 15]:
        ours, theirs = (opt_einsum.contract_path("ab,cd,ef->abcdef", *shapes, shapes=True, optimize=optimizer,
                                                 memory_limit=limit)[0] for optimizer in (path_function, "optimal"))
        assert [len(step) for step in ours] == [len(step) for step in theirs] == ([3] if limit < 16 else [2, 2])
    arrays = [np.random.default_rng(k).random((3, 4, 5)[k:k + 2]) for k in range(2)] + [np.ones((5, 2))]
    result = opt_einsum.contract("ab,bc,cd->ad", *arrays, optimize=path_function, memory_limit=4)
    assert np.allclose(result, np.einsum("ab,bc,cd->ad", *arrays))
    assert opt_einsum.contract_path("ab,bc,cd->ad", *arrays, optimize=path_function, memory_limit=4)[0] == [
        (0, 1, 2)
    ]


# --- objectives -------------------------------------------------------------------------------

OBJECTIVES = ["flops", "size", "write", "combo", "combo-3"]


def scored(inputs, output, sizes, path, minimize):
    """The path's score under `minimize`, from the shared replay."""
    return score(measure(inputs, output, sizes, path, step_type=tuple), minimize)


def every_order(inputs, output, sizes):
    """The measures of every path of a connected network that contracts only operands sharing a
    label, as the exhaustive search does."""
    found = []

    def extend(operands, path):
        if len(operands) == 1:
            found.append(measure(inputs, output, sizes, path))
            return
        for i, j in itertools.combinations(range(len(operands)), 2):
            if operands[i] & operands[j]:
                rest = [term for k, term in enumerate(operands) if k not in (i, j)]
                extend(rest + [operands[i] | operands[j]], path + [(i, j)])

    extend([set(term) for term in inputs], [])
    return found


def connected_network(rng, n, shared_only=False):
    """A random connected network of n inputs: labels that repeat within an input, sit in one
    input only (unless `shared_only`: then every label is on two inputs or in the output), or
    are kept by the output; sizes 2 to 5."""
    while True:
        pool = range(rng.randint(n, 2 * n))
        inputs = [[rng.choice(pool) for _ in range(rng.randint(1, 4))] for _ in range(n)]
        used = sorted({x for term in inputs for x in term})
        output = rng.sample(used, rng.randint(0, 2))
        held = collections.Counter(x for term in inputs for x in set(term))
        if connected(inputs) and not (shared_only and any(held[x] < 2 and x not in output for x in used)):
            return inputs, output, {x: rng.randint(2, 5) for x in used}


@pytest.mark.parametrize("seed", range(12))
def test_exhaustive_search_is_exact_for_each_objective(seed):
    # Against every order of 3 to 6 inputs; "size" compares (largest, flops), so its ties go to
    # the fewest flops.
    rng = random.Random(seed)
    for _ in range(4):
        inputs, output, sizes = connected_network(rng, rng.randint(3, 6))
        orders = every_order(inputs, output, sizes)
        for minimize in OBJECTIVES:
            path = optimize(inputs, output, sizes, hash_map_cap=None, minimize=minimize)
            best = min(score(m, minimize) for m in orders)
            assert scored(inputs, output, sizes, path, minimize) == best, (inputs, output, sizes, minimize)


@pytest.mark.parametrize("minimize", ["size", "write", "combo"])
def test_exhaustive_search_beats_opt_einsum_dp_and_the_other_objectives(minimize):
    # With every label on two inputs or in the output, opt_einsum's dynamic programming prices
    # steps as the replay does. It is exact for the largest intermediate; for write it sometimes
    # misses the optimum, so it bounds ours from above. So does every path of another objective.
    rng = random.Random(minimize)
    for _ in range(8):
        inputs, output, sizes = connected_network(rng, rng.randint(7, 10), shared_only=True)
        path = optimize(inputs, output, sizes, hash_map_cap=None, minimize=minimize)
        ours = scored(inputs, output, sizes, path, minimize)
        dp = opt_einsum.paths.DynamicProgramming(minimize=minimize)
        theirs = scored(inputs, output, sizes, dp([set(t) for t in inputs], set(output), sizes), minimize)
        context = (inputs, output, sizes)
        assert ours <= theirs, context
        if minimize == "size":
            assert ours[0] == theirs[0], context
        for other in OBJECTIVES:
            other_path = optimize(inputs, output, sizes, hash_map_cap=None, minimize=other)
            assert ours <= scored(inputs, output, sizes, other_path, minimize), (context, other)


@pytest.mark.parametrize("minimize", OBJECTIVES[1:])
def test_every_objective_keeps_paths_valid_within_caps_and_memory_limits(minimize):
    # Disconnected networks, scalars, repeated labels, every cap, outer products and limits.
    rng = random.Random(minimize)
    for _ in range(200):
        inputs, output, sizes = random_network(rng)
        cap, outer, limit = rng.choice(CAPS), rng.random() < 0.3, rng.choice([None, 4, 16, 64])
        try:
            path = optimize(inputs, output, sizes, limit, hash_map_cap=cap, check_outer=outer, minimize=minimize)
        except ValueError as error:
            assert limit is not None and f"memory_limit={limit}" in str(error)
            continue
        assert limit is None or replay(inputs, output, sizes, path)[1] <= limit
        if not outer and len(inputs) > 1 and connected(inputs) and limit is None:
            greedy = greedy_path(inputs, output, sizes)
            assert scored(inputs, output, sizes, path, minimize) <= scored(inputs, output, sizes, greedy, minimize)


@pytest.mark.parametrize(
    "inputs", [regular_graph(80, 3, 80), grid(9, 9)], ids=["3-regular 80", "grid 9x9"],
)
def test_tree_search_beats_greedy_under_each_objective(inputs):
    sizes = {x: 2 + x % 3 for term in inputs for x in term}
    greedy = opt_einsum.paths.greedy([set(term) for term in inputs], set(), sizes)
    for minimize in OBJECTIVES:
        path = optimize(inputs, [], sizes, minimize=minimize)
        assert scored(inputs, [], sizes, path, minimize) <= scored(inputs, [], sizes, greedy, minimize), minimize


# --- bad input --------------------------------------------------------------------------------

GOOD = ([["a", "b"], ["b", "c"]], ["a"], {"a": 2, "b": 3, "c": 4})


class Unhashable:
    __hash__ = None

    def __repr__(self):
        return "Unhashable()"


def bad(**changes):
    """The keyword arguments of a call that changes some of GOOD's."""
    return dict(inputs=GOOD[0], output=GOOD[1], size_dict=GOOD[2]) | changes


@pytest.mark.parametrize(
    "call, error, message",
    [
        (bad(inputs="ab,bc"), TypeError, "inputs must be an iterable of terms, not the str 'ab,bc'"),
        (bad(inputs=5), TypeError, "inputs must be an iterable of terms, got int 5"),
        (bad(inputs=[["a"], 7]), TypeError, r"inputs\[1\] must be an iterable of labels, got int 7"),
        (bad(inputs=[["a", ["x"]]]), TypeError, r"inputs\[0\] holds the unhashable label \['x'\] \(list\)"),
        (bad(inputs=[["a", Unhashable()]]), TypeError, r"inputs\[0\] holds the unhashable label Unhashable\(\)"),
        (bad(output=None), TypeError, "output must be an iterable of labels, got NoneType None"),
        (bad(output=[{}]), TypeError, r"output holds the unhashable label \{\} \(dict\)"),
        (bad(output=["a", "z"]), ValueError, "output label 'z' does not occur in any input"),
        (bad(size_dict={"a": 2, "b": 3}), ValueError, "size_dict has no size for label 'c'"),
        (bad(size_dict=[2, 3, 4]), TypeError, "size_dict must be a mapping from label to size, got list"),
        (bad(size_dict=None), TypeError, "size_dict must be a mapping from label to size, got NoneType"),
        (bad(size_dict={"a": 2, "b": -3, "c": 4}), ValueError,
         r"size_dict\['b'\] must be from 0 to 2\*\*64 - 1, got -3$"),
        (bad(size_dict={"a": 2, "b": 2**64, "c": 4}), ValueError, r"size_dict\['b'\] .* got 18446744073709551616$"),
        (bad(size_dict={"a": 2, "b": True, "c": 4}), TypeError, r"size_dict\['b'\] must be an int, got the bool True"),
        (bad(size_dict={"a": 2, "b": 3.0, "c": 4}), TypeError, r"size_dict\['b'\] must be an int, got float 3.0"),
        (bad(size_dict={"a": 2, "b": "3", "c": 4}), TypeError, r"size_dict\['b'\] must be an int, got str '3'"),
        (bad(size_dict={"a": 2, "b": None, "c": 4}), TypeError, r"size_dict\['b'\] must be an int, got NoneType"),
        (bad(inputs=[["a"]], size_dict={"a": -1}), ValueError, r"size_dict\['a'\] must be from 0"),
        (bad(output=["a", "a"]), ValueError, "output names the label 'a' more than once"),
        (bad(inputs=[["a", "b"]], output=["a", "a"]), ValueError, "output names the label 'a' more than once"),
        (bad(output="aa", size_dict={"a": 0, "b": 3, "c": 4}), ValueError, "output names the label 'a' more"),
        (bad(inputs=["ab,bc"], output="ac"), ValueError,
         "no size for label ','; the inputs look like an equation: .* plenexa_paths.einsum_path"),
        (bad(memory_limit=-1), ValueError, "memory_limit must be None, 'max_input' or an int of at least 0, got -1"),
        (bad(memory_limit=2.5), TypeError, "memory_limit must be None, 'max_input' or an int, got float 2.5"),
        (bad(memory_limit="max"), TypeError, "memory_limit must be None, 'max_input' or an int, got str 'max'"),
        (bad(memory_limit=False), TypeError, "memory_limit must be None, 'max_input' or an int, got the bool False"),
        (bad(hash_map_cap=0), ValueError, r"hash_map_cap must be from 1 to 2\*\*64 - 1, got 0"),
        (bad(hash_map_cap=2**64), ValueError, r"hash_map_cap must be .* got 18446744073709551616"),
        (bad(hash_map_cap=1.0), TypeError, "hash_map_cap must be an int, got float 1.0"),
        (bad(hash_map_cap=True), TypeError, "hash_map_cap must be an int, got the bool True"),
        (bad(check_outer=1), TypeError, "check_outer must be a bool, got int 1"),
        (bad(check_outer=None), TypeError, "check_outer must be a bool, got NoneType None"),
        (bad(hash_map_cap=None, max_time=-1), ValueError, "max_time must be at least 0, got -1"),
        (bad(max_time="1"), TypeError, "max_time must be None or a number of seconds, got str '1'"),
        (bad(seed=-1), ValueError, r"seed must be from 0 to 2\*\*64 - 1, got -1"),
        (bad(seed=1.5), TypeError, "seed must be an int, got float 1.5"),
        (bad(threads=0), ValueError, "threads must be None or at least 1, got 0"),
        (bad(progress="yes"), TypeError, "progress must be a bool or a callable, got str 'yes'"),
        (bad(minimize="speed"), ValueError,
         r"minimize must be 'flops', 'size', 'write', 'combo' or 'combo-<factor>' \(a positive number\), got 'speed'"),
        (bad(minimize="combo-0"), ValueError, "minimize must be .* got 'combo-0'"),
        (bad(minimize="combo-nan"), ValueError, "minimize must be .* got 'combo-nan'"),
        (bad(minimize="size-2"), ValueError, "minimize must be .* got 'size-2'"),
        (bad(minimize=None), TypeError, "minimize must be 'flops', .* got NoneType None"),
    ],
)
def test_bad_input_names_the_argument_and_value(call, error, message):
    size_dict = call["size_dict"]
    before = dict(size_dict) if isinstance(size_dict, dict) else None
    with pytest.raises(error, match=message):
        optimize(**call)
    if before is not None:
        assert size_dict == before


def test_unhashable_label_in_a_one_shot_iterator_still_raises_type_error():
    with pytest.raises(TypeError):
        optimize(iter([["a"], iter([["x"]])]), [], {"a": 2})


def test_native_search_rejects_malformed_ids():
    # The extension function is private, but it too must refuse bad input without crashing.
    search = plenexa_paths._search.search
    with pytest.raises(ValueError, match="holds id 5"):
        search([[0, 5]], [], [2, 2], None, 500, False)
    with pytest.raises(ValueError, match="output id 1 is in no term"):
        search([[0], [0]], [1], [2, 2], None, 500, False)
    with pytest.raises(ValueError, match="output id 0 repeats"):
        search([[0], [0]], [0, 0], [2], None, 500, False)
    with pytest.raises(ValueError, match="terms is empty"):
        search([], [], [], None, 500, False)
    with pytest.raises(ValueError, match="hash_map_cap_op must be at least 1"):
        search([[0], [0]], [], [2], None, 0, False)
    with pytest.raises(OverflowError):
        search([[-1]], [], [2], None, 500, False)
    with pytest.raises(TypeError, match="missing 4 required positional arguments: 'sizes', 'mem_cap'"):
        search([[0]], [])


# --- interruption and threads -----------------------------------------------------------------


def test_threads_search_at_once_with_the_sequential_results():
    networks = [regular_graph(24, 3, seed) for seed in range(4)]
    work = [(inputs, [], {x: 2 for term in inputs for x in term}) for inputs in networks]
    sequential = [optimize(*args, hash_map_cap=MAX) for args in work]
    results = [None] * len(work)

    def run(k):
        results[k] = optimize(*work[k], hash_map_cap=MAX)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(len(work))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == sequential


def test_a_long_search_leaves_other_threads_running():
    inputs = regular_graph(40, 3, 40)
    sizes = {x: 2 for term in inputs for x in term}
    searcher = threading.Thread(target=optimize, args=(inputs, [], sizes), kwargs={"hash_map_cap": 1000})
    searcher.start()
    # A search that held the interpreter lock would finish before this short Python work.
    sum(i * i for i in range(10_000))
    still_searching = searcher.is_alive()
    searcher.join()
    assert still_searching


def test_repeated_calls_leak_nothing():
    label = ("a-label-object",)
    args = ([[label, "b"], ["b", "c"], ["c", "d"]], [label], {label: 2, "b": 3, "c": 4, "d": 5})

    def batch():
        for _ in range(2000):
            optimize(*args)
            with pytest.raises(ValueError):
                optimize(*args, memory_limit=0)
            with pytest.raises(TypeError):
                optimize([[label, ["x"]]], [], {label: 2})

    batch()
    refs = sys.getrefcount(label)
    gc.collect()
    tracemalloc.start()
    batch()
    gc.collect()
    first, _ = tracemalloc.get_traced_memory()
    batch()
    gc.collect()
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert sys.getrefcount(label) == refs
    assert second - first < 10_000


# --- plug-ins ---------------------------------------------------------------------------------

PLUG_IN_NETWORKS = [
    ("ab,bc,cd->ad", [(2, 3), (3, 4), (4, 5)]),
    ("ij,jk,kl,li->", [(3, 4), (4, 5), (5, 6), (6, 3)]),
    ("abc,cd,dbe,ea->be", [(2, 3, 4), (4, 5), (5, 3, 2), (2, 2)]),
    ("ab,cd,bc,a->d", [(3, 4), (5, 6), (4, 5), (3,)]),
    ("ii,ij,jk->k", [(3, 3), (3, 4), (4, 5)]),
]


@pytest.fixture(params=range(len(PLUG_IN_NETWORKS)), ids=[eq for eq, _ in PLUG_IN_NETWORKS])
def network(request):
    """An equation and random operands for it."""
    eq, shapes = PLUG_IN_NETWORKS[request.param]
    rng = np.random.default_rng(request.param)
    return eq, [rng.standard_normal(shape) for shape in shapes]


@pytest.mark.parametrize("optimizer", [Optimizer(), Optimizer(hash_map_cap=1, check_outer=True), "plenexa"],
                         ids=["Optimizer()", "Optimizer(capped)", "'plenexa'"])
def test_opt_einsum_contract_matches_numpy(network, optimizer):
    eq, arrays = network
    np.testing.assert_allclose(opt_einsum.contract(eq, *arrays, optimize=optimizer), np.einsum(eq, *arrays))


def test_numpy_einsum_takes_the_path(network):
    eq, arrays = network
    inputs, output = eq.split("->")
    sizes = {x: n for term, a in zip(inputs.split(","), arrays) for x, n in zip(term, a.shape)}
    path = optimize(inputs.split(","), output, sizes)
    np.testing.assert_allclose(np.einsum(eq, *arrays, optimize=["einsum_path", *path]), np.einsum(eq, *arrays))


def test_cotengra_takes_the_function(network):
    cotengra = pytest.importorskip("cotengra")
    eq, arrays = network
    inputs, output = eq.split("->")
    terms = [tuple(term) for term in inputs.split(",")]
    sizes = {x: n for term, a in zip(terms, arrays) for x, n in zip(term, a.shape)}
    tree = cotengra.array_contract_tree(terms, tuple(output), sizes, optimize=optimize)
    assert tree.get_path() == tuple(optimize(terms, output, sizes))
    np.testing.assert_allclose(cotengra.einsum(eq, *arrays, optimize=optimize), np.einsum(eq, *arrays))


@pytest.mark.parametrize("first", ["plenexa_paths", "cotengra"])
def test_cotengra_hyper_optimiser_and_preset_take_plenexa(first):
    # Registered on import of plenexa_paths, whichever of the two is imported first.
    pytest.importorskip("cotengra")
    result = run_python(f"""
        import {first}
        import cotengra, plenexa_paths
        inputs, output = [("a", "b"), ("b", "c"), ("c", "d"), ("d", "a")], ("a",)
        sizes = {{"a": 8, "b": 2, "c": 9, "d": 3}}
        expected = tuple(plenexa_paths.optimize(inputs, output, sizes))
        hyper = cotengra.HyperOptimizer(methods=["plenexa"], max_repeats=4, parallel=False, progbar=False)
        for optimize in (hyper, "plenexa"):
            print(cotengra.array_contract_tree(inputs, output, sizes, optimize=optimize).get_path() == expected)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "True"]


def test_jax_einsum_takes_the_optimizer(network):
    if not importable("jax"):
        pytest.skip("jax is not installed, or the run is sanitized")
    import jax.numpy as jnp

    eq, arrays = network
    result = jnp.einsum(eq, *arrays, optimize=Optimizer())
    np.testing.assert_allclose(np.asarray(result), np.einsum(eq, *arrays), rtol=1e-5, atol=1e-5)


def test_torch_tensors_contract_with_the_optimizer(network, monkeypatch):
    torch = pytest.importorskip("torch")
    eq, arrays = network
    tensors = [torch.from_numpy(a) for a in arrays]
    expected = torch.einsum(eq, *tensors).numpy()
    np.testing.assert_allclose(opt_einsum.contract(eq, *tensors, optimize=Optimizer()).numpy(), expected)
    # torch.einsum itself, with plenexa_paths as its opt_einsum strategy.
    calls = []
    monkeypatch.setitem(opt_einsum.paths._PATH_OPTIONS, "plenexa", lambda *args: calls.append(args) or optimize(*args))
    monkeypatch.setattr(torch.backends.opt_einsum, "strategy", "plenexa")
    np.testing.assert_allclose(torch.einsum(eq, *tensors).numpy(), expected)
    assert len(calls) == (len(arrays) > 2)  # torch asks for no path for two operands


# --- every input opt_einsum takes; numpy's equations -------------------------------------------

ACCEPTANCE = [
    ("ab,bc->ac", [(2, 0), (0, 4)]),  # an empty axis, summed
    ("ab,bc->ac", [(0, 3), (3, 4)]),  # an empty result
    ("ab,bc,cd->ad", [(1, 1), (1, 1), (1, 1)]),
    ("aab,bc->ac", [(2, 2, 3), (3, 4)]),  # a label repeated within an input
    ("ab,,bc->ac", [(2, 3), (), (3, 4)]),  # a scalar operand
    ("ab->ba", [(2, 3)]),
    ("a,a->", [(3,), (3,)]),
    ("ab,bc->aa", [(2, 3), (3, 4)]),  # refused by both: the output repeats a label
    ("ab,bc->az", [(2, 3), (3, 4)]),  # refused by both: an output label in no input
]


@pytest.mark.parametrize("equation, shapes", ACCEPTANCE, ids=[f"{eq} {shapes}" for eq, shapes in ACCEPTANCE])
def test_accepts_what_opt_einsum_accepts(equation, shapes):
    inputs, output = equation.split("->")
    terms = inputs.split(",")
    sizes = {x: n for term, shape in zip(terms, shapes) for x, n in zip(term, shape)}
    try:
        opt_einsum.contract_path(equation, *shapes, shapes=True)
    except ValueError:
        with pytest.raises(ValueError):
            optimize(terms, output, sizes)
        return
    path = optimize(terms, output, sizes)
    arrays = [np.random.default_rng(0).standard_normal(shape) for shape in shapes]
    np.testing.assert_allclose(opt_einsum.contract(equation, *arrays, optimize=path), np.einsum(equation, *arrays))


EQUATIONS = [
    ("ij,jk,kl->il", [(8, 2), (2, 9), (9, 8)]),
    ("ij,jk,kl", [(8, 2), (2, 9), (9, 8)]),  # numpy's implicit output
    ("bA,Ac,cD", [(3, 4), (4, 5), (5, 2)]),  # capitals sort first
    ("...ij,...jk->...ik", [(5, 2, 3), (3, 4)]),
    ("i...,i...,i", [(2, 3), (2, 1), (2,)]),  # a broadcast dimension of size 1
    ("ij,jk->ik", [(2, 3), (1, 4)]),  # a label of size 1 against 3
    ("ii,ij,jk->k", [(3, 3), (3, 4), (4, 5)]),
    (" ab , bc -> ac ", [(2, 3), (3, 4)]),
    ("ab,bc->ac", [(2, 0), (0, 4)]),
    ("a,b,c->abc", [(2,), (3,), (4,)]),
    ("ab", [(2, 3)]),
]


@pytest.mark.parametrize("as_shapes", [False, True], ids=["arrays", "shapes"])
@pytest.mark.parametrize("equation, shapes", EQUATIONS, ids=[eq for eq, _ in EQUATIONS])
def test_einsum_path_feeds_numpy(equation, shapes, as_shapes):
    rng = np.random.default_rng(1)
    arrays = [rng.standard_normal(shape) for shape in shapes]
    path, info = einsum_path(equation, *(shapes if as_shapes else arrays))
    assert path[0] == "einsum_path" and info.steps == len(path) - 1
    np.testing.assert_allclose(np.einsum(equation, *arrays, optimize=path), np.einsum(equation, *arrays))
    # The figures against opt_einsum's account of the same path.
    opt_info = opt_einsum.contract_path(equation, *arrays, optimize=path[1:])[1]
    assert info.largest_intermediate == opt_info.largest_intermediate
    assert info == PathInfo(info.cost, info.largest_intermediate, len(path) - 1)


@pytest.mark.parametrize(
    "equation, operands, error, message",
    [
        (["ab"], [(2, 3)], TypeError, r"equation must be a str such as 'ab,bc->ac', got list \['ab'\]"),
        ("ab,bc", [(2, 3)], ValueError, "has 2 input terms but 1 operands were given"),
        ("abc", [(2, 3)], ValueError, r"operands\[0\] has 2 dimensions but input term 'abc' names 3"),
        ("ab,bc", [(2, 3), (4, 5)], ValueError, r"label 'b' has size 3 in one operand and 4 in operands\[1\]"),
        ("...a->a", [(2, 3)], ValueError, "covers dimensions with '...' but its output has no '...'"),
        ("ab->aa", [(2, 3)], ValueError, "the output of 'ab->aa' names 'a' more than once"),
        ("ab->z", [(2, 3)], ValueError, "names 'z', which is in no input term"),
        ("a.b", [(2, 3)], ValueError, r"input term 0 \('a.b'\) holds '.', which is not a label"),
        ("a->b->c", [(2,)], ValueError, "holds '->' more than once"),
        ("ab", ["2x3"], TypeError, r"operands\[0\] must be an array or a shape .* got str '2x3'"),
        ("ab", [(2, -3)], ValueError, r"operands\[0\] has a negative dimension: \(2, -3\)"),
    ],
)
def test_einsum_path_refuses_what_numpy_refuses(equation, operands, error, message):
    with pytest.raises(error, match=message):
        einsum_path(equation, *operands)
    if isinstance(equation, str) and all(isinstance(shape, tuple) for shape in operands):
        with pytest.raises(ValueError):
            np.einsum(equation, *[np.ones(shape) for shape in operands])


def test_optimizer_keeps_its_caps_and_checks_them():
    optimizer = Optimizer(hash_map_cap=3, check_outer=True)
    assert isinstance(optimizer, opt_einsum.paths.PathOptimizer)
    assert (optimizer.hash_map_cap, optimizer.check_outer) == (3, True)
    inputs, output, sizes = [["a"], ["b"], ["a", "b"]], [], {"a": 2, "b": 3}
    assert optimizer(inputs, output, sizes) == optimize(inputs, output, sizes, hash_map_cap=3, check_outer=True)
    with pytest.raises(ValueError, match="hash_map_cap must be from 1"):
        Optimizer(hash_map_cap=0)
    with pytest.raises(TypeError, match="check_outer must be a bool"):
        Optimizer(check_outer="yes")
    by_size = Optimizer(minimize="size")
    assert by_size(inputs, output, sizes) == optimize(inputs, output, sizes, minimize="size")
    assert "minimize='size'" in repr(by_size)
    with pytest.raises(ValueError, match="minimize must be .* got 'combo-'"):
        Optimizer(minimize="combo-")


class CountedIndex:
    """An int-like option or size that counts how often it is read."""

    def __init__(self, value):
        self.value, self.reads = value, 0

    def __index__(self):
        self.reads += 1
        return self.value


@pytest.mark.parametrize("entry", ["optimize", "Optimizer", "plan"])
def test_each_argument_is_read_once_and_the_search_runs_once(entry, monkeypatch):
    # Options and sizes are checked once, before the search, which gets valid data only: an
    # empty axis as size 1, not after a failure; an Optimizer checks its options when built.
    seed, threads, size = CountedIndex(3), CountedIndex(2), CountedIndex(0)
    sizes = {"a": 2, "b": size, "c": 4, "d": 5}
    inputs, output = [["a", "b"], ["b", "c"], ["c", "d"]], ["a", "d"]
    searched = []
    real = plenexa_paths._search.search
    monkeypatch.setattr(plenexa_paths._search, "search", lambda *args, **kw: searched.append(args[2]) or real(*args, **kw))
    if entry == "Optimizer":
        optimizer = Optimizer(seed=seed, threads=threads)
        paths = [optimizer(inputs, output, sizes) for _ in range(3)]
        with pytest.raises(ValueError, match="seed must be from 0"):
            optimizer.seed = -1  # refused when set, the optimizer unchanged
        assert optimizer.seed is seed and seed.reads == 1
    elif entry == "plan":
        paths = [plenexa_paths.plan(inputs, output, sizes, seed=seed, threads=threads).path]
    else:
        paths = [optimize(inputs, output, sizes, seed=seed, threads=threads)]
    assert (seed.reads, threads.reads, size.reads) == (1, 1, len(paths))
    assert searched == [[2, 1, 4, 5]] * len(searched) and len(searched) == len(paths)
    assert paths[0] == optimize(inputs, output, {**sizes, "b": 1})


def test_reimport_keeps_the_registered_path_function():
    importlib.reload(plenexa_paths)
    assert opt_einsum.paths.get_path_fn("plenexa")(*GOOD) == optimize(*GOOD)


def test_without_opt_einsum_only_the_optimizer_is_missing():
    result = run_python("""
        import sys
        sys.modules["opt_einsum"] = None
        import plenexa_paths
        print(plenexa_paths.optimize([["a", "b"], ["b"]], ["a"], {"a": 2, "b": 3}))
        try:
            plenexa_paths.Optimizer()
        except ModuleNotFoundError as error:
            print(type(error).__name__, error.name, "|", error)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "[(0, 1)]",
        "ModuleNotFoundError opt_einsum | plenexa_paths.Optimizer needs opt_einsum, which is not installed: "
        "install it with `pip install opt_einsum`",
    ]


def test_package_surface():
    assert plenexa_paths.__all__ == [
        "optimize", "einsum_path", "plan", "Optimizer", "PathInfo", "Plan", "PlanStep", "DEFAULT_HASH_MAP_CAP",
        "set_default_cache", "combo",
    ]
    # One version everywhere: the distribution's metadata, both modules, pyproject.toml.
    with open(os.path.join(os.path.dirname(__file__), "..", "pyproject.toml")) as file:
        declared = re.search(r'^version = "(.+)"$', file.read(), re.MULTILINE).group(1)
    assert plenexa_paths.__version__ == plenexa.__version__ == importlib.metadata.version("plenexa") == declared
    assert plenexa_paths.DEFAULT_HASH_MAP_CAP == 500
    assert os.path.exists(os.path.join(os.path.dirname(plenexa_paths.__file__), "py.typed"))


def test_docstring_examples_run():
    # Every example in the docstrings of the package's modules is run as written, with the
    # package's names at hand.
    modules = [plenexa_paths] + [importlib.import_module(f"plenexa_paths.{name}")
                                 for name in ("_paths", "_options", "_plan", "_helpers", "_plugins", "_slicing", "_equation", "_cache")]
    tried = 0
    for module in modules:
        result = doctest.testmod(module, extraglobs=vars(plenexa_paths), optionflags=doctest.NORMALIZE_WHITESPACE)
        assert result.failed == 0, module.__name__
        tried += result.attempted
    assert tried >= 6
