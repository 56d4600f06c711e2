"""The contraction-order search behind plenexa_paths.optimize, on dense integer ids."""

from collections.abc import Callable, Sequence
from typing import Optional

#: The distribution's version.
__version__: str

#: Most subgraphs the search holds per table of two or more tensors, unless told otherwise.
DEFAULT_HASH_MAP_CAP: int

def search(
    terms: Sequence[Sequence[int]],
    output: Sequence[int],
    sizes: Sequence[int],
    mem_cap: Optional[int],
    hash_map_cap: int,
    check_outer: Optional[bool],
    *,
    work_limit: Optional[int] = None,
    max_time: Optional[float] = None,
    seed: Optional[int] = None,
    threads: Optional[int] = None,
    progress: Optional[Callable[[float, float], object]] = None,
    minimize: Optional[str] = None,
    factor: Optional[float] = None,
    quick: Optional[bool] = None,
    rate: Optional[float] = None,
) -> Optional[list[tuple[int, ...]]]:
    """The contraction path of dense integer ids, or None when no path passes a memory cap.

    Every id is below len(sizes); every size is at least 1. The path never costs more than a
    greedy one. `mem_cap` None means no memory cap; an int is a hard bound that every
    intermediate stays strictly below. `work_limit` (units of search work; None: a default
    for capped searches, none for exhaustive ones) and `max_time` (seconds) stop the search,
    the best tree found so far answering; with `max_time` or `rate` and without `quick`, the
    tree search goes on improving its tree until then. `seed` (0) and `threads` (1) drive the tree search
    of components of 64 inputs or more; `progress` is called with (elapsed seconds, best cost)
    at most every 100 ms of it. `minimize` ("flops", "size", "write" or "combo"; None: "flops")
    is what the path minimises, `factor` (a positive number; None: 64) combo's weight of write.
    `quick` True: the tree search refines fewer trees and skips its rebuilds, for about a
    third of its time. `rate` (flops per second, above 0): the tree search stops once it has
    run as long as its best tree (by the measure minimised) would take to contract at that
    rate, and at most ten times its default effort.
    The interpreter lock is released during the
    search; on the main thread Ctrl-C ends it within milliseconds and other signal handlers
    run about every 250 ms; one that raises ends the search with its exception.

    Example:
        >>> search([[0, 1], [1, 2], [2, 3]], [0, 3], [2, 30, 40, 5], None, 500, False)
        [(0, 1), (0, 1)]
    """

def strategy() -> str:
    """The search's strategy as text: every knob, one per line as 'name = value'."""
