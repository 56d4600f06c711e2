"""`optimize` made known to the libraries that take path functions: opt_einsum's "plenexa" path
function now, and cotengra's "plenexa" hyper-optimiser method and preset once cotengra is imported."""

from __future__ import annotations

import importlib.abc
import importlib.util
import sys
from typing import TYPE_CHECKING, Any

from ._paths import optimize

if TYPE_CHECKING:
    from opt_einsum.paths import register_path_fn as _register_path_fn
else:
    try:
        from opt_einsum.paths import register_path_fn as _register_path_fn
    except ImportError:
        _register_path_fn = None


def _register_with_opt_einsum() -> None:
    """Makes "plenexa" one of opt_einsum's path functions, when opt_einsum is installed."""
    if _register_path_fn is None:
        return
    try:
        _register_path_fn("plenexa", optimize)
    except KeyError:  # registered already, by an earlier import of this package
        pass


def _cotengra_tree(inputs: Any, output: Any, size_dict: Any, **options: Any) -> Any:
    """`optimize`'s path as cotengra's contraction tree: a trial of its hyper-optimiser, or its preset."""
    from cotengra import ContractionTree

    path = optimize(inputs, output, size_dict, **options)
    return ContractionTree.from_path(inputs, output, size_dict, path=path)


def _register_with_cotengra(cotengra: Any) -> None:
    """Makes "plenexa" a method of cotengra's hyper-optimiser (its trials vary the seed) and a preset."""
    from cotengra.hyperoptimizers.hyper import register_hyper_function

    register_hyper_function("plenexa", _cotengra_tree, {"seed": {"type": "INT", "min": 0, "max": 2**31 - 1}})
    cotengra.register_preset("plenexa", optimize, _cotengra_tree, register_opt_einsum=False)


class _RegisterOnImport(importlib.abc.MetaPathFinder):
    """Registers with cotengra once it is imported: importing it here would cost every user of
    plenexa_paths its import time (about 0.1 s beyond numpy's)."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        """cotengra's own spec, its loader made to register once the module has run."""
        if fullname != "cotengra":
            return None
        sys.meta_path.remove(self)
        spec = importlib.util.find_spec(fullname)
        if spec is not None and spec.loader is not None and hasattr(spec.loader, "exec_module"):
            run = spec.loader.exec_module

            def run_then_register(module: Any) -> None:
                run(module)
                _register_with_cotengra(module)

            spec.loader.exec_module = run_then_register  # type: ignore[method-assign]
        return spec


def register() -> None:
    """Registers with opt_einsum, and with cotengra now or once it is imported (once per process)."""
    _register_with_opt_einsum()
    if "cotengra" in sys.modules:
        _register_with_cotengra(sys.modules["cotengra"])
    elif not any(type(finder).__name__ == "_RegisterOnImport" for finder in sys.meta_path):  # also after a reload
        sys.meta_path.insert(0, _RegisterOnImport())


register()
