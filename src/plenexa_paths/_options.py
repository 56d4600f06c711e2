"""The search's options: one validator each, the objective `minimize` names, the native search's
keyword arguments made of them, and `Optimizer`, which holds them for opt_einsum."""

from __future__ import annotations

import importlib
import math
import os
import sys
from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Literal, Optional, Union

from . import _search
from ._cache import CacheOption, PathCache, cache_of
from ._helpers import MAX_U64, Label, PathType, described, integer

#: Most subgraphs the search holds per table of two or more tensors, unless told otherwise.
DEFAULT_HASH_MAP_CAP: int = _search.DEFAULT_HASH_MAP_CAP

MemoryLimit = Union[None, int, Literal["max_input"]]

#: False, True (a tqdm bar where tqdm is installed, else whole lines on stderr) or a callable
#: taking (elapsed seconds, best cost).
Progress = Union[bool, Callable[[float, float], object]]

class Combo(str):
    """`minimize`'s "combo-<factor>" as a type checker knows it: what `combo(factor)` returns."""

    __slots__ = ()


#: What `minimize` takes: one of the literal measures, or a `Combo`. A typo is then a type
#: error; at run time any "combo-<factor>" str is taken too, and another str is a ValueError.
Minimize = Union[Literal["flops", "size", "write", "combo"], Combo]


def combo(factor: float) -> Combo:
    """`minimize`'s "combo-<factor>": flops + factor x write, for a positive finite factor.

    Example:
        >>> combo(32)
        'combo-32'
    """
    if isinstance(factor, bool) or not isinstance(factor, (int, float)):
        raise TypeError(f"factor must be a positive number, got {described(factor)}")
    if not (factor > 0 and math.isfinite(factor)):
        raise ValueError(f"factor must be a positive number, got {factor!r}")
    return Combo(f"combo-{factor:g}")

# Processors this process may use: the default number of threads (read once; the call is slow).
_PROCESSORS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

# The native search's keyword arguments for the default options.
DEFAULTS: dict[str, Any] = {"threads": _PROCESSORS}


def hash_map_cap(value: Any) -> int:
    """`hash_map_cap` checked to be an int from 1 to 2**64 - 1; None means 2**64 - 1."""
    if value is None:
        return MAX_U64
    cap = value if type(value) is int else integer(value, "hash_map_cap")
    if not 1 <= cap <= MAX_U64:
        raise ValueError(f"hash_map_cap must be from 1 to 2**64 - 1, got {cap}")
    return cap


def check_outer(value: Any) -> bool:
    """`check_outer` checked to be a bool."""
    if type(value) is not bool:
        raise TypeError(f"check_outer must be a bool, got {described(value)}")
    return value


def max_time(value: Any) -> Optional[float]:
    """`max_time` checked to be None or a number of seconds of at least 0, as a float."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"max_time must be None or a number of seconds, got {type(value).__name__} {value!r}")
    if not value >= 0:
        raise ValueError(f"max_time must be at least 0, got {value!r}")
    return float(value)


def budget(value: Any) -> dict[str, float]:
    """The native search's keyword for `max_time`: None (nothing), seconds (`max_time`), or
    "rate:<flops per second>" (`rate`: the tree search stops once it has run as long as its best
    path would take to contract at that rate, as cotengra's "rate:" budgets do)."""
    if isinstance(value, str) and value.startswith("rate:"):
        try:
            rate = float(value[5:])
        except ValueError:
            rate = math.nan
        if not (rate > 0 and math.isfinite(rate)):
            raise ValueError(f"max_time='rate:<flops per second>' needs a positive number, got {value!r}")
        return {"rate": rate}
    seconds = max_time(value)
    return {} if seconds is None else {"max_time": seconds}


def seed(value: Any) -> int:
    """`seed` checked to be an int from 0 to 2**64 - 1."""
    if type(value) is int and value == 0:
        return 0
    checked = integer(value, "seed")
    if not 0 <= checked <= MAX_U64:
        raise ValueError(f"seed must be from 0 to 2**64 - 1, got {checked}")
    return checked


def threads(value: Any) -> int:
    """`threads` checked to be None (one per processor) or an int of at least 1. The native
    search runs at most 256 threads: more are clamped to 256."""
    if value is None:
        return _PROCESSORS
    checked = integer(value, "threads")
    if checked < 1:
        raise ValueError(f"threads must be None or at least 1, got {checked}")
    return checked


def progress(value: Any) -> Optional[Callable[[float, float], object]]:
    """`progress` checked to be a bool, None or a callable; the callable the search reports to."""
    if value is True:
        return _report()
    if callable(value):
        return value
    if value is not False and value is not None:
        raise TypeError(f"progress must be a bool or a callable, got {type(value).__name__} {value!r}")
    return None


class Report:
    """The report of `progress=True`, which the search closes when it ends, however it ends."""

    def __call__(self, elapsed: float, best_cost: float) -> None:
        raise NotImplementedError

    def close(self) -> None:
        """Ends this search's report; the next search starts a new one."""


def _report() -> Report:
    """A tqdm bar where tqdm is installed, else whole lines on stderr."""
    try:
        tqdm = importlib.import_module("tqdm.auto").tqdm
    except ImportError:
        return _StderrReport()
    return _TqdmReport(tqdm)


class _TqdmReport(Report):
    """A tqdm bar, opened at a search's first report, showing the best cost so far and the time
    spent (tqdm redraws it in place on a terminal, and ends its line when the search ends)."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bar: Any = None

    def __call__(self, elapsed: float, best_cost: float) -> None:
        text = f"plenexa_paths: best cost {best_cost:.4g} after {elapsed:.1f} s"
        if self._bar is None:
            self._bar = self._tqdm(desc=text, bar_format="{desc}", file=sys.stderr)
        else:
            self._bar.set_description_str(text)

    def close(self) -> None:
        bar, self._bar = self._bar, None
        if bar is not None:
            bar.close()


class _StderrReport(Report):
    """Whole lines on stderr at most every second, so that a terminal, a log file and the next
    output each get whole lines."""

    def __init__(self) -> None:
        self._last = -math.inf

    def __call__(self, elapsed: float, best_cost: float) -> None:
        if elapsed - self._last >= 1.0:
            self._last = elapsed
            sys.stderr.write(f"plenexa_paths: best cost {best_cost:.4g} after {elapsed:.1f} s\n")
            sys.stderr.flush()

    def close(self) -> None:
        self._last = -math.inf


_MEASURES = ("flops", "size", "write", "combo")
_MINIMIZE_CHOICES = "'flops', 'size', 'write', 'combo' or 'combo-<factor>'"


def objective(minimize: Any) -> dict[str, Any]:
    """The native search's keyword arguments for `minimize` (none for "flops"), or the error naming it."""
    if not isinstance(minimize, str):
        raise TypeError(f"minimize must be {_MINIMIZE_CHOICES}, got {described(minimize)}")
    if minimize in _MEASURES:
        return {} if minimize == "flops" else {"minimize": minimize}
    prefix, _, text = minimize.partition("-")
    try:
        factor = float(text) if prefix == "combo" else math.nan
    except ValueError:
        factor = math.nan
    if not (factor > 0 and math.isfinite(factor)):
        raise ValueError(f"minimize must be {_MINIMIZE_CHOICES} (a positive number), got {minimize!r}")
    return {"minimize": "combo", "factor": factor}


def native(max_seconds: Any, seed_value: Any, thread_count: Any, report: Any, minimize: Any) -> dict[str, Any]:
    """The native search's keyword arguments for these options, each checked and named in its error."""
    options = objective(minimize)
    options.update(budget(max_seconds))
    checked_seed = seed(seed_value)
    if checked_seed:
        options["seed"] = checked_seed
    options["threads"] = threads(thread_count)
    callback = progress(report)
    if callback is not None:
        options["progress"] = callback
    return options


def memory_limit(value: Any, terms: list[list[int]], sizes: list[int]) -> int:
    """The element bound `memory_limit` sets: itself as an int, or the largest input's size for "max_input"."""
    if isinstance(value, str) and value == "max_input":
        largest = 0
        for term in terms:
            size = 1
            for i in term:
                size *= sizes[i]
            largest = max(largest, size)
        return largest
    if isinstance(value, (str, bool)) or not hasattr(type(value), "__index__"):
        raise TypeError(f"memory_limit must be None, 'max_input' or an int, got {described(value)}")
    limit = integer(value, "memory_limit")
    if limit < 0:
        raise ValueError(f"memory_limit must be None, 'max_input' or an int of at least 0, got {limit}")
    return limit


if TYPE_CHECKING:
    from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
else:
    try:
        from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
    except ImportError:
        _PathOptimizerBase = object

# The options an Optimizer holds, in the order of its repr.
_OPTIONS = ("hash_map_cap", "check_outer", "max_time", "seed", "threads", "progress", "minimize", "cache")


class Optimizer(_PathOptimizerBase):
    """`optimize` as an opt_einsum path optimizer, with its options fixed.

    Parameters:
        hash_map_cap: As for `optimize`: the cap of the small components' tables, None for none.
        check_outer: Also consider outer products of tensors that share no label.
        max_time: None, the seconds each search may take, or "rate:<flops per second>" (see
            `optimize`).
        seed: The seed of the tree search's random trials.
        threads: Worker threads for the tree search; None means one per processor (at most
            256 run: more are clamped to 256).
        progress: As for `optimize`: False, True or a callable.
        minimize: As for `optimize`: "flops", "size", "write", "combo" or "combo-<factor>".
        cache: False, or True to keep each path found in memory, or a directory (a str or
            path) to keep them on disk too, where other processes (and later runs) find
            them. A path is kept by network up to label renaming (its labels renumbered in
            order of first appearance, with their sizes), output, memory_limit and the
            options that change it (hash_map_cap, check_outer, seed, minimize; not threads,
            which never does, nor progress, which is not called on a hit). A search with
            max_time is neither served from the cache nor kept, as its path depends on the
            time it got. At most 4096 paths stay in memory, the oldest dropped first; a file
            is written whole (a temporary file renamed over it), and one that cannot be read
            or does not fit its network is ignored and written again. Two networks whose
            sets of labels come in another order (opt_einsum's terms are sets) may be kept
            apart. Setting `cache` anew starts a new cache.

    The options are checked once, when they are given (at construction, or when an attribute
    of the same name is set: a bad value is refused and leaves the optimizer unchanged).
    Calling the optimizer with opt_einsum's path-function arguments (inputs, output,
    size_dict, memory_limit) returns `optimize`'s path for them, and raises what it raises,
    except when no path keeps every intermediate within memory_limit: then, as opt_einsum's
    own optimizers do, it answers with the steps of the path found without the limit up to
    the first whose result breaks it, then one step over all remaining operands.

    Raises:
        ModuleNotFoundError: opt_einsum is not installed (`pip install opt_einsum`).
        TypeError: an option of the wrong type (see `optimize`; a cache neither a bool nor a
            directory).
        ValueError: an option out of range (see `optimize`).
        OSError: the cache's directory cannot be created.

    Example:
        >>> import numpy as np, opt_einsum
        >>> a, b, c = np.ones((2, 3)), np.ones((3, 4)), np.ones((4, 5))
        >>> opt_einsum.contract("ab,bc,cd->ad", a, b, c, optimize=Optimizer(hash_map_cap=64)).shape
        (2, 5)
    """

    hash_map_cap: int
    check_outer: bool
    max_time: Union[None, float, str]
    seed: int
    threads: Optional[int]
    progress: Progress
    minimize: Minimize
    cache: CacheOption
    _path: Callable[..., PathType]
    _arguments: tuple[int, bool, dict[str, Any], Optional[PathCache], tuple[Any, ...]]

    def __init__(
        self,
        hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
        check_outer: bool = False,
        *,
        max_time: Union[None, float, str] = None,
        seed: int = 0,
        threads: Optional[int] = None,
        progress: Progress = False,
        minimize: Minimize = "flops",
        cache: CacheOption = False,
    ) -> None:
        if _PathOptimizerBase is object:
            raise ModuleNotFoundError(
                "plenexa_paths.Optimizer needs opt_einsum, which is not installed: "
                "install it with `pip install opt_einsum`",
                name="opt_einsum",
            )
        self._hold(dict(hash_map_cap=hash_map_cap, check_outer=check_outer, max_time=max_time, seed=seed,
                        threads=threads, progress=progress, minimize=minimize, cache=cache))

    def _hold(self, options: dict[str, Any]) -> None:
        """Checks `options` (all of `_OPTIONS`) and keeps them, with the native search's arguments."""
        cap = hash_map_cap(options["hash_map_cap"])
        outer = check_outer(options["check_outer"])
        arguments = native(options["max_time"], options["seed"], options["threads"], options["progress"],
                           options["minimize"])
        held: Optional[tuple[Any, ...]] = getattr(self, "_arguments", None)
        same = held is not None and type(options["cache"]) is type(self.cache) and options["cache"] == self.cache
        kept = held[3] if held is not None and same else cache_of(options["cache"])
        from ._paths import path  # here: the path functions import this module

        options["hash_map_cap"] = cap
        for name, value in options.items():
            object.__setattr__(self, name, value)
        object.__setattr__(self, "_path", path)
        key = (cap, outer, arguments.get("seed", 0), options["minimize"])
        object.__setattr__(self, "_arguments", (cap, outer, arguments, kept, key))

    def __setattr__(self, name: str, value: Any) -> None:
        """An option set anew is checked at once, with the others; other attributes are kept as given."""
        if name in _OPTIONS:
            self._hold({option: value if option == name else getattr(self, option) for option in _OPTIONS})
        else:
            object.__setattr__(self, name, value)

    def __call__(
        self,
        inputs: Iterable[Iterable[Label]],
        output: Iterable[Label],
        size_dict: Mapping[Label, int],
        memory_limit: Optional[int] = None,
    ) -> PathType:
        """The path `optimize` finds with this optimizer's options (opt_einsum's answer when no
        path meets memory_limit)."""
        held = self._arguments
        if memory_limit is None and held[3] is not None and not {"max_time", "rate"} & held[2].keys():
            found = held[3].exact(held[4], inputs, output, size_dict)  # here: a hit's time
            if found is not None:
                return found
        return self._path(inputs, output, size_dict, memory_limit, *held, True)

    def __repr__(self) -> str:
        return (
            f"Optimizer(hash_map_cap={self.hash_map_cap}, check_outer={self.check_outer}, max_time={self.max_time}, "
            f"seed={self.seed}, threads={self.threads}, progress={self.progress!r}, minimize={self.minimize!r}, "
            f"cache={self.cache!r})"
        )
