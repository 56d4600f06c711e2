"""plenexa_paths.plan: slicing that fits the limit, figures against an independent replay, and
Plan.contract against numpy's unsliced einsum."""

import concurrent.futures
import contextlib
import math
import multiprocessing
import os
import pickle
import random

import numpy as np
import opt_einsum
import pytest

from networks import regular_graph
from plenexa_paths import Plan, PlanStep, optimize, plan
from replay import replay

# (inputs, output, sizes): sliced labels summed, kept in the output, repeated within an input.
NETWORKS = {
    "chain": (["ab", "bc", "cd"], "ad", {"a": 6, "b": 5, "c": 4, "d": 3}),
    "ring with open leg": (["abx", "bc", "cd", "da"], "x", {"a": 4, "b": 3, "c": 5, "d": 2, "x": 3}),
    "trace and outer": (["aab", "bc", "d"], "cd", {"a": 3, "b": 4, "c": 2, "d": 3}),
    "scalar operand": (["ab", "", "bc"], "ac", {"a": 3, "b": 4, "c": 5}),
    "3-regular": (regular_graph(10, 3, 1), [], None),
}


def network(name):
    """The named network, sizes drawn for the graph."""
    inputs, output, sizes = NETWORKS[name]
    if sizes is None:
        rng = random.Random(name)
        sizes = {x: rng.randint(2, 3) for term in inputs for x in term}
    return inputs, output, sizes


def check_figures(p, inputs, output, sizes):
    """Every figure of `p` against a replay of its path over one slice, the sliced labels at size 1."""
    one_slice = {x: 1 if x in p.sliced else n for x, n in sizes.items()}
    cost = replay(inputs, output, one_slice, p.path)
    assert p.slices == math.prod(sizes[x] for x in p.sliced)
    assert (p.flops, p.largest) == (p.slices * cost.flops, cost.largest)
    assert p.write == p.slices * sum(step.size for step in p.steps) and len(p.steps) == len(p.path)
    assert all(isinstance(step, PlanStep) and set(step.result) <= set().union(*step.operands) for step in p.steps)


@pytest.mark.parametrize("name", NETWORKS)
@pytest.mark.parametrize("fraction, minimize", [(1, "flops"), (4, "flops"), (16, "size"), (10**9, "combo")])
def test_sliced_plan_fits_and_contracts_like_numpy(name, fraction, minimize):
    inputs, output, sizes = network(name)
    unsliced = plan(inputs, output, sizes, minimize=minimize)
    assert unsliced.sliced == () and unsliced.path == optimize(inputs, output, sizes, minimize=minimize)
    limit = max(unsliced.largest // fraction, 1)
    p = plan(inputs, output, sizes, memory_limit=limit, minimize=minimize)
    assert p.largest <= limit
    check_figures(p, inputs, output, sizes)
    rng = np.random.default_rng(0)
    arrays = [rng.standard_normal([sizes[x] for x in term]) for term in inputs]
    symbol = {x: opt_einsum.get_symbol(k) for k, x in enumerate(sizes)}
    equation = ",".join("".join(symbol[x] for x in term) for term in inputs) + "->" + "".join(symbol[x] for x in output)
    np.testing.assert_allclose(p.contract(*arrays), np.einsum(equation, *arrays), rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("seed", range(30))
def test_random_networks_always_fit(seed):
    rng = random.Random(seed)
    pool = rng.sample(range(40), rng.randint(2, 12))
    inputs = [[rng.choice(pool) for _ in range(rng.randint(0, 4))] for _ in range(rng.randint(1, 9))]
    used = sorted({x for term in inputs for x in term})
    output = rng.sample(used, rng.randint(0, min(3, len(used))))
    sizes = {x: rng.randint(0, 6) for x in pool}
    limit = rng.randint(1, 50)
    p = plan(inputs, output, sizes, memory_limit=limit)
    assert p.largest <= limit or not p.steps
    if p.steps:
        check_figures(p, inputs, output, sizes)


# 90 tensors take the tree search, whose re-searches with sliced labels are quick ones.
@pytest.mark.parametrize("n, fraction", [(60, 4), (60, 64), (90, 16)])
def test_slicing_costs_no_more_than_cotengras_slicing_of_the_same_path(n, fraction):
    cotengra = pytest.importorskip("cotengra")
    inputs = regular_graph(n, 3, 2)
    sizes = {x: 2 for term in inputs for x in term}
    unsliced = plan(inputs, [], sizes)
    limit = unsliced.largest // fraction
    p = plan(inputs, [], sizes, memory_limit=limit, threads=2)
    assert p.largest <= limit
    check_figures(p, inputs, [], sizes)
    again = plan(inputs, [], sizes, memory_limit=limit, threads=1)
    assert (again.path, again.sliced) == (p.path, p.sliced)
    theirs = cotengra.ContractionTree.from_path(inputs, (), sizes, path=unsliced.path).slice(target_size=limit)
    assert p.flops <= theirs.contraction_cost()


@pytest.mark.parametrize("inputs, output, limit", [(["ab", "bc", "cd"], "ad", 4), (regular_graph(20, 3, 1), [], 16)])
def test_plan_prints_its_costliest_steps_and_tables_them_all(inputs, output, limit):
    sizes = {x: 4 for term in inputs for x in term}
    p = plan(inputs, output, sizes, limit)
    text, table = str(p).splitlines(), p.table().splitlines()
    assert p.sliced and text[0].startswith(f"{len(p.steps)} steps, sliced ") and text[0].endswith(f": {p.slices} slices")
    assert f"{p.flops:.4g}" in text[1]
    rows = [line.split() for line in table[3:]]
    assert len(rows) == len(p.steps) and [int(row[0]) for row in rows] == list(range(len(p.steps)))
    assert [float(row[-1]) for row in rows] == [float(f"{step.flops:.4g}") for step in p.steps]
    if len(p.steps) <= 10:
        assert text == table
    else:
        # The ten costliest, costliest first, each under its own step number, then the count left out.
        assert text[2] == "the 10 costliest steps:" and text[3] == table[2] and len(text) == 15
        shown = [int(line.split()[0]) for line in text[4:14]]
        assert shown == sorted(range(len(p.steps)), key=lambda k: (-p.steps[k].flops, k))[:10]
        assert [table[3 + k] for k in shown] == text[4:14]
        assert text[14] == f"... {len(p.steps) - 10} more steps (plan.table() lists every step)"
    assert "no slicing" in str(plan(["ab"], "a", {"a": 2, "b": 3}))


def arrays_and_einsum(inputs, output, sizes, seed=0):
    """Random arrays for the network and numpy's unsliced einsum of them."""
    rng = np.random.default_rng(seed)
    arrays = [rng.standard_normal([sizes[x] for x in term]) for term in inputs]
    symbol = {x: opt_einsum.get_symbol(k) for k, x in enumerate(sizes)}
    equation = ",".join("".join(symbol[x] for x in term) for term in inputs) + "->" + "".join(symbol[x] for x in output)
    return arrays, np.einsum(equation, *arrays)


@pytest.mark.parametrize("name", NETWORKS)
@pytest.mark.parametrize("fraction", [4, 16])
def test_slices_sum_and_stitch_into_the_full_result(name, fraction):
    inputs, output, sizes = network(name)
    p = plan(inputs, output, sizes, max(plan(inputs, output, sizes).largest // fraction, 1))
    arrays, expected = arrays_and_einsum(inputs, output, sizes)
    full = np.zeros(expected.shape)
    radices = [sizes[x] for x in p.sliced]
    for i in range(p.slices):
        values = p.slice_values(i)
        assert list(values) == list(p.sliced)
        assert tuple(values.values()) == tuple(int(v) for v in np.unravel_index(i, radices))
        # Each slice fills the entries of its sliced output labels' values, summed over the others.
        full[tuple(values.get(x, slice(None)) for x in output)] += p.contract_slice(i, *arrays)
    np.testing.assert_allclose(full, expected, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize("i", [-1, 64, 10**30])
def test_a_slice_out_of_range_is_named(i):
    p = plan(*SIXTY_FOUR)
    assert p.slices == 64
    arrays, _ = arrays_and_einsum(*SIXTY_FOUR[:3])
    for call in (lambda: p.contract_slice(i, *arrays), lambda: p.slice_values(i)):
        with pytest.raises(ValueError, match=rf"slice {i} is out of range: the plan has 64 slices \(0 to 63\)"):
            call()


# A plan of 64 slices: "a" summed over, "y" an output label, 8 values each.
SIXTY_FOUR = (["abx", "bcy", "cd", "da"], "xy", dict.fromkeys("abcdxy", 8), 8)


def thread_pool():
    return concurrent.futures.ThreadPoolExecutor(2)


def process_pool():
    # Spawned workers start afresh: what they run must pickle and import (forking would copy it,
    # and threads of libraries imported by other tests with it).
    return concurrent.futures.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn"))


@contextlib.contextmanager
def dask_cluster():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("executor", [thread_pool, process_pool, dask_cluster])
def test_any_executor_gives_the_result_computed_in_process(executor):
    if executor is not thread_pool and os.environ.get("PLENEXA_SANITIZE"):
        pytest.skip("worker processes of a sanitized run would report the interpreter's own allocations")
    inputs, output, sizes, limit = SIXTY_FOUR
    p = plan(inputs, output, sizes, limit)
    assert p.slices == 64 and set(p.sliced) & set(output) and set(p.sliced) - set(output)
    arrays, expected = arrays_and_einsum(inputs, output, sizes)
    here = p.contract(*arrays)
    np.testing.assert_allclose(here, expected, rtol=1e-10, atol=1e-10)
    with executor() as pool:
        # The same additions in the same order, whatever order the slices finish in; another
        # process's BLAS may round a slice's products differently.
        np.testing.assert_allclose(p.contract(*arrays, executor=pool), here, rtol=1e-13, atol=1e-13)


@pytest.mark.parametrize("library", ["torch", "jax"])
def test_other_libraries_arrays_contract_through_opt_einsums_backends(library):
    module = pytest.importorskip(library)
    inputs, output, sizes, limit = SIXTY_FOUR
    p = plan(inputs, output, sizes, limit)
    arrays, expected = arrays_and_einsum(inputs, output, sizes)
    converted = [module.numpy.asarray(a, dtype="float32") if library == "jax" else module.tensor(a) for a in arrays]
    result = p.contract(*converted)
    assert type(result).__module__.split(".")[0] in (library, "jaxlib")
    np.testing.assert_allclose(np.asarray(result), expected, rtol=1e-4, atol=1e-4)
    with thread_pool() as pool:
        np.testing.assert_array_equal(np.asarray(p.contract(*converted, executor=pool)), np.asarray(result))


@pytest.mark.parametrize(
    "call, error, message",
    [
        (dict(memory_limit=0), ValueError, "memory_limit must be at least 1 to slice, got 0"),
        (dict(memory_limit="max"), TypeError, "memory_limit must be None, 'max_input' or an int, got str 'max'"),
        (dict(max_time=-1), ValueError, "max_time must be at least 0"),
        (dict(minimize="speed"), ValueError, "minimize must be 'flops', 'size', .* got 'speed'"),
        (dict(inputs=[["a"], 3]), TypeError, r"inputs\[1\] must be an iterable of labels, got int 3"),
        (dict(output=None), TypeError, "output must be an iterable of labels, got NoneType None"),
        (dict(size_dict={"a": 2}), ValueError, "size_dict has no size for label 'b'"),
    ],
)
def test_bad_plan_arguments_are_named(call, error, message):
    arguments = dict(inputs=["ab", "b"], output="a", size_dict={"a": 2, "b": 3}) | call
    with pytest.raises(error, match=message):
        plan(**arguments)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda p, a: p.contract(a[0]), ValueError, "the plan has 2 inputs, got 1 arrays"),
        (lambda p, a: p.contract(a[0], a[1].T), ValueError, r"arrays\[1\] must have the shape \(3, 4\), got \(4, 3\)"),
        (lambda p, a: p.contract_slice(0, a[0]), ValueError, "the plan has 2 inputs, got 1 arrays"),
        (lambda p, a: p.contract(*a, executor=object()), TypeError, "executor must have a submit method, got object"),
        (lambda p, a: p.contract_slice(1.0, *a), TypeError, "the slice must be an int, got float 1.0"),
        (lambda p, a: p.contract_slice(True, *a), TypeError, "the slice must be an int, got bool True"),
        (lambda p, a: p.slice_values("0"), TypeError, "the slice must be an int, got str '0'"),
    ],
)
def test_contract_refuses_what_does_not_fit(call, error, message):
    p = plan(["ab", "bc"], "ac", {"a": 2, "b": 3, "c": 4}, memory_limit=2)
    with pytest.raises(error, match=message):
        call(p, [np.ones((2, 3)), np.ones((3, 4))])
    assert isinstance(p, Plan)


def test_plan_takes_the_limit_positionally_and_hashes():
    inputs, output, sizes = network("ring with open leg")
    by_position, by_keyword = plan(inputs, output, sizes, 8), plan(inputs, output, sizes, memory_limit=8)
    assert by_position == by_keyword and hash(by_position) == hash(by_keyword)
    assert by_position.sliced and len({by_position, by_keyword, plan(inputs, output, sizes)}) == 2
    # The expression a contraction prepares stays with the plan, out of its hash, equality and pickle.
    arrays, expected = arrays_and_einsum(inputs, output, sizes)
    by_position.contract(*arrays)
    again = pickle.loads(pickle.dumps(by_position))
    assert again == by_keyword and hash(again) == hash(by_keyword) and str(again) == str(by_keyword)
    np.testing.assert_allclose(again.contract(*arrays), expected, rtol=1e-10, atol=1e-10)
