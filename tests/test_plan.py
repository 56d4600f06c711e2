"""plenexa_paths.plan: slicing that fits the limit, figures against an independent replay, and
Plan.contract against numpy's unsliced einsum."""

import math
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


def test_plan_prints_its_steps():
    p = plan(["ab", "bc", "cd"], "ad", {"a": 8, "b": 8, "c": 8, "d": 8}, memory_limit=16)
    text = str(p).splitlines()
    assert text[0] == f"2 steps, sliced {''.join(p.sliced)}: {p.slices} slices"
    assert len(text) == 3 + len(p.steps) and f"{p.flops:.4g}" in text[1]
    assert "no slicing" in str(plan(["ab"], "a", {"a": 2, "b": 3}))


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


def test_contract_refuses_arrays_that_do_not_fit():
    p = plan(["ab", "bc"], "ac", {"a": 2, "b": 3, "c": 4}, memory_limit=2)
    with pytest.raises(ValueError, match="the plan has 2 inputs, got 1 arrays"):
        p.contract(np.ones((2, 3)))
    with pytest.raises(ValueError, match=r"arrays\[1\] must have the shape \(3, 4\), got \(4, 3\)"):
        p.contract(np.ones((2, 3)), np.ones((4, 3)))
    assert isinstance(p, Plan)


def test_plan_takes_the_limit_positionally_and_hashes():
    inputs, output, sizes = network("ring with open leg")
    by_position, by_keyword = plan(inputs, output, sizes, 8), plan(inputs, output, sizes, memory_limit=8)
    assert by_position == by_keyword and hash(by_position) == hash(by_keyword)
    assert by_position.sliced and len({by_position, by_keyword, plan(inputs, output, sizes)}) == 2
