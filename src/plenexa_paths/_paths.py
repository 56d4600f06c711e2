"""The path functions: `optimize` on opt_einsum's path-function arguments, and `einsum_path` on
numpy's equation and operands, with `PathInfo`, what its path costs."""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Optional, Union

from . import _equation, _options, _search
from ._cache import CacheOption, PathCache, cache_of
from ._helpers import MAX_U64, Label, PathType, cost, network, replay
from ._options import DEFAULT_HASH_MAP_CAP, MemoryLimit, Minimize, Progress

# The cache `optimize` uses, which `set_default_cache` sets: none until then.
_default_cache: Optional[PathCache] = None


def set_default_cache(cache: CacheOption = True) -> None:
    """Sets the cache of `optimize` and `einsum_path`, and so of opt_einsum's "plenexa" path
    function (`optimize="plenexa"`, `torch.backends.opt_einsum.strategy = "plenexa"`).

    Parameters:
        cache: True keeps paths in memory, a directory (a str or path) also on disk, shared
            with other processes; False keeps none (the start). Each call starts a new cache.
            What is kept, and when, is as for `Optimizer`'s `cache`.

    Raises:
        TypeError: a cache that is neither a bool nor a directory.
        OSError: the directory cannot be created.

    Example:
        >>> set_default_cache(True)
        >>> optimize(["ab", "bc", "cd"], "ad", {"a": 2, "b": 30, "c": 40, "d": 5})  # searched, then kept
        [(0, 1), (0, 1)]
        >>> set_default_cache(False)
    """
    global _default_cache
    _default_cache = cache_of(cache)


def optimize(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    memory_limit: MemoryLimit = None,
    *,
    hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
    check_outer: bool = False,
    max_time: Union[None, float, str] = None,
    seed: int = 0,
    threads: Optional[int] = None,
    progress: Progress = False,
    minimize: Minimize = "flops",
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
            may hold; "max_input" means the size of the largest input. When no path meets
            it, `plan` finds one that slices the network so that each slice does.
        hash_map_cap: Most partial contractions the search of a component of up to 63
            tensors keeps per number of tensors (at least 1); larger finds cheaper paths in
            more time. None (or 2**64 - 1) means no cap: the exact optimum, however long
            it takes (for components whose greedy path costs less than 2**64; a costlier
            one goes to the tree search). A capped search stops after a bounded amount of work (seconds, the
            same on every run) and answers with the best tree it has.
        check_outer: Also consider outer products of tensors that share no label.
        max_time: None (the default effort; math.inf too), or the seconds to search: the tree
            search of a large network goes on improving its path until then, and every stage
            stops at it with the best path so far (which may differ from run to run); the plain
            greedy path is built whatever the budget, which takes seconds on crowded networks of
            many thousands of tensors.
            "rate:<flops per second>" (as cotengra's): the tree search goes on until it has run
            as long as its best path would take to contract at that rate, so that searching
            costs no more than it saves.
        seed: The seed of the tree search's random trials (an int from 0 to 2**64 - 1).
        threads: Worker threads for the tree search; None means one per processor. At most
            256 run: more are clamped to 256. The path does not depend on it.
        progress: True reports the best cost so far and the time spent on stderr; a
            callable gets (elapsed seconds, best cost) at most every 100 ms of a long tree
            search, and an exception it raises ends the search. The cost is the measure
            of `minimize` (for "size", the largest intermediate).
        minimize: "flops", "size", "write", "combo" or "combo-<factor>" (see above). The
            exhaustive search (`hash_map_cap=None`) is exact for each of them on a connected
            network; the components of a disconnected one are joined in the order of
            fewest flops.

    After `set_default_cache`, a network searched before (up to label renaming) with the
    same options gets the kept path at once (see `Optimizer`'s `cache`).

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
            path meets (its message names `plan`, which slices), an unknown minimize, or an
            option out of range.
        MemoryError: the search ran out of memory (a smaller hash_map_cap bounds it).

    Example:
        >>> optimize([("i", "j"), ("j", "k"), ("k", "l")], ("i", "l"), {"i": 8, "j": 2, "k": 9, "l": 8})
        [(1, 2), (0, 1)]
    """
    if type(hash_map_cap) is not int or not 1 <= hash_map_cap <= MAX_U64:
        hash_map_cap = _options.hash_map_cap(hash_map_cap)
    if type(check_outer) is not bool:
        _options.check_outer(check_outer)
    if max_time is None and threads is None and progress is False and type(seed) is int and seed == 0 and (
        type(minimize) is str and minimize == "flops"
    ):
        arguments = _options.DEFAULTS  # tested here, not in _options.native: the small calls' time
    else:
        arguments = _options.native(max_time, seed, threads, progress, minimize)
    if _default_cache is not None:
        return path(inputs, output, size_dict, memory_limit, hash_map_cap, check_outer, arguments,
                    _default_cache, (hash_map_cap, check_outer, seed, minimize))
    return path(inputs, output, size_dict, memory_limit, hash_map_cap, check_outer, arguments)


def opt_einsum_path(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    memory_limit: Optional[int] = None,
) -> PathType:
    """`optimize` with its default options, as opt_einsum's path functions answer: when no
    path keeps every intermediate within `memory_limit` (opt_einsum's "max_input" is an int
    by then), the steps of the path found without it up to the first whose result breaks it,
    then one step over all remaining operands, as opt_einsum's greedy and optimal do. It uses
    the cache `set_default_cache` sets.

    Example:
        >>> opt_einsum_path(["ab", "bc", "cd"], "ad", {"a": 8, "b": 8, "c": 8, "d": 8}, memory_limit=16)
        [(0, 1, 2)]
    """
    cache = _default_cache
    if cache is not None and memory_limit is None:
        found = cache.exact(_DEFAULT_OPTIONS, inputs, output, size_dict)  # here: a hit's time
        if found is not None:
            return found
    return path(inputs, output, size_dict, memory_limit, DEFAULT_HASH_MAP_CAP, False, _options.DEFAULTS,
                cache, _DEFAULT_OPTIONS, one_step_rest=True)


# The options that change the path, as the cache keys them, for the default options.
_DEFAULT_OPTIONS = (DEFAULT_HASH_MAP_CAP, False, 0, "flops")


def path(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    memory_limit: Any,
    hash_map_cap: int,
    check_outer: bool,
    arguments: dict[str, Any],
    cache: Optional[PathCache] = None,
    options: tuple[Any, ...] = (),
    one_step_rest: bool = False,
) -> PathType:
    """`optimize`'s path, its options checked already: `arguments` are the native search's keyword
    arguments (`_options.native`). With a `cache`, `options` are those that change the path
    (hash_map_cap, check_outer, seed, minimize) as the caller has them checked; a search
    with max_time is neither served from it nor kept (its path depends on the time it got).
    With `one_step_rest`, a memory_limit no path meets gets opt_einsum's answer, not an error."""
    exact = None
    if cache is not None and not {"max_time", "rate"} & arguments.keys():
        if memory_limit is None:
            # The call's own arguments first: the quickest hit, for calls that repeat themselves.
            found = cache.exact(options, inputs, output, size_dict)
            if found is not None:
                return found
            exact = (options, inputs, output, size_dict)
        if cache.directory is not None:
            inputs, output = _sorted_sets(inputs, output)
    else:
        cache = None
    _, terms, out, sizes, searched = network(inputs, output, size_dict)
    if memory_limit is None and cache is None:
        # Without a memory cap there is always a path; `search` spelled out: the small calls' time.
        if len(terms) > 1:
            if "progress" not in arguments:  # no report to end: the native call alone
                return _search.search(terms, out, searched, None, hash_map_cap, check_outer, **arguments)  # type: ignore[return-value]
            return _run(terms, out, searched, None, hash_map_cap, check_outer, arguments)  # type: ignore[return-value]
        return [(0,)] if terms else []
    limit = None if memory_limit is None else _options.memory_limit(memory_limit, terms, sizes)
    key: tuple[Any, ...] = ()
    if cache is not None:
        objective = (arguments.get("seed", 0), arguments.get("minimize", "flops"), arguments.get("factor"))
        key = (hash_map_cap, check_outer, *objective, tuple(map(tuple, terms)), tuple(out), tuple(sizes), limit)
        found = cache.canonical(key, len(terms))
        if found is not None:
            cache.put(key, found, exact)
            return found
    within = _within(terms, out, sizes, searched, memory_limit, limit, hash_map_cap, check_outer, arguments)
    if isinstance(within, str):
        if not one_step_rest:
            raise ValueError(within)
        assert limit is not None  # only a limit goes unmet
        return _one_step_rest(terms, out, sizes, limit, hash_map_cap, check_outer, arguments)
    if cache is not None:
        cache.put(key, within, exact)
    return within


def _within(
    terms: list[list[int]], out: list[int], sizes: list[int], searched: list[int], memory_limit: Any,
    limit: Optional[int], hash_map_cap: int, check_outer: bool, arguments: dict[str, Any],
) -> Union[PathType, str]:
    """The path of a checked network that keeps every intermediate within `limit` elements (any
    path when None), or the message saying that none does."""
    if limit is None:
        unlimited = search(terms, out, searched, None, hash_map_cap, check_outer, arguments)
        assert unlimited is not None  # without a memory cap there is always a path
        return unlimited
    way_out = f"; plenexa_paths.plan(inputs, output, size_dict, {memory_limit!r}) slices the network so that each slice fits"
    result_size = 1
    for i in set(out):
        result_size *= sizes[i]
    if terms and result_size > limit:
        return f"memory_limit={memory_limit!r} is below the size of the result ({result_size} elements){way_out}"
    mem_cap = min(limit + 1, MAX_U64)
    found = search(terms, out, searched, mem_cap, hash_map_cap, check_outer, arguments)
    if found is not None:
        return found
    # The path found without the limit: the answer when it happens to meet the limit, and
    # otherwise a measure of how far off the limit is.
    unbounded = search(terms, out, searched, None, hash_map_cap, check_outer, arguments)
    assert unbounded is not None  # without a memory cap there is always a path
    largest = cost(replay(terms, out, unbounded), sizes)[1]
    if largest < mem_cap:
        return unbounded
    return (
        f"no contraction path keeps every intermediate within memory_limit={memory_limit!r} elements; "
        f"the path found without it needs {largest} elements{way_out}"
    )


def _one_step_rest(
    terms: list[list[int]], out: list[int], sizes: list[int], limit: int, hash_map_cap: int, check_outer: bool,
    arguments: dict[str, Any],
) -> PathType:
    """opt_einsum's answer when no path meets its memory limit: the unlimited path's steps up to the
    first whose result holds more than `limit` elements, then one step over all remaining operands."""
    unbounded = search(terms, out, [size or 1 for size in sizes], None, hash_map_cap, check_outer, arguments)
    assert unbounded is not None
    kept = 0
    for _, _, result in replay(terms, out, unbounded):
        size = 1
        for i in result:
            size *= sizes[i]
        if size > limit:
            break
        kept += 1
    return unbounded[:kept] + [tuple(range(len(terms) - kept))]


def _sorted_sets(inputs: Any, output: Any) -> tuple[Any, Any]:
    """The set terms and output of a call (opt_einsum passes frozensets) with their labels sorted
    where they can be, so that the labels' first appearance, and so the key a disk cache files
    the network under, does not depend on the process's hashing of them."""
    if type(inputs) is not list and type(inputs) is not tuple:
        return inputs, output
    try:
        if any(isinstance(term, (set, frozenset)) for term in inputs):
            inputs = [sorted(term) if isinstance(term, (set, frozenset)) else term for term in inputs]
        if isinstance(output, (set, frozenset)):
            output = sorted(output)
    except TypeError:  # labels of types that do not compare: their own order, then
        pass
    return inputs, output


def search(
    terms: list[list[int]],
    out: list[int],
    sizes: list[int],
    mem_cap: Optional[int],
    hash_map_cap: int,
    check_outer: bool,
    arguments: dict[str, Any],
) -> Optional[PathType]:
    """The native search's path of a checked network over dense ids (every size at least 1), or
    None when none keeps below `mem_cap`; a network of one input or none needs no search."""
    if len(terms) <= 1:
        return [(0,)] if terms else []
    return _run(terms, out, sizes, mem_cap, hash_map_cap, check_outer, arguments)


def _run(
    terms: list[list[int]], out: list[int], sizes: list[int], mem_cap: Optional[int], hash_map_cap: int,
    check_outer: bool, arguments: dict[str, Any],
) -> Optional[PathType]:
    """The native search, with `progress=True`'s report ended when it ends, however it ends."""
    try:
        return _search.search(terms, out, sizes, mem_cap, hash_map_cap, check_outer, **arguments)
    finally:
        report = arguments.get("progress")
        if isinstance(report, _options.Report):
            report.close()


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
    found = optimize(terms, output, sizes, **options)
    flops, largest = cost(replay(terms, output, found), sizes)
    return ["einsum_path", *found], PathInfo(cost=flops, largest_intermediate=largest, steps=len(found))
