"""The search's options: one validator each, the objective `minimize` names, and the native
search's keyword arguments made of them."""

from __future__ import annotations

import importlib
import math
import os
import sys
from collections.abc import Callable
from typing import Any, Literal, Optional, Union

from . import _search
from ._helpers import MAX_U64, described, integer

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
