"""RearrangeSpec.apply: real einops on numpy (and torch, when present) and a stand-in einops."""

import sys
import types

import numpy as np
import pytest

from conftest import UNWRAP_ERR, oob, raises_panic
from plenexa import EinsumSpec, RearrangeSpec

# --- against the real einops -----------------------------------------------------------------------


def permutation(x):
    return np.transpose(x, (2, 0, 1))


def merge_and_split(x):
    return x.reshape(2, 3, 4).reshape(2, 12)


def new_axis(x):
    return np.broadcast_to(x[:, None, :], (2, 5, 3))


def identity(x):
    return x


# (input_ints, output_ints, int_sizes, input shape, numpy reference)
CASES = {
    "permutation": ([[0], [1], [2]], [[2], [0], [1]], [2, 3, 4], (2, 3, 4), permutation),
    "merge and split": ([[0, 1], [2]], [[0], [1, 2]], [2, 3, 4], (6, 4), merge_and_split),
    "repeat new axis": ([[0], [1]], [[0], [2], [1]], [2, 3, 5], (2, 3), new_axis),
    "identity": ([[0], [1]], [[0], [1]], [2, 3], (2, 3), identity),
}


@pytest.fixture(params=["numpy", "torch"])
def backend(request):
    """Converts numpy arrays to the tensor type under test and back."""
    if request.param == "numpy":
        return np.asarray, np.asarray
    torch = pytest.importorskip("torch")
    return torch.from_numpy, lambda t: t.detach().cpu().numpy()


@pytest.mark.parametrize("name", list(CASES))
def test_apply_with_einops(name, backend):
    pytest.importorskip("einops")
    inp, out, sizes, shape, reference = CASES[name]
    to_tensor, to_numpy = backend
    x = np.arange(np.prod(shape), dtype=np.float64).reshape(shape)
    spec = RearrangeSpec(inp, out, sizes)
    result = spec.apply(to_tensor(x))
    expected = reference(x)
    got = to_numpy(result)
    assert got.shape == expected.shape
    assert np.array_equal(got, expected)
    assert spec.shapes() == (list(shape), list(expected.shape))


def test_apply_by_keyword_with_einops():
    pytest.importorskip("einops")
    x = np.arange(6).reshape(2, 3)
    spec = RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])
    assert np.array_equal(spec.apply(tensor=x), x.T)


# --- against a stand-in einops ---------------------------------------------------------------------


@pytest.fixture
def fake_einops(monkeypatch):
    """Installs a stand-in `einops` whose `repeat` records its calls and runs `fake.action`."""
    module = types.ModuleType("einops")
    module.calls = []
    module.action = None

    def repeat(*args, **kwargs):
        module.calls.append((args, kwargs))
        if module.action is not None:
            return module.action(*args, **kwargs)
        return "repeat result"

    module.repeat = repeat
    monkeypatch.setitem(sys.modules, "einops", module)
    return module


def test_call_shape(fake_einops):
    tensor = object()
    spec = RearrangeSpec([[0], [1, 2]], [[1], [0], [2, 3]], [4, 5, 6, 7])
    assert spec.apply(tensor) == "repeat result"
    ((args, kwargs),) = fake_einops.calls
    assert len(args) == 2
    assert args[0] is tensor
    assert args[1] == "a (b c) -> b a (c 7)"
    assert kwargs == {"b": 5, "c": 6}


@pytest.mark.parametrize(
    "inp, out, sizes, pattern",
    [
        ([[0], [1]], [[1], [0]], [2, 3], "a b -> b a"),
        # is_valid is not consulted: an invalid spec is handed over like any other
        ([[0], [0]], [[0]], [2], "a a -> a"),
        ([], [], [], " -> "),
    ],
)
def test_empty_keywords(fake_einops, inp, out, sizes, pattern):
    result = RearrangeSpec(inp, out, sizes).apply(tensor=None)
    assert result == "repeat result"
    assert fake_einops.calls == [((None, pattern), {})]


def test_result_is_passed_through(fake_einops):
    sentinel = object()
    fake_einops.action = lambda *args, **kwargs: sentinel
    assert RearrangeSpec([[0]], [[0]], [1]).apply(1) is sentinel


def test_einops_is_imported_on_every_call(fake_einops, monkeypatch):
    spec = RearrangeSpec([[0]], [[0]], [1])
    spec.apply(1)
    other = types.ModuleType("einops")
    other.repeat = lambda *args, **kwargs: "second module"
    monkeypatch.setitem(sys.modules, "einops", other)
    assert spec.apply(1) == "second module"
    assert len(fake_einops.calls) == 1


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda spec: spec.apply(), "RearrangeSpec.apply() missing 1 required positional argument: 'tensor'"),
        (lambda spec: spec.apply(1, 2), "RearrangeSpec.apply() takes 1 positional arguments but 2 were given"),
        (lambda spec: spec.apply(1, tensor=2), "RearrangeSpec.apply() got multiple values for argument 'tensor'"),
        (lambda spec: spec.apply(x=2), "RearrangeSpec.apply() got an unexpected keyword argument 'x'"),
    ],
)
def test_argument_errors_come_first(fake_einops, call, message):
    with pytest.raises(TypeError) as info:
        call(RearrangeSpec([[0]], [[0]], [1]))
    assert str(info.value) == message
    assert fake_einops.calls == []


@pytest.mark.parametrize(
    "inp, out, sizes, text",
    [
        ([[50]], [[50]], [], oob(50, 50)),
        ([[7], [0, 1]], [[0]], [2], oob(1, 1)),
        ([[0]], [[0], [3]], [2], oob(1, 3)),
    ],
)
def test_pattern_failures_stop_before_einops(fake_einops, monkeypatch, inp, out, sizes, text):
    spec = RearrangeSpec(inp, out, sizes)
    with raises_panic(text):
        spec.apply(1)
    assert fake_einops.calls == []
    # not even the import is attempted
    monkeypatch.setitem(sys.modules, "einops", None)
    with raises_panic(text):
        spec.apply(1)


def test_missing_einops_panics(monkeypatch):
    monkeypatch.setitem(sys.modules, "einops", None)
    spec = RearrangeSpec([[0]], [[0]], [1])
    with raises_panic(prefix=UNWRAP_ERR + "PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(",
                      contains=["einops"]):
        spec.apply(1)
    assert spec.to_einops_string() == "a -> a"


def test_einops_without_repeat_panics(monkeypatch):
    monkeypatch.setitem(sys.modules, "einops", types.ModuleType("einops"))
    with raises_panic(prefix=UNWRAP_ERR + "PyErr { type: <class 'AttributeError'>, value: AttributeError(",
                      contains=["repeat"]):
        RearrangeSpec([[0]], [[0]], [1]).apply(1)


@pytest.mark.parametrize(
    "error",
    [ValueError("boom"), KeyError("b"), SystemExit(3), RuntimeError("Already borrowed")],
)
def test_exception_from_repeat_panics(fake_einops, error):
    def fail(*args, **kwargs):
        raise error

    fake_einops.action = fail
    spec = RearrangeSpec([[0]], [[0]], [1])
    with raises_panic(
        prefix=f"{UNWRAP_ERR}PyErr {{ type: {type(error)!r}, value: {error!r}, traceback: Some(<traceback object at ",
    ) as info:
        spec.apply(1)
    assert info.value.args[0].endswith(">) }")
    fake_einops.action = None
    assert spec.apply(2) == "repeat result"
    assert len(fake_einops.calls) == 2


# --- borrow conflicts ------------------------------------------------------------------------------


def test_setter_inside_repeat_is_refused(fake_einops):
    spec = RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])
    seen = []

    def reenter(tensor, pattern, **sizes):
        with pytest.raises(RuntimeError) as info:
            spec.int_sizes = [7, 7]
        seen.append(str(info.value))
        with pytest.raises(RuntimeError) as info:
            del spec.input_ints
        seen.append(str(info.value))
        # shared borrows are fine while apply holds its own
        seen.append(spec.to_einops_string())
        return tensor

    fake_einops.action = reenter
    assert spec.apply("t") == "t"
    assert seen == ["Already borrowed", "Already borrowed", "a b -> b a"]
    # the borrow is released afterwards
    assert spec.int_sizes == [2, 3]
    spec.int_sizes = [4, 5]
    assert spec.shapes() == ([4, 5], [5, 4])


def test_getter_during_setter_conversion_is_refused():
    spec = RearrangeSpec([[0]], [[0]], [2])
    seen = []

    class Reentrant:
        def __index__(self):
            with pytest.raises(RuntimeError) as info:
                spec.input_ints
            seen.append(str(info.value))
            with pytest.raises(RuntimeError) as info:
                spec.output_ints = [[1]]
            seen.append(str(info.value))
            return 9

    spec.int_sizes = [Reentrant(), 3]
    assert seen == ["Already mutably borrowed", "Already borrowed"]
    assert spec.int_sizes == [9, 3]
    assert spec.output_ints == [[0]]


def test_borrow_error_during_setter_conversion_propagates():
    spec = RearrangeSpec([[0]], [[0]], [2])

    class Reentrant:
        def __index__(self):
            return len(spec.int_sizes)

    with pytest.raises(RuntimeError) as info:
        spec.input_ints = [[Reentrant()]]
    assert str(info.value) == "Already mutably borrowed"
    assert spec.input_ints == [[0]]
    spec.input_ints = [[1]]
    assert spec.input_ints == [[1]]


# --- panics crossing Python code -------------------------------------------------------------------


def test_panic_from_nested_call_is_resumed(fake_einops, capfd):
    nested = EinsumSpec([[0, 50]], [0], {0: 2, 50: 2})

    def panicking(*args, **kwargs):
        return nested.to_einsum_string()

    fake_einops.action = panicking
    spec = RearrangeSpec([[0]], [[0]], [1])
    capfd.readouterr()
    with raises_panic(oob(50, 50)):
        spec.apply(1)
    err = capfd.readouterr().err
    assert "Python stack trace below:" in err
    assert "panicking" in err  # the Python traceback follows the notice
    # the nested spec and the outer one are both fine afterwards
    assert nested.normalize().to_einsum_string() == "ab->a"
    assert spec.to_einops_string() == "a -> a"


def test_resumed_panic_without_text(fake_einops, capfd):
    with raises_panic() as caught:
        EinsumSpec([[50]], [], {50: 1}).to_einsum_string()
    panic_type = type(caught.value)

    def raise_bare(*args, **kwargs):
        raise panic_type(42)

    fake_einops.action = raise_bare
    with raises_panic("Unwrapped panic from Python code") as info:
        RearrangeSpec([[0]], [[0]], [1]).apply(1)
    # one class for every panic of the process
    assert type(info.value) is panic_type
    assert "Python stack trace below:" in capfd.readouterr().err
