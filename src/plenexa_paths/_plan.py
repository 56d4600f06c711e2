"""Plans: a path, the labels sliced to fit a memory limit, what it all costs, and the contraction."""

from __future__ import annotations

import itertools
import math
import sys
import time
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

from . import _options, _paths, _slicing
from ._helpers import Label, dense, replay, sizes_of
from ._options import DEFAULT_HASH_MAP_CAP, MemoryLimit, Progress

# Most rounds of searching again with the sliced labels taken out and slicing again. Measured
# on bench/sliced.py's 14 rows: 3 rounds found every plan that 4 found; a second seed per round
# (the better of two searches) saved 0.5-1.5% of the flops on the 3-regular graphs of 128 and
# 256 tensors and nothing elsewhere, for twice the time.
_ROUNDS = 3


@dataclass(frozen=True)
class PlanStep:
    """One pairwise contraction of a plan, in one slice.

    Attributes:
        operands: The labels of the two operands (sliced labels left out).
        result: The labels of the result.
        size: The elements of the result.
        flops: The step's cost: the product of the sizes of every label it touches.
    """

    operands: tuple[tuple[Hashable, ...], ...]
    result: tuple[Hashable, ...]
    size: int
    flops: int


@dataclass(frozen=True)
class Plan:
    """A contraction path, the labels fixed one value at a time so that it fits in memory, and
    what it costs; `contract` runs it.

    Attributes:
        path: The path in opt_einsum's linear format, the same for every slice.
        sliced: The labels fixed in each slice, in the order they were chosen.
        slices: How many slices there are: the product of the sliced labels' sizes.
        flops: The cost over all slices: slices times the sum of the steps' flops.
        largest: The most elements an intermediate of one slice holds, the result included.
        write: The elements written over all slices: slices times the sum of the steps' sizes.
        steps: Each step of one slice.

    Example:
        >>> plan([["a", "b"], ["b", "c"]], ["a", "c"], {"a": 4, "b": 8, "c": 4}, memory_limit=8).sliced
        ('a',)
    """

    path: list[tuple[int, ...]]
    sliced: tuple[Hashable, ...]
    slices: int
    flops: int
    largest: int
    write: int
    steps: tuple[PlanStep, ...]
    _inputs: list[tuple[Hashable, ...]] = field(repr=False, compare=False)
    _output: tuple[Hashable, ...] = field(repr=False, compare=False)
    _sizes: dict[Hashable, int] = field(repr=False, compare=False)

    def __hash__(self) -> int:
        return hash((tuple(self.path), self.sliced, self.slices, self.flops, self.largest, self.write, self.steps))

    def __str__(self) -> str:
        lines = [
            f"{len(self.steps)} steps, "
            + (f"sliced {_spelled(self.sliced)}: {self.slices} slices" if self.sliced else "no slicing"),
            f"flops (all slices): {self.flops:.4g}   largest intermediate: {self.largest:.4g} elements   "
            f"write (all slices): {self.write:.4g}",
            f"{'step':>4}  {'operands':<30} {'result':<16} {'size':>10} {'flops':>10}",
        ]
        for k, step in enumerate(self.steps):
            operands = ", ".join(_spelled(labels) for labels in step.operands)
            lines.append(f"{k:>4}  {operands:<30} {_spelled(step.result):<16} {step.size:>10.4g} {step.flops:>10.4g}")
        return "\n".join(lines)

    def contract(self, *arrays: Any, backend: Optional[str] = None) -> Any:
        """The contraction of `arrays` (one per input, shaped by the sizes) along the plan, one slice
        at a time through opt_einsum's `contract`, so that only one slice's intermediates are held.

        Parameters:
            arrays: The input arrays, in the order of the plan's inputs.
            backend: opt_einsum's backend name; None lets opt_einsum pick it from the arrays.

        Returns:
            The result, the slices summed over summed labels and joined along output labels.

        Raises:
            ModuleNotFoundError: opt_einsum is not installed.
            ValueError: the number of arrays or an array's shape does not fit the plan.
        """
        import opt_einsum

        if len(arrays) != len(self._inputs):
            raise ValueError(f"the plan has {len(self._inputs)} inputs, got {len(arrays)} arrays")
        for k, (array, term) in enumerate(zip(arrays, self._inputs)):
            expected = tuple(self._sizes[label] for label in term)
            if tuple(getattr(array, "shape", ())) != expected:
                raise ValueError(f"arrays[{k}] must have the shape {expected}, got {getattr(array, 'shape', None)}")
        symbol = {label: opt_einsum.get_symbol(k) for k, label in enumerate(self._sizes)}
        kept = [label for label in self.sliced if label in self._output]
        summed = [label for label in self.sliced if label not in self._output]
        # A sliced output label keeps its axis with length 1, so that slices join along it;
        # a summed one disappears from each slice.
        terms = ["".join(symbol[x] for x in term if x not in summed) for term in self._inputs]
        equation = ",".join(terms) + "->" + "".join(symbol[x] for x in self._output)
        options = {} if backend is None else {"backend": backend}
        parts = []
        for outer in itertools.product(*(range(self._sizes[label]) for label in kept)):
            total = None
            for inner in itertools.product(*(range(self._sizes[label]) for label in summed)):
                value = dict(zip(kept, outer)) | dict(zip(summed, inner))
                operands = [
                    array[tuple(_index(x, value, x in kept) for x in term)] if value.keys() & set(term) else array
                    for array, term in zip(arrays, self._inputs)
                ]
                part = opt_einsum.contract(equation, *operands, optimize=self.path, **options)
                total = part if total is None else total + part
            parts.append(total)
        for label in reversed(kept):
            # Join runs of consecutive parts along this label's axis, innermost label first.
            run = self._sizes[label]
            axis = self._output.index(label)
            parts = [_concatenate(parts[k : k + run], axis) for k in range(0, len(parts), run)]
        return parts[0]


def _index(label: Hashable, value: dict[Hashable, int], keep_axis: bool) -> Any:
    """The index of one axis in a slice: everything, one value, or one value kept as an axis."""
    if label not in value:
        return slice(None)
    return slice(value[label], value[label] + 1) if keep_axis else value[label]


def _concatenate(parts: list[Any], axis: int) -> Any:
    """The parts joined along `axis`, by the arrays' own library."""
    first = parts[0]
    if hasattr(first, "__array_namespace__"):
        namespace = first.__array_namespace__()
        join = getattr(namespace, "concat", None) or namespace.concatenate
        return join(parts, axis=axis)
    if type(first).__module__.split(".")[0] == "torch":
        return sys.modules["torch"].cat(parts, dim=axis)
    import numpy

    return numpy.concatenate(parts, axis=axis)


def _spelled(labels: Sequence[Hashable]) -> str:
    """Labels as a plan prints them: one-character strings run together, others comma-separated."""
    if all(isinstance(label, str) and len(label) == 1 for label in labels):
        return "".join(labels)  # type: ignore[arg-type]
    return "(" + ", ".join(repr(label) for label in labels) + ")"


def plan(
    inputs: Iterable[Iterable[Label]],
    output: Iterable[Label],
    size_dict: Mapping[Label, int],
    memory_limit: MemoryLimit = None,
    *,
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
    # Every argument checked once, before any search; each search then gets its share of max_time.
    cap = _options.hash_map_cap(hash_map_cap)
    _options.check_outer(check_outer)
    seconds = _options.max_time(max_time)
    arguments = _options.native(None, seed, threads, progress, minimize)
    ids, terms, out = dense(inputs, output)
    sizes, searched = sizes_of(ids, size_dict)
    limit = None
    if memory_limit is not None:
        limit = _options.memory_limit(memory_limit, terms, sizes)
        if limit < 1:
            raise ValueError(f"memory_limit must be at least 1 to slice, got {memory_limit!r}")
    deadline = None if seconds is None else time.monotonic() + seconds

    def search(dense_sizes: list[int], searches_left: int, **quick: bool) -> Any:
        """A search's path of the dense network with these sizes (each at least 1), or None when
        time is up (or the network has no pair to order)."""
        options = arguments
        if deadline is not None:
            share = max(deadline - time.monotonic(), 0.0) / searches_left
            if share == 0.0 and quick:
                return None
            options = {**arguments, "max_time": share}
        if quick and len(terms) < 2:
            return None
        return _paths.search(terms, out, dense_sizes, None, cap, check_outer, {**options, **quick})

    path = search(searched, 1 + _ROUNDS)
    labels: list[Hashable] = list(ids)
    named = [tuple(labels[i] for i in term) for term in terms]
    return build(named, tuple(labels[i] for i in out), labels, terms, out, sizes, path, limit,
                 lambda reduced, left: search([size or 1 for size in reduced], left, quick=True))


def build(
    inputs: list[tuple[Hashable, ...]],
    output: tuple[Hashable, ...],
    labels: list[Hashable],
    terms: list[list[int]],
    out: list[int],
    sizes: list[int],
    path: list[tuple[int, ...]],
    limit: Optional[int],
    search: Callable[[list[int], int], Optional[list[tuple[int, ...]]]],
) -> Plan:
    """The plan of the cheapest (path, sliced labels) found, from `path` (the unsliced network's);
    `terms`, `out` and `sizes` are the network over dense ids, `labels` the label of each id.

    With a limit, rounds alternate: slice the path (keeping the labels sliced so far), then
    search the network again with the sliced labels taken out and slice that path; the rounds
    end when one brings nothing cheaper. `search(sizes, searches_left)` gives a path for the
    dense network with these sizes, or None when time is up.
    """
    chosen: list[int] = []
    if limit is not None:
        chosen = _slicing.sliced(_slicing.steps_of(replay(terms, out, path)), sizes, limit)
        best = (_figures(terms, out, sizes, path, chosen)[1], path, chosen)
        for round_left in range(_ROUNDS, 0, -1):
            reduced = [1 if i in chosen else size for i, size in enumerate(sizes)]
            again = search(reduced, round_left)
            if again is None:
                break
            extended = _slicing.sliced(_slicing.steps_of(replay(terms, out, again)), sizes, limit, chosen)
            flops = _figures(terms, out, sizes, again, extended)[1]
            if flops >= best[0]:
                break
            best = (flops, again, extended)
            chosen = extended
        _, path, chosen = best
    table, flops, largest, write = _figures(terms, out, sizes, path, chosen)
    slices = math.prod(sizes[i] for i in chosen)
    named = tuple(
        PlanStep(tuple(tuple(labels[i] for i in operand) for operand in operands), tuple(labels[i] for i in result), size, cost)
        for operands, result, size, cost in table
    )
    return Plan(
        path=path, sliced=tuple(labels[i] for i in chosen), slices=slices, flops=flops, largest=largest,
        write=write, steps=named, _inputs=inputs, _output=output, _sizes=dict(zip(labels, sizes)),
    )


def _figures(
    terms: list[list[int]], out: list[int], sizes: list[int], path: list[tuple[int, ...]], chosen: list[int]
) -> tuple[list[tuple[list[list[int]], list[int], int, int]], int, int, int]:
    """Per step of one slice (operands' labels, result's labels, size, flops), then the flops and
    writes over all slices and the largest result of one slice, in exact integers."""
    fixed = set(chosen)
    slices = 1
    for i in fixed:
        slices *= sizes[i]
    steps = []
    for pair, touched, result in replay(terms, out, path):
        # A sliced label is left out of every tensor of one slice.
        kept = [i for i in result if i not in fixed]
        # A lone input's step (a trace or a sum) is not a contraction: it costs nothing here.
        flops = math.prod(sizes[i] for i in touched if i not in fixed) if len(pair) > 1 else 0
        steps.append(([[i for i in operand if i not in fixed] for operand in pair], kept,
                      math.prod(sizes[i] for i in kept), flops))
    flops = slices * sum(step[3] for step in steps)
    write = slices * sum(step[2] for step in steps)
    largest = max((step[2] for step in steps), default=math.prod(sizes[i] for i in set(out) - fixed))
    return steps, flops, largest, write
