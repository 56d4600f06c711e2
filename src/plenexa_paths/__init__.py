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

import importlib.abc
import importlib.util
import math
import operator
import os
import sys
import time
from collections.abc import Callable, Hashable, Iterable, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Optional, TypeVar, Union

from . import _equation, _plan, _search, _slicing
from ._plan import Plan, PlanStep

__all__ = ["optimize", "einsum_path", "plan", "Optimizer", "PathInfo", "Plan", "PlanStep", "DEFAULT_HASH_MAP_CAP"]

#: The distribution's version (the same as `plenexa.__version__`).
__version__: str = _search.__version__

#: Most subgraphs the search holds per table of two or more tensors, unless told otherwise.
DEFAULT_HASH_MAP_CAP: int = _search.DEFAULT_HASH_MAP_CAP

_MAX_U64 = 2**64 - 1

PathType = list[tuple[int, ...]]
# One call's labels: a type variable, so that a dict[str, int] of sizes matches str labels.
Label = TypeVar("Label", bound=Hashable)
MemoryLimit = Union[None, int, Literal["max_input"]]
# Processors this process may use: the default number of threads (read once; the call is slow).
_PROCESSORS = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

#: False, True (a one-line report on stderr) or a callable taking (elapsed seconds, best cost).
Progress = Union[bool, Callable[[float, float], object]]


def optimize(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    memory_limit: MemoryLimit = None,
    *,
    hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
    check_outer: bool = False,
    max_time: Optional[float] = None,
    seed: int = 0,
    threads: Optional[int] = None,
    progress: Progress = False,
    minimize: str = "flops",
) -> PathType:
    """Finds a pairwise contraction order: dynamic programming on small components, an
    anytime tree search on large ones, never worse than a greedy path.

    Each pairwise step of a path has flops, the product of the sizes of every label it
    touches, and a size, the number of elements of its result. `minimize` chooses what
    the path minimises:

    - "flops": the sum of the steps' flops;
    - "size": the largest result of a step (the final result included); among the paths
      with the least, the one of fewest flops;
    - "write": the sum of the steps' result sizes (the final result included);
    - "combo": flops + 64 x write; "combo-<factor>", such as "combo-256" or "combo-0.5":
      flops + factor x write, for a positive factor (a search holds factor x write
      rounded to a whole number per step).

    Parameters:
        inputs: One iterable of labels per input tensor (a str is read as its characters).
            A label is anything hashable; a label may repeat inside one input.
        output: The labels of the result, each of which must occur in some input, once.
        size_dict: The size (an int of at least 0) of every label of the inputs. An axis of
            size 0 is searched as if it had size 1: the result is empty whatever the path.
        memory_limit: None, or the most elements any intermediate, the result included,
            may hold; "max_input" means the size of the largest input.
        hash_map_cap: Most partial contractions the search of a component of up to 63
            tensors keeps per number of tensors (at least 1); larger finds cheaper paths in
            more time. None (or 2**64 - 1) means no cap: the exact optimum, however long
            it takes. A capped search stops after a bounded amount of work (seconds, the
            same on every run) and answers with the best tree it has.
        check_outer: Also consider outer products of tensors that share no label.
        max_time: None, or the seconds the search may take; it then answers with the best
            path found so far (which may differ from run to run).
        seed: The seed of the tree search's random trials (an int from 0 to 2**64 - 1).
        threads: Worker threads for the tree search; None means one per processor. The
            path does not depend on it.
        progress: True reports the best cost so far and the time spent on stderr; a
            callable gets (elapsed seconds, best cost) at most every 100 ms of a long tree
            search, and an exception it raises ends the search. The cost is the measure
            of `minimize` (for "size", the largest intermediate).
        minimize: "flops", "size", "write", "combo" or "combo-<factor>" (see above). The
            exhaustive search (`hash_map_cap=None`) is exact for each of them on a connected
            network; the components of a disconnected one are joined in the order of
            fewest flops.

    Returns:
        The path in opt_einsum's linear format: each step names the positions of two
        operands in the current operand list; their result goes to the end of the list.

    Raises:
        TypeError: a term that is not iterable, an unhashable label, a size, memory_limit,
            hash_map_cap, seed or threads that is not an int, a max_time that is not a
            number, a check_outer that is not a bool, a progress that is not callable, or
            a minimize that is not a str.
        ValueError: a label without a size, a negative size or one above 2**64 - 1, an
            output label in no input or named twice, a negative memory_limit or one that no
            path meets, an unknown minimize, or an option out of range.
        MemoryError: the search ran out of memory (a smaller hash_map_cap bounds it).

    Example:
        >>> optimize([("i", "j"), ("j", "k"), ("k", "l")], ("i", "l"), {"i": 8, "j": 2, "k": 9, "l": 8})
        [(1, 2), (0, 1)]
    """
    if isinstance(inputs, str):
        raise TypeError(f"inputs must be an iterable of terms, not the str {inputs!r}")
    # Labels become dense ids in order of first appearance; plain loops are the fastest way
    # here. Every error is explained from the object at hand, never by reading an argument a
    # second time: an iterator is used up, and another thread may have changed a list.
    ids: dict[Label, int] = {}
    terms: list[list[int]] = []
    try:
        term_iter = iter(inputs)
    except TypeError:
        raise TypeError(f"inputs must be an iterable of terms, got {type(inputs).__name__} {inputs!r}") from None
    lookup = ids.get
    for term in term_iter:
        row: list[int] = []
        try:
            for label in term:
                try:
                    i = lookup(label)
                except TypeError:
                    _raise_if_unhashable(label, f"inputs[{len(terms)}] holds")
                    raise
                if i is None:
                    i = ids[label] = len(ids)
                row.append(i)
        except TypeError:
            if not row:
                _raise_if_not_iterable(term, f"inputs[{len(terms)}] must be an iterable of labels")
            raise
        terms.append(row)
    try:
        out_labels = iter(output)
    except TypeError:
        _raise_if_not_iterable(output, "output must be an iterable of labels")
        raise
    out = []
    for label in out_labels:
        try:
            i = lookup(label)
        except TypeError:
            _raise_if_unhashable(label, "output holds")
            raise
        if i is None:
            raise ValueError(f"output label {label!r} does not occur in any input")
        out.append(i)
    try:
        sizes = list(map(size_dict.__getitem__, ids))
    except (KeyError, IndexError) as error:
        # The label the mapping refused; a mapping whose membership test disagrees with its
        # lookup is named by the key its lookup refused.
        missing = next((label for label in ids if label not in size_dict), error.args[0] if error.args else None)
        hint = ""
        if isinstance(missing, str) and missing in ",->":
            hint = (
                "; the inputs look like an equation: give one term per input, as in ['ab', 'bc'], "
                "or pass the equation to plenexa_paths.einsum_path"
            )
        raise ValueError(f"size_dict has no size for label {missing!r}{hint}") from None
    except (TypeError, AttributeError):
        raise TypeError(f"size_dict must be a mapping from label to size, got {type(size_dict).__name__}") from None
    if type(hash_map_cap) is not int or not 1 <= hash_map_cap <= _MAX_U64:
        hash_map_cap = _hash_map_cap(hash_map_cap)
    if type(check_outer) is not bool:
        raise TypeError(f"check_outer must be a bool, got {type(check_outer).__name__} {check_outer!r}")
    if max_time is None and threads is None and progress is False and type(seed) is int and seed == 0 and (
        type(minimize) is str and minimize == "flops"
    ):
        search_options = _DEFAULT_OPTIONS
    else:
        search_options = _search_options(max_time, seed, threads, progress, minimize)

    mem_cap = None
    searched = sizes  # what the search sees: empty axes count as size 1
    if memory_limit is not None:
        sizes = _checked_sizes(ids, sizes)
        searched = [size or 1 for size in sizes]
        limit = _memory_limit(memory_limit, terms, sizes)
        result_size = 1
        for i in set(out):
            result_size *= sizes[i]
        if terms and result_size > limit:
            raise ValueError(
                f"memory_limit={memory_limit!r} is below the size of the result ({result_size} elements)"
            )
        mem_cap = min(limit + 1, _MAX_U64)

    if len(terms) <= 1:
        if terms:
            _checked_sizes(ids, sizes)
            return [(0,)]
        return []
    try:
        path = _search.search(terms, out, searched, mem_cap, hash_map_cap, check_outer, **search_options)
    except (TypeError, ValueError, OverflowError) as error:
        sizes = _checked_sizes(ids, sizes)  # names the label of a bad size
        _refuse_repeated_output(ids, out)
        if 0 not in sizes:
            if isinstance(error, OverflowError) or "sizes" in str(error):
                # Nothing wrong with them now: a size's __index__ changed the sizes while they were read.
                raise ValueError("size_dict's sizes changed while they were read") from None
            raise
        searched = [size or 1 for size in sizes]
        path = _search.search(terms, out, searched, mem_cap, hash_map_cap, check_outer, **search_options)
    if path is None:
        # The path found without the limit: the answer when it happens to meet the limit, and
        # otherwise a measure of how far off the limit is.
        unbounded = _search.search(terms, out, searched, None, hash_map_cap, check_outer, **search_options)
        assert unbounded is not None and mem_cap is not None  # without a memory cap there is always a path
        largest = _replay(terms, out, sizes, unbounded)[1]
        if largest < mem_cap:
            return unbounded
        raise ValueError(
            f"no contraction path keeps every intermediate within memory_limit={memory_limit!r} "
            f"elements with hash_map_cap={hash_map_cap}; the path found without it needs "
            f"{largest} elements"
        )
    return path


@dataclass(frozen=True)
class PathInfo:
    """What a path costs, as `einsum_path` reports it.

    Attributes:
        cost: The sum over the steps of the product of the sizes of every label a step
            touches: the flops `optimize` minimises by default (multiply-adds, not numpy's
            FLOP count).
        largest_intermediate: The most elements any intermediate holds, the result included.
        steps: The number of contractions (one per entry of the path).

    Example:
        >>> PathInfo(cost=560, largest_intermediate=16, steps=2)
        PathInfo(cost=560, largest_intermediate=16, steps=2)
    """

    cost: int
    largest_intermediate: int
    steps: int


def einsum_path(equation: str, *operands: Any, **options: Any) -> tuple[list[Any], PathInfo]:
    """The path for numpy's `einsum` of `equation` over `operands`, found by `optimize`.

    Parameters:
        equation: numpy's subscripts, such as "ij,jk->ik": one term per operand, an optional
            "->" and output (without it, numpy's implicit output: the labels used once, in
            alphabetical order), "..." for broadcast dimensions; spaces are ignored.
        operands: The arrays (anything with a `.shape`) or their shapes (sequences of ints).
            A dimension of size 1 broadcasts against the same label's other sizes.
        options: `optimize`'s keyword arguments (memory_limit, hash_map_cap, check_outer,
            max_time, seed, threads, progress, minimize).

    Returns:
        The path in numpy's format, ["einsum_path", (i, j), ...], which
        `numpy.einsum(equation, *arrays, optimize=path)` takes, and its `PathInfo`.

    Raises:
        TypeError: an equation that is not a str, an operand that is neither an array nor a
            shape, or an option `optimize` refuses.
        ValueError: an equation that does not fit the operands (term count, dimensions,
            sizes of one label that disagree, an output label in no term or named twice,
            "..." missing from an output), or an option `optimize` refuses.

    Example:
        >>> path, info = einsum_path("ij,jk,kl->il", (8, 2), (2, 9), (9, 8))
        >>> path
        ['einsum_path', (1, 2), (0, 1)]
        >>> info
        PathInfo(cost=272, largest_intermediate=64, steps=2)
    """
    shapes = [_equation.shape_of(operand, i) for i, operand in enumerate(operands)]
    terms, output, sizes = _equation.parse(equation, shapes)
    path = optimize(terms, output, sizes, **options)
    cost, largest = _replay(terms, output, sizes, path)
    return ["einsum_path", *path], PathInfo(cost=cost, largest_intermediate=largest, steps=len(path))


def plan(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    *,
    memory_limit: MemoryLimit = None,
    minimize: str = "flops",
    hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
    check_outer: bool = False,
    max_time: Optional[float] = None,
    seed: int = 0,
    threads: Optional[int] = None,
    progress: Progress = False,
) -> Plan:
    """A contraction plan: `optimize`'s path and, with `memory_limit`, the labels to slice (fix
    one value at a time) so that every intermediate of one slice fits, chosen with the path.

    Slicing starts from the unsliced path and fixes labels of its largest intermediate, those
    that raise the total cost least, until everything fits; then, for a few rounds, the path
    is searched again with the sliced labels taken out (a quicker search, which refines fewer
    trees) and sliced again, while that lowers the total cost.

    Parameters:
        inputs, output, size_dict: As for `optimize`.
        memory_limit: None (no slicing), or the most elements an intermediate of one slice,
            the result included, may hold (at least 1); "max_input" means the size of the
            largest input.
        minimize: What each path search minimises, as for `optimize` ("size" finds paths
            with small intermediates, which then need fewer sliced labels); the slicing
            itself always keeps the total flops low.
        hash_map_cap, check_outer, seed, threads, progress: As for `optimize`.
        max_time: None, or the seconds all the searches together may take.

    Returns:
        The `Plan`: its path, sliced labels, figures and steps; `Plan.contract` runs it.

    Raises:
        TypeError, ValueError, MemoryError: as `optimize` raises them; ValueError also for a
            memory_limit below 1.

    Example:
        >>> p = plan(["ab", "bc", "cd"], "ad", {"a": 8, "b": 8, "c": 8, "d": 8}, memory_limit=16)
        >>> p.sliced, p.slices, p.largest
        (('d',), 8, 8)
    """
    terms = _materialised(inputs)
    try:
        out = tuple(output)
    except TypeError:
        _raise_if_not_iterable(output, "output must be an iterable of labels")
        raise
    _search_options(max_time, seed, threads, progress, minimize)  # refuses bad options before any search
    deadline = None if max_time is None else time.monotonic() + max_time
    options: dict[str, Any] = dict(
        hash_map_cap=hash_map_cap, check_outer=check_outer, seed=seed, threads=threads, progress=progress,
        minimize=minimize,
    )

    def budget(searches_left: int) -> Optional[float]:
        """The seconds the next of `searches_left` searches may take; None without max_time."""
        return None if deadline is None else max(deadline - time.monotonic(), 0.0) / searches_left

    path = optimize(terms, out, size_dict, max_time=budget(1 + _plan._ROUNDS), **options)
    ids = {label: i for i, label in enumerate(dict.fromkeys(label for term in terms for label in term))}
    dense_terms = [[ids[label] for label in term] for term in terms]
    dense_out = [ids[label] for label in out]
    sizes = _checked_sizes(ids, [size_dict[label] for label in ids])
    limit = None
    if memory_limit is not None:
        limit = _memory_limit(memory_limit, dense_terms, sizes)
        if limit < 1:
            raise ValueError(f"memory_limit must be at least 1 to slice, got {memory_limit!r}")

    cap = _hash_map_cap(hash_map_cap)

    def search(dense_sizes: list[int], searches_left: int) -> Any:
        """A quick search's path of the dense network with these sizes, or None when time is up
        (or the network has no pair to order)."""
        seconds = budget(searches_left)
        if seconds == 0.0 or len(dense_terms) < 2:
            return None
        searched = [size or 1 for size in dense_sizes]
        return _search.search(dense_terms, dense_out, searched, None, cap, check_outer, quick=True,
                              **_search_options(seconds, seed, threads, progress, minimize))

    return _plan.build(terms, out, list(ids), dense_terms, dense_out, sizes, path, limit, search)


def _materialised(inputs: Any) -> list[tuple[Any, ...]]:
    """The input terms as tuples, read once; what is not iterable gets `optimize`'s errors."""
    if isinstance(inputs, str):
        raise TypeError(f"inputs must be an iterable of terms, not the str {inputs!r}")
    try:
        term_iter = iter(inputs)
    except TypeError:
        raise TypeError(f"inputs must be an iterable of terms, got {type(inputs).__name__} {inputs!r}") from None
    terms = []
    for term in term_iter:
        try:
            terms.append(tuple(term))
        except TypeError:
            _raise_if_not_iterable(term, f"inputs[{len(terms)}] must be an iterable of labels")
            raise
    return terms


def _replay(terms: list[list[Any]], out: list[Any], sizes: Any, path: PathType) -> tuple[int, int]:
    """The cost of `path` (over the pairwise steps, the product of the sizes of every label the
    step touches) and the most elements any intermediate holds, the result included."""
    cost = largest = 0
    for step, (touched, result) in zip(path, _slicing.steps_of(terms, out, path)):
        if len(step) > 1:  # a lone input's step (a trace or a sum) is not priced
            cost += math.prod(sizes[x] for x in touched)
        largest = max(largest, math.prod(sizes[x] for x in result))
    return cost, largest


def _refuse_repeated_output(ids: dict[Any, int], out: list[int]) -> None:
    """Raises the ValueError naming an output label that occurs twice, if one does."""
    seen: set[int] = set()
    for i in out:
        if i in seen:
            label = next(label for label, j in ids.items() if j == i)
            raise ValueError(f"output names the label {label!r} more than once")
        seen.add(i)


def _raise_if_not_iterable(value: Any, what: str) -> None:
    """Raises the TypeError "`what`, got <type> <value>" when `value` has no way to be iterated;
    an iterable whose own iteration raised TypeError is left to pass that error on."""
    kind = type(value)
    if getattr(kind, "__iter__", None) is None and getattr(kind, "__getitem__", None) is None:
        raise TypeError(f"{what}, got {kind.__name__} {value!r}") from None


def _raise_if_unhashable(label: Any, where: str) -> None:
    """Raises the TypeError "`where` the unhashable label ..." when `label`'s type cannot be hashed;
    a label whose own __hash__ or __eq__ raised TypeError is left to pass that error on."""
    if getattr(type(label), "__hash__", None) is None:
        raise TypeError(f"{where} the unhashable label {label!r} ({type(label).__name__})") from None


def _checked_sizes(ids: dict[Any, int], sizes: list[Any]) -> list[int]:
    """`sizes` (one per label of `ids`, in order) as ints from 1 to 2**64 - 1, or the error naming the label."""
    # A tuple of them, which a size's __index__ cannot change as it can change the list.
    held = tuple(sizes)
    if len(held) != len(ids):
        raise ValueError("size_dict's sizes changed while they were read")
    checked = []
    for label, size in zip(ids, held):
        if type(size) is not int:
            size = _integer(size, f"size_dict[{label!r}]")
        if not 0 <= size <= _MAX_U64:
            raise ValueError(f"size_dict[{label!r}] must be from 0 to 2**64 - 1, got {size}")
        checked.append(size)
    return checked


def _integer(value: Any, name: str) -> int:
    """`value` as an int through its __index__; a bool or a non-integer is a TypeError naming `name`."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got {_described(value)}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {_described(value)}") from None


def _described(value: Any) -> str:
    """A value as an error names it: "the bool True", "float 2.5"."""
    if isinstance(value, bool):
        return f"the bool {value!r}"
    return f"{type(value).__name__} {value!r}"


def _hash_map_cap(hash_map_cap: Any) -> int:
    """`hash_map_cap` checked to be an int from 1 to 2**64 - 1; None means 2**64 - 1."""
    if hash_map_cap is None:
        return _MAX_U64
    cap = hash_map_cap if type(hash_map_cap) is int else _integer(hash_map_cap, "hash_map_cap")
    if not 1 <= cap <= _MAX_U64:
        raise ValueError(f"hash_map_cap must be from 1 to 2**64 - 1, got {cap}")
    return cap


def _search_options(max_time: Any, seed: Any, threads: Any, progress: Any, minimize: Any) -> dict[str, Any]:
    """The native search's keyword arguments for these options, each checked and named in its error."""
    options = _objective(minimize)
    if max_time is not None:
        if isinstance(max_time, bool) or not isinstance(max_time, (int, float)):
            raise TypeError(f"max_time must be None or a number of seconds, got {type(max_time).__name__} {max_time!r}")
        if not max_time >= 0:
            raise ValueError(f"max_time must be at least 0, got {max_time!r}")
        options["max_time"] = float(max_time)
    if seed != 0:
        seed = _integer(seed, "seed")
        if not 0 <= seed <= _MAX_U64:
            raise ValueError(f"seed must be from 0 to 2**64 - 1, got {seed}")
        options["seed"] = seed
    if threads is None:
        threads = _PROCESSORS
    else:
        threads = _integer(threads, "threads")
        if threads < 1:
            raise ValueError(f"threads must be None or at least 1, got {threads}")
    options["threads"] = threads
    if progress is True:
        options["progress"] = _report_on_stderr
    elif callable(progress):
        options["progress"] = progress
    elif progress is not False and progress is not None:
        raise TypeError(f"progress must be a bool or a callable, got {type(progress).__name__} {progress!r}")
    return options


_DEFAULT_OPTIONS: dict[str, Any] = {"threads": _PROCESSORS}

_MEASURES = ("flops", "size", "write", "combo")
_MINIMIZE_CHOICES = "'flops', 'size', 'write', 'combo' or 'combo-<factor>'"


def _objective(minimize: Any) -> dict[str, Any]:
    """The native search's keyword arguments for `minimize` (none for "flops"), or the error naming it."""
    if not isinstance(minimize, str):
        raise TypeError(f"minimize must be {_MINIMIZE_CHOICES}, got {_described(minimize)}")
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


def _report_on_stderr(elapsed: float, best_cost: float) -> None:
    """The progress report of `progress=True`: one line on stderr, rewritten in place."""
    sys.stderr.write(f"\rplenexa_paths: best cost {best_cost:.4g} after {elapsed:.1f} s ")
    sys.stderr.flush()


def _memory_limit(memory_limit: Any, terms: list[list[int]], sizes: list[int]) -> int:
    """The element bound `memory_limit` sets: itself as an int, or the largest input's size for "max_input"."""
    if isinstance(memory_limit, str) and memory_limit == "max_input":
        largest = 0
        for term in terms:
            size = 1
            for i in term:
                size *= sizes[i]
            largest = max(largest, size)
        return largest
    if isinstance(memory_limit, (str, bool)) or not hasattr(type(memory_limit), "__index__"):
        raise TypeError(f"memory_limit must be None, 'max_input' or an int, got {_described(memory_limit)}")
    limit = _integer(memory_limit, "memory_limit")
    if limit < 0:
        raise ValueError(f"memory_limit must be None, 'max_input' or an int of at least 0, got {limit}")
    return limit


if TYPE_CHECKING:
    from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
    from opt_einsum.paths import register_path_fn as _register_path_fn
else:
    try:
        from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
        from opt_einsum.paths import register_path_fn as _register_path_fn
    except ImportError:
        _PathOptimizerBase = object
        _register_path_fn = None


class Optimizer(_PathOptimizerBase):
    """`optimize` as an opt_einsum path optimizer, with its options fixed.

    Parameters:
        hash_map_cap: As for `optimize`: the cap of the small components' tables, None for none.
        check_outer: Also consider outer products of tensors that share no label.
        max_time: None, or the seconds each search may take.
        seed: The seed of the tree search's random trials.
        threads: Worker threads for the tree search; None means one per processor.
        progress: As for `optimize`: False, True or a callable.
        minimize: As for `optimize`: "flops", "size", "write", "combo" or "combo-<factor>".

    Calling the optimizer with opt_einsum's path-function arguments (inputs, output,
    size_dict, memory_limit) returns `optimize`'s path for them, and raises what it raises.

    Raises:
        ModuleNotFoundError: opt_einsum is not installed (`pip install opt_einsum`).
        TypeError: an option of the wrong type (see `optimize`).
        ValueError: an option out of range (see `optimize`).

    Example:
        >>> import numpy as np, opt_einsum
        >>> a, b, c = np.ones((2, 3)), np.ones((3, 4)), np.ones((4, 5))
        >>> opt_einsum.contract("ab,bc,cd->ad", a, b, c, optimize=Optimizer(hash_map_cap=64)).shape
        (2, 5)
    """

    def __init__(
        self,
        hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
        check_outer: bool = False,
        *,
        max_time: Optional[float] = None,
        seed: int = 0,
        threads: Optional[int] = None,
        progress: Progress = False,
        minimize: str = "flops",
    ) -> None:
        if _PathOptimizerBase is object:
            raise ModuleNotFoundError(
                "plenexa_paths.Optimizer needs opt_einsum, which is not installed: "
                "install it with `pip install opt_einsum`",
                name="opt_einsum",
            )
        if type(check_outer) is not bool:
            raise TypeError(f"check_outer must be a bool, got {check_outer!r}")
        _search_options(max_time, seed, threads, progress, minimize)  # refuses bad options now
        self.hash_map_cap = _hash_map_cap(hash_map_cap)
        self.check_outer = check_outer
        self.max_time, self.seed, self.threads, self.progress = max_time, seed, threads, progress
        self.minimize = minimize

    def __call__(
        self,
        inputs: Iterable[Iterable[Label]],
        output: Iterable[Label],
        size_dict: Mapping[Label, int],
        memory_limit: Optional[int] = None,
    ) -> PathType:
        """The path `optimize` finds with this optimizer's options."""
        return optimize(
            inputs, output, size_dict, memory_limit, hash_map_cap=self.hash_map_cap, check_outer=self.check_outer,
            max_time=self.max_time, seed=self.seed, threads=self.threads, progress=self.progress,
            minimize=self.minimize,
        )

    def __repr__(self) -> str:
        return (
            f"Optimizer(hash_map_cap={self.hash_map_cap}, check_outer={self.check_outer}, max_time={self.max_time}, "
            f"seed={self.seed}, threads={self.threads}, progress={self.progress!r}, minimize={self.minimize!r})"
        )


if _PathOptimizerBase is not object:
    try:
        _register_path_fn("plenexa", optimize)
    except KeyError:  # registered already, by an earlier import of this package
        pass


def _cotengra_tree(inputs: Any, output: Any, size_dict: Any, **options: Any) -> Any:
    """`optimize`'s path as cotengra's contraction tree: a trial of its hyper-optimiser, or its preset."""
    from cotengra import ContractionTree

    path = optimize(inputs, output, size_dict, **options)
    return ContractionTree.from_path(inputs, output, size_dict, path=path)


def _register_with_cotengra(cotengra: Any) -> None:
    """Makes "plenexa" a method of cotengra's hyper-optimiser (its trials vary the seed) and a preset."""
    from cotengra.hyperoptimizers.hyper import register_hyper_function

    register_hyper_function("plenexa", _cotengra_tree, {"seed": {"type": "INT", "min": 0, "max": 2**31 - 1}})
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


if "cotengra" in sys.modules:
    _register_with_cotengra(sys.modules["cotengra"])
elif not any(type(finder).__name__ == "_RegisterOnImport" for finder in sys.meta_path):  # also after a reload
    sys.meta_path.insert(0, _RegisterOnImport())
