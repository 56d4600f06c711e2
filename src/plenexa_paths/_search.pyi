"""The contraction-order search behind plenexa_paths.optimize, on dense integer ids."""

from collections.abc import Sequence
from typing import Optional

#: Most subgraphs the search holds per table of two or more tensors, unless told otherwise.
DEFAULT_HASH_MAP_CAP: int

def search(
    terms: Sequence[Sequence[int]],
    output: Sequence[int],
    sizes: Sequence[int],
    mem_cap: Optional[int],
    hash_map_cap: int,
    check_outer: Optional[bool],
) -> Optional[list[tuple[int, ...]]]:
    """The contraction path of dense integer ids, or None when no path passes a memory cap.

    Every id is below len(sizes); every size is at least 1. `mem_cap` None means no memory
    cap, and a search the caps cannot complete gives N - 1 copies of (0, 1); an int is a
    hard bound that every intermediate stays strictly below. The
    interpreter lock is released during the search; pending signal handlers run about
    every 10 ms, and one that raises ends the search with its exception.

    Example:
        >>> search([[0, 1], [1, 2], [2, 3]], [0, 3], [2, 30, 40, 5], None, 500, False)
        [(0, 1), (0, 1)]
    """
