"""The cost model under which the tests and the benchmarks price every path.

A pairwise step costs the product of the sizes of all axes of both operands (its flops), and its
result keeps the axes that the output or a remaining operand still needs; the sizes of the
results give a path's largest intermediate and its write (their sum). `score` ranks paths under
plenexa_paths.optimize's `minimize`.
"""

from __future__ import annotations

import math
from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import Any, NamedTuple

from plenexa_paths._helpers import replay as steps_of


class Cost(NamedTuple):
    """What a path costs: the sum of its steps' costs, and the number of elements of its largest
    intermediate (the result included)."""

    flops: int
    largest: int


class Measures(NamedTuple):
    """A path's Cost and its write: the sum of the sizes of all of its intermediates (the result
    included)."""

    flops: int
    largest: int
    write: int


def score(measures: Measures, minimize: str) -> Any:
    """What `minimize` ("flops", "size", "write", "combo" or "combo-<factor>") makes of a path's
    measures, lower being better: for "size" the largest intermediate, then the flops."""
    if minimize == "size":
        return (measures.largest, measures.flops)
    if minimize in ("flops", "write"):
        return getattr(measures, minimize)
    factor = float(minimize.partition("-")[2] or 64)
    return measures.flops + factor * measures.write


def replay(*args: Any, **options: Any) -> Cost:
    """`measure`'s Cost of a path (same arguments)."""
    flops, largest, _ = measure(*args, **options)
    return Cost(flops, largest)


def measure(inputs: Iterable[Iterable[Hashable]], output: Iterable[Hashable], sizes: Mapping[Any, int],
           path: Sequence[Sequence[int]], *, pairwise: bool = True, step_type: type | None = None) -> Measures:
    """Replays `path` (positions in the shrinking operand list, opt_einsum's format) with the
    package's own replay, checking that it leaves one operand holding exactly the output's axes,
    and returns its Measures. Every step is a pair of distinct positions (of `step_type` when
    given), or, when not `pairwise`, any number of them, as opt_einsum's one-operand sums (priced
    as their operand's size). A lone input's path [0] costs nothing."""
    terms = [list(axes) for axes in inputs]
    keep = set(output)
    if len(terms) == 1:
        assert len(path) == 1 and list(path[0]) == [0] and (step_type is None or type(path[0]) is step_type), path
        return Measures(0, math.prod(sizes[x] for x in keep), 0)
    count = len(terms)  # operands before each step
    for step in path:
        assert step_type is None or type(step) is step_type, step
        assert len(step) == 2 or not pairwise and len(step) >= 1, step
        assert len(set(step)) == len(step) and all(type(k) is int and 0 <= k < count for k in step), (step, count)
        count -= len(step) - 1
    flops = largest = write = 0
    steps = steps_of(terms, keep, path)
    for _, touched, result in steps:
        flops += math.prod(sizes[x] for x in touched)
        size = math.prod(sizes[x] for x in result)
        largest = max(largest, size)
        write += size
    assert count == 1 and steps and set(steps[-1][2]) == keep, (count, keep)
    return Measures(flops, largest, write)
