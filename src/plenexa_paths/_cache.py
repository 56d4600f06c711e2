"""The path cache: paths kept by network, up to label renaming, and by the options that change
the path; in memory, and in a directory that several processes may share."""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
from typing import Any, Optional, Union

from . import _search
from ._helpers import PathType

#: What `cache` takes: False (none), True (in memory) or a directory (on disk, and in memory).
CacheOption = Union[bool, str, "os.PathLike[str]"]

# Most paths a cache holds in memory; the oldest goes first. At about 1 kB a path of a hundred
# tensors (its key included), this bounds a cache at a few MB, while a training loop or a
# hyper-optimiser's trials reuse far fewer networks than this.
_MAX_ENTRIES = 4096

# The term and output types whose value (not identity) says what a call's arguments are, so that
# the arguments themselves can key the cache: a list is unhashable, an iterator is used up.
_VALUE_TYPES = (str, tuple, frozenset)


class PathCache:
    """Paths by key, in memory, and in `directory` when one is given.

    Two levels: `exact` looks a path up by the call's own arguments, as given (the fastest
    way, for calls that repeat themselves), `canonical` by the network with its labels
    renumbered in order of first appearance, which the same network under other labels
    shares. A file of the directory holds one path and its key; a file that cannot be read,
    or whose key or path does not fit, is a miss, and is written again.
    """

    def __init__(self, directory: Optional[Union[str, "os.PathLike[str]"]] = None) -> None:
        self.directory = None if directory is None else os.fspath(directory)
        if self.directory is not None:
            os.makedirs(self.directory, exist_ok=True)
        self._exact: dict[Any, PathType] = {}
        self._canonical: dict[Any, PathType] = {}

    def exact(self, options: tuple[Any, ...], inputs: Any, output: Any, size_dict: Any) -> Optional[PathType]:
        """The path kept under a call's own arguments (and the options that change it), or None."""
        # Every test here is on a hit's way, which takes well under a microsecond: a key with an
        # iterator or a mapping other than a dict in it matches nothing `put` keeps, and only a
        # list or tuple of terms is read here (an iterator would be used up). Sizes that sum to
        # something other than an int (a float equal to an int, say) miss, so that the full check
        # refuses them: testing each size's type would double a hit's time.
        if (
            type(size_dict) is dict
            and (type(inputs) is list or type(inputs) is tuple)
            and type(sum(size_dict.values())) is int
        ):
            try:
                found = self._exact.get((options, tuple(inputs), output, tuple(size_dict.items())))
            except TypeError:  # an unhashable term or label
                return None
            if found is not None:
                return found.copy()
        return None

    def canonical(self, key: tuple[Any, ...], operands: int) -> Optional[PathType]:
        """The path kept for a canonical network of `operands` inputs, from memory or disk, or None."""
        found = self._canonical.get(key)
        if found is None and self.directory is not None:
            found = self._load(key, operands)
            if found is not None:
                _bounded_put(self._canonical, key, found)
        return None if found is None else found.copy()

    def put(self, key: tuple[Any, ...], path: PathType, exact: Optional[tuple[Any, ...]] = None) -> None:
        """Keeps `path` under its canonical key (in memory and on disk) and, with `exact` (a
        call's options, inputs, output and size_dict, as `exact` reads them), under the call's
        own arguments too, when they name the network by value: terms and output of str, tuple
        or frozenset, in a list or tuple, and a dict of int sizes."""
        path = [tuple(step) for step in path]
        if self._canonical.get(key) != path:
            _bounded_put(self._canonical, key, path)
            if self.directory is not None:
                self._store(key, path)
        if exact is None:
            return
        options, inputs, output, size_dict = exact
        if (
            (type(inputs) is list or type(inputs) is tuple)
            and all(type(term) in _VALUE_TYPES for term in inputs)
            and type(output) in _VALUE_TYPES
            and type(size_dict) is dict
            and all(type(size) is int for size in size_dict.values())
        ):
            try:
                _bounded_put(self._exact, (options, tuple(inputs), output, tuple(size_dict.items())), path)
            except TypeError:  # an unhashable label inside a tuple term
                pass

    def _file(self, key: tuple[Any, ...]) -> tuple[str, str]:
        """The key as a file keeps it, and the file's path."""
        text = repr((_search.__version__, key))
        return text, os.path.join(str(self.directory), hashlib.sha256(text.encode()).hexdigest() + ".json")

    def _load(self, key: tuple[Any, ...], operands: int) -> Optional[PathType]:
        """The path the directory keeps for `key`, or None when it keeps none that fits."""
        text, name = self._file(key)
        try:
            with open(name, encoding="utf-8") as file:
                stored = json.load(file)
            if stored["key"] != text:
                return None
            return _checked_path(stored["path"], operands)
        except (OSError, ValueError, TypeError, KeyError, RecursionError):
            return None

    def _store(self, key: tuple[Any, ...], path: PathType) -> None:
        """Writes the path's file whole or not at all: a temporary file, then renamed over the
        file, so that another process reads either the old file or the new one. A directory
        that cannot be written leaves the cache in memory only."""
        text, name = self._file(key)
        try:
            handle, temporary = tempfile.mkstemp(prefix=".partial-", suffix=".json", dir=self.directory)
        except OSError:
            return
        try:
            with os.fdopen(handle, "w", encoding="utf-8") as file:
                json.dump({"key": text, "path": path}, file)
            os.replace(temporary, name)
        except OSError:
            try:
                os.unlink(temporary)
            except OSError:
                pass

    def clear(self) -> None:
        """Forgets every path held in memory (the directory's files stay)."""
        self._exact.clear()
        self._canonical.clear()

    def __len__(self) -> int:
        return len(self._canonical)


def _bounded_put(table: dict[Any, PathType], key: Any, path: PathType) -> None:
    """Puts `path` under `key`, dropping the oldest entry of a full table."""
    if len(table) >= _MAX_ENTRIES and key not in table:
        try:
            del table[next(iter(table))]
        except (StopIteration, KeyError, RuntimeError):  # another thread emptied or changed it
            pass
    table[key] = path


def _checked_path(stored: Any, operands: int) -> Optional[PathType]:
    """A stored path as a list of tuples when it is a valid path over `operands` inputs (each step
    distinct positions in the current operand list, one operand left at the end), else None."""
    if type(stored) is not list:
        return None
    path = []
    left = operands
    for step in stored:
        if type(step) is not list or not step or len(set(step)) != len(step):
            return None
        if not all(type(k) is int and 0 <= k < left for k in step):
            return None
        left -= len(step) - 1
        path.append(tuple(step))
    return path if left == 1 or (operands == 0 and not path) else None


def cache_of(value: Any) -> Optional[PathCache]:
    """`cache` checked to be a bool or a directory, as the PathCache it names (None for False)."""
    if value is False or value is None:
        return None
    if value is True:
        return PathCache()
    if isinstance(value, (str, os.PathLike)):
        return PathCache(value)
    raise TypeError(f"cache must be a bool or a directory, got {type(value).__name__} {value!r}")
