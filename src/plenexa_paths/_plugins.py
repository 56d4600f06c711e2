"""`optimize` made known to the libraries that take path functions: opt_einsum's "plenexa" path
function now, and cotengra's "plenexa" hyper-optimiser method and preset once cotengra is imported.

The preset is the full search. The hyper-optimiser method is a trial: one short seeded search on a
single thread (cotengra runs trials in parallel itself) under the optimiser's `minimize`, whose
seed, quick mode and hash_map_cap cotengra's tuner chooses, so that its 128 repeats take about
what cotengra's own methods take."""

from __future__ import annotations

import importlib.abc
import importlib.util
import sys
from types import FrameType
from typing import TYPE_CHECKING, Any, Optional

from . import _options, _search
from ._helpers import network
from ._paths import opt_einsum_path, optimize

if TYPE_CHECKING:
    from opt_einsum.paths import register_path_fn as _register_path_fn
else:
    try:
        from opt_einsum.paths import register_path_fn as _register_path_fn
    except ImportError:
        _register_path_fn = None


def _register_with_opt_einsum() -> None:
    """Makes "plenexa" one of opt_einsum's path functions, when opt_einsum is installed."""
    if _register_path_fn is None:
        return
    try:
        _register_path_fn("plenexa", opt_einsum_path)
    except KeyError:  # registered already, by an earlier import of this package
        pass


def _cotengra_tree(inputs: Any, output: Any, size_dict: Any, **options: Any) -> Any:
    """`optimize`'s path, a full search, as cotengra's contraction tree: the "plenexa" preset."""
    from cotengra import ContractionTree

    path = optimize(inputs, output, size_dict, **options)
    return ContractionTree.from_path(inputs, output, size_dict, path=path)


# A trial's search time: TRIAL_SECONDS_PER_TENSOR per input, at least TRIAL_LEAST_SECONDS. Measured
# with bench/cotengra_method.py (HyperOptimizer, 128 repeats, 2 loaded cores): cotengra's greedy and
# kahypar trials take 0.05 to 0.2 s each on networks of 128 to 154 tensors, its subtree
# reconfiguration of every trial's tree included; at 0.5 ms per tensor (64 to 77 ms) plenexa's 128
# repeats took 14 s on the 3-regular graph of 128 (greedy 9 s, kahypar 24 s) and 13 s on the circuit
# of 154 (greedy 11 s, kahypar 21 s), for the least flops of the three on both. Under 0.15 s the budget ends the search during its seeded trials,
# before the refinements, and the trees get cheaper with the budget (3-regular 128: median flops
# 2.7e7 at 20 ms, 2.3e7 at 50 ms, 2.0e7 at 150 ms, over 4 seeds), so the budget is not tuned: the
# tuner would only ever raise it. The floor gives the tables of a small network time to finish.
TRIAL_SECONDS_PER_TENSOR = 5e-4
TRIAL_LEAST_SECONDS = 0.05

# The trial's search space in cotengra's terms. Within a trial's budget `quick` and the cap move the
# cost little on networks of over 100 tensors (their searches stop during the seeded trials), but on
# smaller ones the quick search reaches its refinements within the budget, and the cap decides how
# far the tables (networks of up to 63 tensors, and the parts of larger trees) get.
TRIAL_SPACE = {
    "seed": {"type": "INT", "min": 0, "max": 2**31 - 1},
    "quick": {"type": "BOOL"},
    "hash_map_cap": {"type": "STRING", "options": [64, _options.DEFAULT_HASH_MAP_CAP, 4096]},
}


def _cotengra_trial(
    inputs: Any,
    output: Any,
    size_dict: Any,
    seed: int = 0,
    quick: bool = True,
    hash_map_cap: int = _options.DEFAULT_HASH_MAP_CAP,
    max_time: Any = None,
    minimize: Any = None,
) -> Any:
    """One trial of cotengra's hyper-optimiser as its contraction tree: a seeded search on one
    thread for `max_time` seconds (None: the trial budget above) under `minimize` (None: the
    running hyper-optimiser's)."""
    from cotengra import ContractionTree

    _, terms, out, _, searched = network(inputs, output, size_dict)
    if max_time is None:
        max_time = max(TRIAL_LEAST_SECONDS, TRIAL_SECONDS_PER_TENSOR * len(terms))
    arguments = _options.objective(_hyper_minimize() if minimize is None else minimize)
    arguments.update(seed=_options.seed(seed), threads=1, quick=bool(quick), max_time=_options.max_time(max_time))
    cap = _options.hash_map_cap(hash_map_cap)
    path = _search.search(terms, out, searched, None, cap, False, **arguments) if len(terms) > 1 else [(0,)] * len(terms)
    return ContractionTree.from_path(inputs, output, size_dict, path=path)


def _hyper_minimize() -> str:
    """The `minimize` of the hyper-optimiser that runs this trial ("flops" outside one), as
    plenexa's: cotengra hands its trials no objective, but its wrapper that sets the objective
    on their trees is on the stack, in the worker process too when trials run in a pool."""
    try:
        from cotengra.hyperoptimizers.hyper import TrialSetObjective
    except ImportError:  # a cotengra without that wrapper
        return "flops"
    code = TrialSetObjective.__call__.__code__
    frame: Optional[FrameType] = sys._getframe(1)
    while frame is not None:
        if frame.f_code is code:
            return _plenexa_minimize(frame.f_locals["self"].objective)
        frame = frame.f_back
    return "flops"


def _plenexa_minimize(objective: Any) -> str:
    """plenexa's `minimize` nearest to a cotengra objective: its own for flops, size, write and
    combo; combo for "limit" (which sums the larger of flops and factor x write per step, where
    combo sums both); flops for the rest (compressed objectives, callables)."""
    from cotengra import scoring

    for kind, name in ((scoring.SizeObjective, "size"), (scoring.WriteObjective, "write")):
        if isinstance(objective, kind):
            return name
    if isinstance(objective, (scoring.ComboObjective, scoring.LimitObjective)):
        return f"combo-{objective.factor}"
    return "flops"


def _register_with_cotengra(cotengra: Any) -> None:
    """Makes "plenexa" a method of cotengra's hyper-optimiser (a trial) and a preset (the full search)."""
    from cotengra.hyperoptimizers.hyper import register_hyper_function

    register_hyper_function("plenexa", _cotengra_trial, TRIAL_SPACE)
    cotengra.register_preset("plenexa", optimize, _cotengra_tree, register_opt_einsum=False)


class _RegisterOnImport(importlib.abc.MetaPathFinder):
    """Registers with cotengra once it is imported: importing it here would cost every user of
    plenexa_paths its import time (about 0.1 s beyond numpy's)."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        """cotengra's own spec, its loader made to register once the module has run."""
        if fullname != "cotengra":
            return None
        sys.meta_path.remove(self)
        spec = importlib.util.find_spec(fullname)
        if spec is not None and spec.loader is not None and hasattr(spec.loader, "exec_module"):
            run = spec.loader.exec_module

            def run_then_register(module: Any) -> None:
                run(module)
                _register_with_cotengra(module)

            spec.loader.exec_module = run_then_register  # type: ignore[method-assign]
        return spec


def register() -> None:
    """Registers with opt_einsum, and with cotengra now or once it is imported (once per process)."""
    _register_with_opt_einsum()
    if "cotengra" in sys.modules:
        _register_with_cotengra(sys.modules["cotengra"])
    elif not any(type(finder).__name__ == "_RegisterOnImport" for finder in sys.meta_path):  # also after a reload
        sys.meta_path.insert(0, _RegisterOnImport())


register()
