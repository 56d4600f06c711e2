"""numpy's einsum equations read into the path function's terms, output and sizes."""

from __future__ import annotations

import operator
from collections.abc import Hashable, Sequence
from typing import Any

# The characters an equation uses for its own syntax, never as labels.
_SYNTAX = frozenset(",->.")


def shape_of(operand: Any, position: int) -> tuple[int, ...]:
    """The shape of an operand: an array's `.shape`, or the operand itself read as a shape."""
    shape = getattr(operand, "shape", operand)
    try:
        dims = tuple(operator.index(d) for d in shape)
    except TypeError:
        raise TypeError(
            f"operands[{position}] must be an array or a shape (a sequence of ints), "
            f"got {type(operand).__name__} {operand!r}"
        ) from None
    if any(d < 0 for d in dims):
        raise ValueError(f"operands[{position}] has a negative dimension: {dims}")
    return dims


def _subscripts(text: str, where: str) -> tuple[list[str], list[str] | None]:
    """The labels before and after the ellipsis of one term (None after: the term has no ellipsis)."""
    head, dots, tail = text.partition("...")
    parts = [head, tail] if dots else [head]
    for part in parts:
        for char in part:
            if char in _SYNTAX:
                raise ValueError(f"{where} holds {char!r}, which is not a label: equation syntax is 'ab,bc->ac'")
    if dots and "..." in tail:
        raise ValueError(f"{where} holds more than one ellipsis ('...')")
    return list(head), (list(tail) if dots else None)


def parse(equation: str, shapes: Sequence[tuple[int, ...]]) -> tuple[list[list[Hashable]], list[Hashable], dict[Hashable, int]]:
    """The terms, output and size of every label of `equation` over operands of these shapes.

    A dimension covered by an ellipsis gets the label `k` (an int), k counting the broadcast
    dimensions from the left, so it never meets a letter. A label's size is the largest of its
    dimensions, those of size 1 broadcasting against it as numpy broadcasts them.
    """
    if not isinstance(equation, str):
        raise TypeError(f"equation must be a str such as 'ab,bc->ac', got {type(equation).__name__} {equation!r}")
    text = "".join(equation.split())
    left, arrow, right = text.partition("->")
    if arrow and "->" in right:
        raise ValueError(f"equation {equation!r} holds '->' more than once")
    terms_text = left.split(",")
    if len(terms_text) != len(shapes):
        raise ValueError(
            f"equation {equation!r} has {len(terms_text)} input terms but {len(shapes)} operands were given"
        )
    # The broadcast dimensions of every term, right-aligned against the longest.
    read = [_subscripts(term, f"input term {i} ({term!r})") for i, term in enumerate(terms_text)]
    broadcast = []
    for i, ((head, tail), shape) in enumerate(zip(read, shapes)):
        named = len(head) + len(tail or ())
        if tail is None and named != len(shape) or named > len(shape):
            raise ValueError(
                f"operands[{i}] has {len(shape)} dimensions but input term {terms_text[i]!r} names {named}"
            )
        broadcast.append(len(shape) - named)
    width = max(broadcast, default=0)

    terms: list[list[Hashable]] = []
    sizes: dict[Hashable, int] = {}
    for i, ((head, tail), shape, extra) in enumerate(zip(read, shapes, broadcast)):
        labels: list[Hashable] = [*head, *range(width - extra, width), *(tail or ())]
        for label, dim in zip(labels, shape):
            known = sizes.setdefault(label, dim)
            if known == 1:
                sizes[label] = dim
            elif dim not in (known, 1):
                raise ValueError(
                    f"label {label if isinstance(label, str) else '...'!r} has size {known} in one operand "
                    f"and {dim} in operands[{i}]"
                )
        terms.append(labels)

    if arrow:
        head, tail = _subscripts(right, f"the output ({right!r})")
        if tail is None and width:
            raise ValueError(f"equation {equation!r} covers dimensions with '...' but its output has no '...'")
        output: list[Hashable] = [*head, *(range(width) if tail is not None else ()), *(tail or ())]
        seen = set()
        for label in output:
            if label in seen:
                raise ValueError(f"the output of {equation!r} names {label!r} more than once")
            if label not in sizes:
                raise ValueError(f"the output of {equation!r} names {label!r}, which is in no input term")
            seen.add(label)
    else:
        # numpy's implicit output: the broadcast dimensions, then every label used once, in order.
        counts: dict[str, int] = {}
        for head, tail in read:
            for letter in [*head, *(tail or ())]:
                counts[letter] = counts.get(letter, 0) + 1
        output = [*range(width), *sorted(letter for letter, n in counts.items() if n == 1)]
    return terms, output, sizes
