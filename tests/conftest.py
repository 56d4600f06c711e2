import contextlib
import pathlib
import sys

import pytest

# The tests share the seeded networks and the cost replay of the benchmarks (bench/networks.py,
# bench/replay.py), and tests/test_corpus.py checks bench/corpus.py.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))

# Libraries with native code of their own that the sanitized run leaves out: they are not built
# with the sanitizers, whose runtime would report their allocations as ours.
NOT_SANITIZED = {"jax", "jaxlib"}


def importable(name):
    """Whether the tests may import `name`: installed, and not left out of a sanitized run."""
    import importlib.util
    import os

    if os.environ.get("PLENEXA_SANITIZE") and name.split(".")[0] in NOT_SANITIZED:
        return False
    return importlib.util.find_spec(name.split(".")[0]) is not None


UNWRAP_ERR = "called `Result::unwrap()` on an `Err` value: "


def oob(length, index):
    """The text of an index-out-of-bounds panic."""
    return f"index out of bounds: the len is {length} but the index is {index}"


@contextlib.contextmanager
def raises_panic(text=None, *, prefix=None, contains=()):
    """Expects the block to raise PanicException; checks its text exactly, by prefix, or by parts.

    Yields pytest's ExceptionInfo; the caught exception is `info.value`.
    """
    with pytest.raises(BaseException) as info:
        yield info
    exc = info.value
    cls = type(exc)
    assert cls.__name__ == "PanicException", repr(exc)
    assert cls.__module__ == "pyo3_runtime"
    assert not isinstance(exc, Exception)
    assert len(exc.args) == 1 and isinstance(exc.args[0], str)
    message = exc.args[0]
    if text is not None:
        assert message == text
    if prefix is not None:
        assert message.startswith(prefix), message
    for part in contains:
        assert part in message, message


@pytest.fixture
def expect_panic():
    """The `raises_panic` context manager, as a fixture."""
    return raises_panic


def panic_text(fn, text=None, *, startswith=None, endswith=None):
    """Calls fn(), expects PanicException and returns its message (checked exactly or by its ends)."""
    with raises_panic(text, prefix=startswith) as info:
        fn()
    message = info.value.args[0]
    if endswith is not None:
        assert message.endswith(endswith), message
    return message


def unwrap_text(exc):
    """The panic text of a constructor content failure caused by `exc` (raised in native code)."""
    return f"{UNWRAP_ERR}PyErr {{ type: {type(exc)!r}, value: {exc!r}, traceback: None }}"
