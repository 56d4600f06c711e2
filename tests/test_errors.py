"""PanicException: identity, class shape, failure texts and panics that cross Python code."""
import re
import sys

import pytest

import plenexa
from conftest import UNWRAP_ERR, panic_text, unwrap_text
from plenexa import EinsumSpec


def first_panic():
    try:
        EinsumSpec([[-1]], [], {0: 1})
    except BaseException as exc:  # noqa: B036
        return exc
    raise AssertionError("no panic")


def test_panic_class_shape():
    cls = type(first_panic())
    assert cls.__name__ == cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert cls.__mro__ == (cls, BaseException, object)
    assert not issubclass(cls, Exception)
    assert isinstance(cls.__doc__, str) and cls.__doc__.strip()


def test_panic_class_is_one_object_reached_only_through_instances():
    classes = {type(first_panic()) for _ in range(3)}
    classes.add(type(pytest.raises(BaseException, EinsumSpec, [[0]], [], {0: 1.5}).value))
    classes.add(type(pytest.raises(BaseException, EinsumSpec, [5], [], {}).value))
    assert len(classes) == 1
    cls = classes.pop()
    assert not hasattr(plenexa, "PanicException")
    assert "pyo3_runtime" not in sys.modules
    with pytest.raises(ImportError):
        import pyo3_runtime  # noqa: F401
    assert all(getattr(m, "PanicException", None) is not cls for m in list(sys.modules.values()))


def test_except_exception_does_not_catch_a_panic():
    def guarded():
        try:
            EinsumSpec([[0]], [-1], {0: 1})
        except Exception:  # noqa: BLE001
            return "caught"
        return "no error"

    with pytest.raises(BaseException) as info:
        guarded()
    assert type(info.value).__name__ == "PanicException"
    assert len(info.value.args) == 1 and str(info.value) == info.value.args[0]


# Content failures in the constructor, in the order they are looked at.
OVERFLOW_NEG = OverflowError("can't convert negative int to unsigned")
OVERFLOW_BIG = OverflowError("int too big to convert")
NOT_INT_FLOAT = TypeError("'float' object cannot be interpreted as an integer")
NOT_INT_STR = TypeError("'str' object cannot be interpreted as an integer")
NOT_INT_NONE = TypeError("'NoneType' object cannot be interpreted as an integer")


def not_seq(name):
    return TypeError(f"'{name}' object cannot be converted to 'Sequence'")


CONTENT_FAILURES = [
    (([[-1]], [], {0: 1}), OVERFLOW_NEG),
    (([[0]], [], {0: 1.5}), NOT_INT_FLOAT),
    (([[0]], [0], {0: 2**64}), OVERFLOW_BIG),
    (([[0]], [0], {-1: 1}), OVERFLOW_NEG),
    (([[0]], [0], {0: None}), NOT_INT_NONE),
    (([[2**64]], [], {0: 1}), OVERFLOW_BIG),
    (([5], [], {}), not_seq("int")),
    (([{0: 1}], [], {0: 1}), not_seq("dict")),
    ((["01"], [], {0: 1, 1: 1}), NOT_INT_STR),
    (([[0]], [-1], {0: 1}), OVERFLOW_NEG),
    (([[0]], [[0]], {0: 1}), TypeError("'list' object cannot be interpreted as an integer")),
    # bad int_sizes before bad operand_ints before bad out_ints before the validity rule
    (([[-1]], [], {0: 1.5}), NOT_INT_FLOAT),
    (([[1.5]], [-1], {0: 1}), NOT_INT_FLOAT),
    (([[7]], [-1], {}), OVERFLOW_NEG),
    (([[0]], [], {-1: 1.5}), OVERFLOW_NEG),  # key before value
    (([[0]], [], {1.5: -1}), NOT_INT_FLOAT),
    (([[0]], [], {0: 1, 1: -1, 2: 1.5}), OVERFLOW_NEG),  # dict order
    (([[0]], [], {0: 1, 2: 1.5, 1: -1}), NOT_INT_FLOAT),
    (([[0], [5.0], "x"], [], {0: 1}), NOT_INT_FLOAT),  # first failing operand
]


@pytest.mark.parametrize("args, cause", CONTENT_FAILURES, ids=[repr(a) for a, _ in CONTENT_FAILURES])
def test_content_failure_texts(args, cause):
    message = panic_text(lambda: EinsumSpec(*args), startswith=UNWRAP_ERR, endswith=", traceback: None }")
    assert message == unwrap_text(cause)
    assert EinsumSpec([[0]], [0], {0: 2}).validate() is True


class IndexFails:
    def __index__(self):
        raise ValueError("bad index")


class ItemFails:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return [0, 1][i] // 0


@pytest.mark.parametrize("args, cause", [
    (([[0]], [0], {0: IndexFails()}), "type: <class 'ValueError'>, value: ValueError('bad index')"),
    (([ItemFails()], [], {0: 1}), "type: <class 'ZeroDivisionError'>, value: ZeroDivisionError('integer division or modulo by zero')"),
])
def test_error_raised_by_python_code_shows_its_traceback(args, cause):
    message = panic_text(lambda: EinsumSpec(*args))
    pattern = re.escape(f"{UNWRAP_ERR}PyErr {{ {cause}, traceback: Some(") + r"<traceback object at 0x[0-9a-f]+>\) \}"
    assert re.fullmatch(pattern, message), message


def test_failure_notice_on_stderr(capfd):
    capfd.readouterr()
    message = panic_text(lambda: EinsumSpec([[0]], [0], {0: -5}))
    err = capfd.readouterr().err
    # The notice names the source file inside the source tree, not the build machine's checkout.
    assert re.fullmatch(r"plenexa: internal failure at src/[a-z_/]+\.[ch]pp:\d+: (.*)\n", err).group(1) == message


# ---------------------------------------------------------------- a panic that crossed Python code

def test_resumed_panic_keeps_its_text(capfd):
    inner = panic_text(lambda: EinsumSpec([[-1]], [], {0: 1}))

    class Nested:
        def __index__(self):
            EinsumSpec([[-1]], [], {0: 1})
            return 0

    for outer in (lambda: EinsumSpec([[0]], [0], {0: Nested()}),
                  lambda: EinsumSpec([[Nested()]], [], {0: 1}),
                  lambda: EinsumSpec([[0]], [Nested()], {0: 1})):
        capfd.readouterr()
        assert panic_text(outer) == inner
        err = capfd.readouterr().err
        lines = err.splitlines()
        assert "Python stack trace below:" in lines
        notice = lines.index("Python stack trace below:") - 1
        assert lines[notice].startswith("---") and lines[notice].endswith("---")
        assert "PanicException" in lines[notice]
        assert "Traceback (most recent call last):" in err
        assert "in __index__" in err
        assert EinsumSpec([[0]], [0], {0: 1}).validate() is True


def test_resumed_panic_without_text_value():
    cls = type(first_panic())

    class RaisesPanic:
        def __index__(self):
            raise cls(42)

    assert panic_text(lambda: EinsumSpec([[0]], [0], {0: RaisesPanic()})) == "Unwrapped panic from Python code"


def test_instance_usable_after_its_method_panicked():
    spec = EinsumSpec([[0, i] for i in range(64)], [], {i: 2 for i in range(64)})
    for _ in range(3):
        panic_text(spec.optimize_dp, "store bitmaps as usize, so can only have 64 per subgraph")
    assert spec.validate() is True
    assert spec.int_sizes == [2] * 64 and spec.input_ints[63] == [0, 63]
    assert len(EinsumSpec([[i] for i in range(3)], [], {0: 2, 1: 2, 2: 2}).optimize_dp()) == 2
