"""cotengra's "plenexa" hyper-optimiser method (a short seeded trial under the optimiser's
`minimize`) and preset (the full search). Registration in both import orders is tested in
tests/test_paths.py."""

import json
import subprocess
import sys
import textwrap

import pytest

import networks
import plenexa_paths
from networks import bond2, regular_graph
from plenexa_paths import _plugins
from replay import measure, score

cotengra = pytest.importorskip("cotengra")

# 14 tensors whose paths of least flops, least size and least write are three different paths
# (largest intermediate 4800, 2000 and 2880; write 16206, 10362 and 9392).
OBJECTIVES_DIFFER = networks.random_einsum(14, 1)
MINIMIZE = ["flops", "size", "write", "combo-4"]


@pytest.mark.parametrize("parallel", [False, True], ids=["serial", "process pool"])
def test_hyper_optimiser_trials_honour_its_minimize(parallel):
    # A fresh interpreter: the pool's workers import plenexa_paths on their own. cotengra's
    # reconfiguration of the trials' trees is off, so the trees are the trials' own.
    inputs, output, sizes = OBJECTIVES_DIFFER
    script = f"""
        import json, cotengra, plenexa_paths
        inputs, output, sizes = {json.dumps([inputs, output, sizes])}
        sizes = {{int(x): n for x, n in sizes.items()}}
        paths = {{}}
        for minimize in {MINIMIZE!r}:
            hyper = cotengra.HyperOptimizer(methods=["plenexa"], max_repeats=4, minimize=minimize, parallel={parallel},
                                            reconf_opts=None, progbar=False, on_trial_error="raise")
            paths[minimize] = cotengra.array_contract_tree(inputs, output, sizes, optimize=hyper).get_path()
        print(json.dumps(paths))
    """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    found = {minimize: measure(inputs, output, sizes, path) for minimize, path in json.loads(result.stdout).items()}
    for minimize in MINIMIZE:
        # The hyper-optimiser's path is at least as good, under its own objective, as the path
        # plenexa finds for each of the others.
        for other in MINIMIZE:
            path = plenexa_paths.optimize(inputs, output, sizes, minimize=other)
            assert score(found[minimize], minimize) <= score(measure(inputs, output, sizes, path), minimize), (minimize, other)
    assert found["size"].largest < found["flops"].largest and found["write"].write < found["flops"].write


def test_trials_of_any_seed_and_setting_give_valid_paths():
    # 80 tensors: the tree search, whose trees depend on the seed.
    inputs, output, sizes = bond2(regular_graph(80, 3, seed=80))
    paths = set()
    for seed in (0, 1, 2**31 - 1):
        for quick in (True, False):
            for cap in _plugins.TRIAL_SPACE["hash_map_cap"]["options"]:
                tree = _plugins._cotengra_trial(inputs, output, sizes, seed=seed, quick=quick, hash_map_cap=cap)
                path = tree.get_path()
                measure(inputs, output, sizes, path)  # a valid path, contracting to the output
                paths.add(tuple(path))
    assert len(paths) > 1


@pytest.mark.parametrize("objective, expected", [
    ("flops", "flops"), ("size", "size"), ("write", "write"), ("combo", "combo-64"), ("combo-256", "combo-256"),
    ("combo-0.5", "combo-0.5"), ("limit-8", "combo-8"), ("size-compressed", "flops"), (lambda trial: 0.0, "flops"),
])
def test_cotengra_objectives_map_to_plenexa_minimize(objective, expected):
    minimize = _plugins._plenexa_minimize(cotengra.scoring.get_score_fn(objective))
    assert minimize == expected
    plenexa_paths.optimize(["ab", "bc", "cd"], "ad", {"a": 2, "b": 3, "c": 4, "d": 5}, minimize=minimize)  # one it takes


def test_preset_is_the_full_search():
    # 64 tensors: the tree search, whose full run a trial's budget cuts short.
    inputs, output, sizes = bond2(regular_graph(64, 3, seed=64))
    tree = cotengra.array_contract_tree(inputs, output, sizes, optimize="plenexa")
    full = cotengra.ContractionTree.from_path(inputs, output, sizes, path=plenexa_paths.optimize(inputs, output, sizes))
    assert tree.get_path() == full.get_path()  # both in cotengra's order of the tree's steps
    stopped_at_once = _plugins._cotengra_trial(inputs, output, sizes, max_time=0)  # what a trial starts from
    assert stopped_at_once.contraction_cost() > full.contraction_cost()
