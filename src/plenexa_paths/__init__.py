"""Contraction paths for einsum-style tensor networks, from plenexa's own search.

`optimize` takes opt_einsum's path-function arguments (one iterable of labels per
input, the output's labels, a size per label) and returns a path in opt_einsum's
linear format, so it plugs into opt_einsum (as `Optimizer()` or `optimize="plenexa"`)
and cotengra (`optimize="plenexa"`, or `HyperOptimizer(methods=["plenexa"])`).
`einsum_path` takes numpy's equation and operands (or their shapes) and returns a
path that `numpy.einsum(..., optimize=path)` takes.

The search splits the network into connected components. A component of up to 63
tensors gets a bounded dynamic-programming search over its subsets (exact with
`hash_map_cap=None`), then exact re-optimisation of its subtrees; a larger one gets an
anytime tree search (seeded greedy trials, then exact re-optimisation of subtrees).
Every answer costs at most what a greedy path costs, and is the same on every run
and machine for a given seed, whatever the number of threads (unless `max_time`
stops the search first).

Example:
    >>> import plenexa_paths
    >>> plenexa_paths.optimize(["ab", "bc", "cd"], "ad", {"a": 2, "b": 30, "c": 40, "d": 5})
    [(0, 1), (0, 1)]
"""

from __future__ import annotations

from . import _plugins, _search  # noqa: F401  (_plugins registers optimize with opt_einsum and cotengra)
from ._helpers import Label as Label, PathType as PathType
from ._optimizer import Optimizer
from ._options import DEFAULT_HASH_MAP_CAP, combo
from ._options import Combo as Combo, MemoryLimit as MemoryLimit, Minimize as Minimize, Progress as Progress
from ._paths import PathInfo, einsum_path, optimize, set_default_cache
from ._plan import Plan, PlanStep, plan

__all__ = ["optimize", "einsum_path", "plan", "Optimizer", "PathInfo", "Plan", "PlanStep", "DEFAULT_HASH_MAP_CAP",
           "set_default_cache", "combo"]

#: The distribution's version (the same as `plenexa.__version__`).
__version__: str = _search.__version__
