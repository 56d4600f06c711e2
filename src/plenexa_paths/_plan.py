"""Plans: a path, the labels sliced to fit a memory limit, what it all costs, and the contraction."""

from __future__ import annotations

import collections
import functools
import itertools
import math
import operator
import sys
import time
from collections.abc import Callable, Generator, Hashable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Optional

from . import _options, _paths, _slicing
from ._helpers import Label, network, replay
from ._options import DEFAULT_HASH_MAP_CAP, MemoryLimit, Minimize, Progress

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
        shown = sorted(range(len(self.steps)), key=lambda k: (-self.steps[k].flops, k))[:_SHOWN_STEPS]
        lines = self._figures()
        if len(self.steps) > _SHOWN_STEPS:
            lines.append(f"the {_SHOWN_STEPS} costliest steps:")
        lines += self._rows(shown if len(self.steps) > _SHOWN_STEPS else range(len(self.steps)))
        if len(self.steps) > _SHOWN_STEPS:
            lines.append(f"... {len(self.steps) - _SHOWN_STEPS} more steps (plan.table() lists every step)")
        return "\n".join(lines)

    def table(self) -> str:
        """The figures and every step of one slice, in the path's order, as `str(plan)` lays them out."""
        return "\n".join(self._figures() + self._rows(range(len(self.steps))))

    def _figures(self) -> list[str]:
        """The lines of the plan's figures: steps, slicing, flops, largest intermediate, writes."""
        return [
            f"{len(self.steps)} steps, "
            + (f"sliced {_spelled(self.sliced)}: {self.slices} slices" if self.sliced else "no slicing"),
            f"flops (all slices): {self.flops:.4g}   largest intermediate: {self.largest:.4g} elements   "
            f"write (all slices): {self.write:.4g}",
        ]

    def _rows(self, numbers: Iterable[int]) -> list[str]:
        """The step table's header and the rows of these steps, each with its step number."""
        lines = [f"{'step':>4}  {'operands':<30} {'result':<16} {'size':>10} {'flops':>10}"]
        for k in numbers:
            step = self.steps[k]
            operands = ", ".join(_spelled(labels) for labels in step.operands)
            lines.append(f"{k:>4}  {operands:<30} {_spelled(step.result):<16} {step.size:>10.4g} {step.flops:>10.4g}")
        return lines

    def slice_values(self, i: int) -> dict[Hashable, int]:
        """The value each sliced label takes in slice `i` (0 <= i < slices): slices count through
        the values of `sliced` in order, the last label's fastest (numpy's `unravel_index` of `i`
        over the sliced labels' sizes).

        Raises:
            TypeError: i is not an int.
            ValueError: i is outside 0 <= i < slices.
        """
        return dict(zip(self.sliced, self._prepared.values(self._slice_number(i))))

    def contract_slice(self, i: int, *arrays: Any, backend: Optional[str] = None) -> Any:
        """The contraction of slice `i` of `arrays` (one per input, shaped by the sizes): the
        network with each sliced label fixed to its value in `slice_values(i)`.

        Each slice's result has the output's axes without its sliced labels. The full result is
        put together from them as `contract` does: slices that differ only in labels summed
        over (sliced labels outside the output) add up, and each sum is the piece
        `full[index]` of the full result, where `index` holds, at the axis of each sliced output
        label, that label's value and `:` at every other axis. With no sliced output labels,
        the sum of every slice is the full result.

        Parameters:
            i: The slice, 0 <= i < slices.
            arrays: The input arrays, in the order of the plan's inputs.
            backend: opt_einsum's backend name; None lets opt_einsum pick it from the arrays.

        Raises:
            ModuleNotFoundError: opt_einsum is not installed.
            TypeError: i is not an int.
            ValueError: i is outside 0 <= i < slices, or the arrays do not fit the plan.
        """
        number = self._slice_number(i)
        self._check(arrays)
        prepared = self._prepared
        return _run(prepared.job(backend), prepared.operands(arrays, prepared.values(number)))

    def contract(self, *arrays: Any, backend: Optional[str] = None, executor: Any = None) -> Any:
        """The contraction of `arrays` (one per input, shaped by the sizes) along the plan, one slice
        at a time through one opt_einsum expression prepared for the shapes of a slice, so that
        only one slice's intermediates are held (a few per worker with an executor).

        With an `executor` (any `concurrent.futures.Executor`: a thread or process pool, or a
        `dask.distributed.Client`), each slice's operands go to `executor.submit` with a
        module-level function, a bounded number of slices ahead, and their results are summed
        and joined in a fixed order as they come in: the result is the one computed without an
        executor, the same floating-point additions in the same order.

        Parameters:
            arrays: The input arrays, in the order of the plan's inputs.
            backend: opt_einsum's backend name; None lets opt_einsum pick it from the arrays.
            executor: None (every slice here, one after the other), or an object whose
                `submit(function, *arguments)` returns a future with `result()`.

        Returns:
            The result, the slices summed over summed labels and joined along output labels
            (see `contract_slice`).

        Raises:
            ModuleNotFoundError: opt_einsum is not installed.
            TypeError: executor has no `submit` method.
            ValueError: the number of arrays or an array's shape does not fit the plan.
        """
        self._check(arrays)
        if executor is not None and not callable(getattr(executor, "submit", None)):
            raise TypeError(f"executor must have a submit method, got {type(executor).__name__}")
        prepared = self._prepared
        job = prepared.job(backend)
        kept = [self.sliced[k] for k in prepared.kept]
        # Slices in the order they are added: by value of the sliced output labels, then of the
        # summed ones; each run of `run` slices sums to one piece of the result.
        order = prepared.order()
        run = math.prod(self._sizes[label] for label in self.sliced if label not in kept)
        parts: list[Any] = []
        total: Any = None
        results = _results(job, prepared, arrays, order, executor)
        try:
            for count, part in enumerate(results, 1):
                total = part if total is None else total + part
                if count % run == 0:
                    parts.append(total if not kept else total.reshape(prepared.piece_shape))
                    total = None
        finally:
            results.close()
        for label in reversed(kept):
            # Join runs of consecutive parts along this label's axis, innermost label first.
            size = self._sizes[label]
            axis = self._output.index(label)
            parts = [_concatenate(parts[k : k + size], axis) for k in range(0, len(parts), size)]
        return parts[0]

    def _check(self, arrays: Sequence[Any]) -> None:
        """Raises ValueError unless there is one array per input, shaped by the sizes."""
        shapes = self._shapes
        if len(arrays) != len(shapes):
            raise ValueError(f"the plan has {len(shapes)} inputs, got {len(arrays)} arrays")
        for k, (array, expected) in enumerate(zip(arrays, shapes)):
            shape = getattr(array, "shape", ())
            if shape != expected and tuple(shape) != expected:
                raise ValueError(f"arrays[{k}] must have the shape {expected}, got {getattr(array, 'shape', None)}")

    @functools.cached_property
    def _shapes(self) -> tuple[tuple[int, ...], ...]:
        """Each input's shape, as the sizes give it (checked against the arrays of every call)."""
        return tuple(tuple(self._sizes[label] for label in term) for term in self._inputs)

    def _slice_number(self, i: Any) -> int:
        """`i` as a slice number, checked to be an int in 0 <= i < slices."""
        if isinstance(i, bool) or not hasattr(i, "__index__"):
            raise TypeError(f"the slice must be an int, got {type(i).__name__} {i!r}")
        number = operator.index(i)
        if not 0 <= number < self.slices:
            raise ValueError(f"slice {number} is out of range: the plan has {self.slices} slices (0 to {self.slices - 1})")
        return number

    @functools.cached_property
    def _prepared(self) -> _Prepared:
        """What every slice's contraction shares, worked out on first use and kept with the plan."""
        return _Prepared(self)


# Slices submitted to an executor ahead of the one whose result is awaited: it bounds the operands
# and results held at once. 256 slices of a 217-tensor circuit on 2 workers took 0.36-0.39 s on a
# process pool and 0.71-0.80 s on a dask cluster with 4, 16, 64 or 256 ahead (no trend); 64 keeps a
# few dozen workers busy.
_IN_FLIGHT = 64

# Steps that `str(plan)` lists: the costliest ones (plan.table() lists all).
_SHOWN_STEPS = 10


@dataclass(frozen=True)
class _Job:
    """What a worker needs to contract one slice: the slice's equation (sliced labels left out),
    the operands' shapes and the path, hashable so that each process prepares it once."""

    equation: str
    shapes: tuple[tuple[int, ...], ...]
    path: tuple[tuple[int, ...], ...]
    backend: Optional[str]


# Expressions each process keeps, by job: the plans contracted lately.
_KEPT_EXPRESSIONS = 16
_expressions: dict[_Job, Any] = {}


# The job looked up last and its expression: slices of one plan skip hashing the job (its
# equation, shapes and path) when they come with the very same job object.
_last: tuple[Optional[_Job], Any] = (None, None)


def _expression(job: _Job) -> Any:
    """opt_einsum's expression for the job, prepared once per process (the oldest dropped when
    more plans than _KEPT_EXPRESSIONS are in use)."""
    global _last
    last_job, last_expression = _last
    if last_job is job:
        return last_expression
    expression = _expressions.get(job)
    if expression is None:
        import opt_einsum

        expression = opt_einsum.contract_expression(job.equation, *job.shapes, optimize=[list(step) for step in job.path])
        while len(_expressions) >= _KEPT_EXPRESSIONS:
            _expressions.pop(next(iter(_expressions)), None)
        _expressions[job] = expression
    _last = (job, expression)
    return expression


def _run(job: _Job, operands: Sequence[Any]) -> Any:
    """One slice's result: the job's expression on the slice's operands (submitted to executors)."""
    return _expression(job)(*operands, backend="auto" if job.backend is None else job.backend)


class _Prepared:
    """A plan's slicing worked out once: the equation of one slice and, per input, which axes
    take a sliced label's value."""

    def __init__(self, plan: Plan) -> None:
        import opt_einsum

        sizes = plan._sizes
        position = {label: k for k, label in enumerate(plan.sliced)}
        symbol = {label: opt_einsum.get_symbol(k) for k, label in enumerate(sizes)}
        terms = ["".join(symbol[x] for x in term if x not in position) for term in plan._inputs]
        self.equation = ",".join(terms) + "->" + "".join(symbol[x] for x in plan._output if x not in position)
        self.shapes = tuple(tuple(sizes[x] for x in term if x not in position) for term in plan._inputs)
        self.path = tuple(tuple(step) for step in plan.path)
        self.radices = tuple(sizes[label] for label in plan.sliced)
        # Per input: (axis, sliced label's number) for each axis a slice fixes; none leaves it whole.
        self.fixed = [tuple((axis, position[x]) for axis, x in enumerate(term) if x in position) for term in plan._inputs]
        self.kept = [k for k, label in enumerate(plan.sliced) if label in plan._output]
        # A piece of the result keeps each sliced output label's axis at length 1, to be joined along it.
        self.piece_shape = tuple(1 if x in position else sizes[x] for x in plan._output)
        self.jobs: dict[Optional[str], _Job] = {}

    def job(self, backend: Optional[str]) -> _Job:
        """The job of every slice with this backend (the same object each time)."""
        job = self.jobs.get(backend)
        if job is None:
            job = self.jobs[backend] = _Job(self.equation, self.shapes, self.path, backend)
        return job

    def values(self, number: int) -> tuple[int, ...]:
        """The sliced labels' values in slice `number`, the last label counting fastest."""
        values = []
        for radix in reversed(self.radices):
            number, value = divmod(number, radix)
            values.append(value)
        return tuple(reversed(values))

    def order(self) -> Iterator[tuple[int, ...]]:
        """Every slice's values, those of the sliced output labels counting slowest, so that
        slices summed into one piece of the result come one after the other."""
        summed = [k for k in range(len(self.radices)) if k not in self.kept]
        for outer in itertools.product(*(range(self.radices[k]) for k in self.kept)):
            for inner in itertools.product(*(range(self.radices[k]) for k in summed)):
                values = [0] * len(self.radices)
                for k, value in zip(self.kept, outer):
                    values[k] = value
                for k, value in zip(summed, inner):
                    values[k] = value
                yield tuple(values)

    def operands(self, arrays: Sequence[Any], values: Sequence[int]) -> list[Any]:
        """Each array indexed by the slice's values at its sliced axes (the whole array when none)."""
        operands = []
        for array, fixed in zip(arrays, self.fixed):
            if fixed:
                index: list[Any] = [slice(None)] * len(getattr(array, "shape"))
                for axis, k in fixed:
                    index[axis] = values[k]
                array = array[tuple(index)]
            operands.append(array)
        return operands


def _results(
    job: _Job, prepared: _Prepared, arrays: Sequence[Any], order: Iterable[Sequence[int]], executor: Any
) -> Generator[Any, None, None]:
    """Each slice's result in `order`: contracted here one after the other, or submitted to the
    executor up to _IN_FLIGHT slices ahead and awaited in order (pending ones cancelled on exit)."""
    if executor is None:
        for values in order:
            yield _run(job, prepared.operands(arrays, values))
        return
    pending: collections.deque[Any] = collections.deque()
    try:
        for values in order:
            pending.append(executor.submit(_run, job, prepared.operands(arrays, values)))
            if len(pending) >= _IN_FLIGHT:
                yield pending.popleft().result()
        while pending:
            yield pending.popleft().result()
    finally:
        for future in pending:
            future.cancel()


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
    minimize: Minimize = "flops",
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
    ids, terms, out, sizes, searched = network(inputs, output, size_dict)
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
