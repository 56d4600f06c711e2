"""Slicing: the labels to fix, one value at a time, so that every intermediate of a path fits.

A path is seen as its steps: the labels a step touches (both operands) and the labels its
result keeps. Fixing a label divides every step and result holding it by the label's size
and multiplies the number of slices by it, so the total cost over all slices is
    slices(S) * sum over steps of prod(sizes of the step's labels outside S).
`sliced` adds labels greedily: while the largest result of one slice is over the limit, it
fixes the label of that result whose fixing raises the total cost least. Every pick shrinks
the largest result, so the loop ends once it fits (a result of labels of size at most 1
always fits a limit of at least 1).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

# One step of a path: the labels it touches and the labels its result keeps, as dense ids.
Step = tuple[frozenset[int], frozenset[int]]


def steps_of(replayed: Sequence[tuple[Any, Sequence[int], Sequence[int]]]) -> list[Step]:
    """The steps of a path replayed by `_helpers.replay`: (touched labels, kept labels) per step."""
    return [(frozenset(touched), frozenset(result)) for _, touched, result in replayed]


def _size(labels: frozenset[int], sizes: Sequence[int], fixed: set[int]) -> float:
    """The elements of a tensor over `labels` in one slice (a float: only compared and summed)."""
    size = 1.0
    for label in labels:
        if label not in fixed:
            size *= sizes[label]
    return size


def sliced(steps: list[Step], sizes: Sequence[int], limit: int, start: Sequence[int] = ()) -> list[int]:
    """`start` and then the labels picked, in order, until every result of one slice holds at most
    `limit` elements (at least 1); then labels that turned out needless are dropped again."""
    chosen = list(start)
    fixed = set(chosen)
    while True:
        results = [_size(result, sizes, fixed) for _, result in steps]
        largest = max(results, default=0.0)
        if largest <= limit:
            break
        costs = [_size(touched, sizes, fixed) for touched, _ in steps]
        total = sum(costs)
        # The cost of the steps holding each label: fixing label l turns the total into
        # size(l) * (total - (1 - 1/size(l)) * holding[l]).
        holding: dict[int, float] = {}
        for (touched, _), cost in zip(steps, costs):
            for label in touched:
                if label not in fixed:
                    holding[label] = holding.get(label, 0.0) + cost
        candidates = {
            label
            for (_, result), size in zip(steps, results)
            if size == largest
            for label in result
            if label not in fixed and sizes[label] > 1
        }
        pick = min(
            candidates,
            key=lambda label: (sizes[label] * total - (sizes[label] - 1) * holding[label], label),
        )
        chosen.append(pick)
        fixed.add(pick)
    # A label fixed early may be needless once later ones are: drop each that is, newest first.
    for label in reversed(chosen[:]):
        fixed.discard(label)
        if max((_size(result, sizes, fixed) for _, result in steps), default=0.0) <= limit:
            chosen.remove(label)
        else:
            fixed.add(label)
    return chosen
