"""What every part of the package shares: labels mapped to dense ids, sizes checked, the replay
of a path, and the spelling of argument errors."""

from __future__ import annotations

import math
import operator
from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import Any, NoReturn, TypeVar

MAX_U64 = 2**64 - 1

PathType = list[tuple[int, ...]]
# One call's labels: a type variable, so that a dict[str, int] of sizes matches str labels.
Label = TypeVar("Label", bound=Hashable)


def network(
    inputs: Iterable[Iterable[Label]], output: Iterable[Label], size_dict: Mapping[Label, int]
) -> tuple[dict[Label, int], list[list[int]], list[int], list[int], list[int]]:
    """The labels as dense ids in order of first appearance across the inputs, the inputs and the
    output over those ids, the labels' sizes in id order (ints from 0 to 2**64 - 1) and the sizes
    the native search takes (those of 0 as 1: the result is empty whatever the path); or the
    error naming the argument, the label and the value at fault."""
    if isinstance(inputs, str):
        raise TypeError(f"inputs must be an iterable of terms, not the str {inputs!r}")
    # Plain loops are the fastest way here. Every error is explained from the object at hand,
    # never by reading an argument a second time: an iterator is used up, and another thread
    # may have changed a list.
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
                    raise_if_unhashable(label, f"inputs[{len(terms)}] holds")
                    raise
                if i is None:
                    i = ids[label] = len(ids)
                row.append(i)
        except TypeError:
            if not row:
                raise_if_not_iterable(term, f"inputs[{len(terms)}] must be an iterable of labels")
            raise
        terms.append(row)
    try:
        out_labels = iter(output)
    except TypeError:
        raise_if_not_iterable(output, "output must be an iterable of labels")
        raise
    out = []
    for label in out_labels:
        try:
            i = lookup(label)
        except TypeError:
            raise_if_unhashable(label, "output holds")
            raise
        if i is None:
            raise ValueError(f"output label {label!r} does not occur in any input")
        out.append(i)
    if len(out) > 1 and len({*out}) != len(out):
        _refuse_repeated_output(ids, out)
    try:
        sizes = list(map(size_dict.__getitem__, ids))
    except (KeyError, IndexError) as error:
        _refuse_missing_size(ids, size_dict, error)
    except (TypeError, AttributeError):
        raise TypeError(f"size_dict must be a mapping from label to size, got {type(size_dict).__name__}") from None
    for size in sizes:
        if type(size) is not int or not 0 < size <= MAX_U64:
            sizes = _checked_sizes(ids, sizes)
            return ids, terms, out, sizes, [size or 1 for size in sizes]
    return ids, terms, out, sizes, sizes


def _refuse_repeated_output(ids: dict[Any, int], out: list[int]) -> None:
    """Raises the ValueError naming the first output label that occurs twice."""
    seen: set[int] = set()
    for i in out:
        if i in seen:
            label = next(label for label, j in ids.items() if j == i)
            raise ValueError(f"output names the label {label!r} more than once")
        seen.add(i)


def _refuse_missing_size(ids: dict[Any, int], size_dict: Mapping[Any, int], error: LookupError) -> NoReturn:
    """Raises the ValueError naming the label that `size_dict` has no size for."""
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


def _checked_sizes(ids: dict[Any, int], sizes: list[Any]) -> list[int]:
    """`sizes` (one per label of `ids`, in order) as ints from 0 to 2**64 - 1, or the error naming the label."""
    # Each read once, from a tuple that a size's __index__ cannot change as it can change a list.
    checked = []
    for label, size in zip(ids, tuple(sizes)):
        if type(size) is not int:
            size = integer(size, f"size_dict[{label!r}]")
        if not 0 <= size <= MAX_U64:
            raise ValueError(f"size_dict[{label!r}] must be from 0 to 2**64 - 1, got {size}")
        checked.append(size)
    return checked


def integer(value: Any, name: str) -> int:
    """`value` as an int through its __index__; a bool or a non-integer is a TypeError naming `name`."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, got {described(value)}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {described(value)}") from None


def described(value: Any) -> str:
    """A value as an error names it: "the bool True", "float 2.5"."""
    if isinstance(value, bool):
        return f"the bool {value!r}"
    return f"{type(value).__name__} {value!r}"


def raise_if_not_iterable(value: Any, what: str) -> None:
    """Raises the TypeError "`what`, got <type> <value>" when `value` has no way to be iterated;
    an iterable whose own iteration raised TypeError is left to pass that error on."""
    kind = type(value)
    if getattr(kind, "__iter__", None) is None and getattr(kind, "__getitem__", None) is None:
        raise TypeError(f"{what}, got {kind.__name__} {value!r}") from None


def raise_if_unhashable(label: Any, where: str) -> None:
    """Raises the TypeError "`where` the unhashable label ..." when `label`'s type cannot be hashed;
    a label whose own __hash__ or __eq__ raised TypeError is left to pass that error on."""
    if getattr(type(label), "__hash__", None) is None:
        raise TypeError(f"{where} the unhashable label {label!r} ({type(label).__name__})") from None


# One step of a replayed path: the labels of its operands (each without repeats, in order), the
# labels it touches (theirs, in order of first appearance) and the labels its result keeps (those
# of them that the output or a remaining operand needs, in the same order).
Step = tuple[list[list[Any]], list[Any], list[Any]]


def replay(terms: Iterable[Iterable[Any]], output: Iterable[Any], path: Iterable[Sequence[int]]) -> list[Step]:
    """The steps of `path` (positions in the shrinking operand list, opt_einsum's linear format,
    each result appended) over `terms`, whose labels are dense ids or any hashable labels."""
    operands = [list(dict.fromkeys(term)) for term in terms]
    keep = set(output)
    # How many live operands hold each label: a result keeps a label some other operand holds.
    holders: dict[Any, int] = {}
    for operand in operands:
        for x in operand:
            holders[x] = holders.get(x, 0) + 1
    steps = []
    for step in path:
        pair = [operands[k] for k in step]
        for k in sorted(step, reverse=True):
            del operands[k]
        touched = list(dict.fromkeys(x for operand in pair for x in operand))
        for operand in pair:
            for x in operand:
                holders[x] -= 1
        result = [x for x in touched if x in keep or holders[x]]
        for x in result:
            holders[x] += 1
        operands.append(result)
        steps.append((pair, touched, result))
    return steps


def cost(steps: list[Step], sizes: Any) -> tuple[int, int]:
    """The cost of replayed steps (over the pairwise steps, the product of the sizes of every
    label a step touches; a lone input's trace or sum is not priced) and the most elements any
    result holds, in exact integers; `sizes` maps each label to its size."""
    flops = largest = 0
    for pair, touched, result in steps:
        if len(pair) > 1:
            flops += math.prod(sizes[x] for x in touched)
        largest = max(largest, math.prod(sizes[x] for x in result))
    return flops, largest
