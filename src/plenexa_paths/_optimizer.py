"""`Optimizer`: `optimize` with its options fixed, as an opt_einsum path optimizer."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import TYPE_CHECKING, Any, Optional, Union

from ._cache import CacheOption, PathCache, cache_of
from ._helpers import Label, PathType
from ._options import DEFAULT_HASH_MAP_CAP, Minimize, Progress, check_outer, hash_map_cap, native
from ._paths import path

if TYPE_CHECKING:
    from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
else:
    try:
        from opt_einsum.paths import PathOptimizer as _PathOptimizerBase
    except ImportError:
        _PathOptimizerBase = object

# The options an Optimizer holds, in the order of its repr.
_OPTIONS = ("hash_map_cap", "check_outer", "max_time", "seed", "threads", "progress", "minimize", "cache")


class Optimizer(_PathOptimizerBase):
    """`optimize` as an opt_einsum path optimizer, with its options fixed.

    Parameters:
        hash_map_cap: As for `optimize`: the cap of the small components' tables, None for none.
        check_outer: Also consider outer products of tensors that share no label.
        max_time: None, the seconds each search may take, or "rate:<flops per second>" (see
            `optimize`).
        seed: The seed of the tree search's random trials.
        threads: Worker threads for the tree search; None means one per processor (at most
            256 run: more are clamped to 256).
        progress: As for `optimize`: False, True or a callable.
        minimize: As for `optimize`: "flops", "size", "write", "combo" or "combo-<factor>".
        cache: False, or True to keep each path found in memory, or a directory (a str or
            path) to keep them on disk too, where other processes (and later runs) find
            them. A path is kept by network up to label renaming (its labels renumbered in
            order of first appearance, with their sizes), output, memory_limit and the
            options that change it (hash_map_cap, check_outer, seed, minimize; not threads,
            which never does, nor progress, which is not called on a hit). A search with
            max_time is neither served from the cache nor kept, as its path depends on the
            time it got. At most 4096 paths stay in memory, the oldest dropped first; a file
            is written whole (a temporary file renamed over it), and one that cannot be read
            or does not fit its network is ignored and written again. Two networks whose
            sets of labels come in another order (opt_einsum's terms are sets) may be kept
            apart. Setting `cache` anew starts a new cache.

    The options are checked once, when they are given (at construction, or when an attribute
    of the same name is set: a bad value is refused and leaves the optimizer unchanged).
    Calling the optimizer with opt_einsum's path-function arguments (inputs, output,
    size_dict, memory_limit) returns `optimize`'s path for them, and raises what it raises,
    except when no path keeps every intermediate within memory_limit: then, as opt_einsum's
    own optimizers do, it answers with the steps of the path found without the limit up to
    the first whose result breaks it, then one step over all remaining operands.

    Raises:
        ModuleNotFoundError: opt_einsum is not installed (`pip install opt_einsum`).
        TypeError: an option of the wrong type (see `optimize`; a cache neither a bool nor a
            directory).
        ValueError: an option out of range (see `optimize`).
        OSError: the cache's directory cannot be created.

    Example:
        >>> import numpy as np, opt_einsum
        >>> a, b, c = np.ones((2, 3)), np.ones((3, 4)), np.ones((4, 5))
        >>> opt_einsum.contract("ab,bc,cd->ad", a, b, c, optimize=Optimizer(hash_map_cap=64)).shape
        (2, 5)
    """

    hash_map_cap: int
    check_outer: bool
    max_time: Union[None, float, str]
    seed: int
    threads: Optional[int]
    progress: Progress
    minimize: Minimize
    cache: CacheOption
    _path: Callable[..., PathType]
    _arguments: tuple[int, bool, dict[str, Any], Optional[PathCache], tuple[Any, ...]]

    def __init__(
        self,
        hash_map_cap: Optional[int] = DEFAULT_HASH_MAP_CAP,
        check_outer: bool = False,
        *,
        max_time: Union[None, float, str] = None,
        seed: int = 0,
        threads: Optional[int] = None,
        progress: Progress = False,
        minimize: Minimize = "flops",
        cache: CacheOption = False,
    ) -> None:
        if _PathOptimizerBase is object:
            raise ModuleNotFoundError(
                "plenexa_paths.Optimizer needs opt_einsum, which is not installed: "
                "install it with `pip install opt_einsum`",
                name="opt_einsum",
            )
        self._hold(dict(hash_map_cap=hash_map_cap, check_outer=check_outer, max_time=max_time, seed=seed,
                        threads=threads, progress=progress, minimize=minimize, cache=cache))

    def _hold(self, options: dict[str, Any]) -> None:
        """Checks `options` (all of `_OPTIONS`) and keeps them, with the native search's arguments."""
        cap = hash_map_cap(options["hash_map_cap"])
        outer = check_outer(options["check_outer"])
        arguments = native(options["max_time"], options["seed"], options["threads"], options["progress"],
                           options["minimize"])
        held: Optional[tuple[Any, ...]] = getattr(self, "_arguments", None)
        same = held is not None and type(options["cache"]) is type(self.cache) and options["cache"] == self.cache
        kept = held[3] if held is not None and same else cache_of(options["cache"])

        options["hash_map_cap"] = cap
        for name, value in options.items():
            object.__setattr__(self, name, value)
        object.__setattr__(self, "_path", path)
        key = (cap, outer, arguments.get("seed", 0), options["minimize"])
        object.__setattr__(self, "_arguments", (cap, outer, arguments, kept, key))

    def __setattr__(self, name: str, value: Any) -> None:
        """An option set anew is checked at once, with the others; other attributes are kept as given."""
        if name in _OPTIONS:
            self._hold({option: value if option == name else getattr(self, option) for option in _OPTIONS})
        else:
            object.__setattr__(self, name, value)

    def __call__(
        self,
        inputs: Iterable[Iterable[Label]],
        output: Iterable[Label],
        size_dict: Mapping[Label, int],
        memory_limit: Optional[int] = None,
    ) -> PathType:
        """The path `optimize` finds with this optimizer's options (opt_einsum's answer when no
        path meets memory_limit)."""
        held = self._arguments
        if memory_limit is None and held[3] is not None and not {"max_time", "rate"} & held[2].keys():
            found = held[3].exact(held[4], inputs, output, size_dict)  # here: a hit's time
            if found is not None:
                return found
        return self._path(inputs, output, size_dict, memory_limit, *held, True)

    def __repr__(self) -> str:
        return (
            f"Optimizer(hash_map_cap={self.hash_map_cap}, check_outer={self.check_outer}, max_time={self.max_time}, "
            f"seed={self.seed}, threads={self.threads}, progress={self.progress!r}, minimize={self.minimize!r}, "
            f"cache={self.cache!r})"
        )
