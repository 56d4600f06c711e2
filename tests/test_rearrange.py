"""RearrangeSpec: construction, attributes, predicates, shapes, repr and einops patterns."""

import numpy as np
import pytest

from conftest import UNWRAP_ERR, oob, raises_panic
from plenexa import RearrangeSpec

ALL_ONES = 2**64 - 1


def err_text(exc):
    """How a conversion error is rendered inside a panic text."""
    return f"{UNWRAP_ERR}PyErr {{ type: {type(exc)!r}, value: {exc!r}, traceback: None }}"


NEGATIVE = OverflowError("can't convert negative int to unsigned")
TOO_BIG = OverflowError("int too big to convert")
NOT_SEQUENCE = TypeError("'int' object cannot be converted to 'Sequence'")


def not_an_int(name):
    return TypeError(f"'{name}' object cannot be interpreted as an integer")


def fields(spec):
    return spec.input_ints, spec.output_ints, spec.int_sizes


# --- construction -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, message",
    [
        (((0,), [], []), "argument 'input_ints': 'tuple' object cannot be converted to 'PyList'"),
        # every argument's type is checked before any contents are converted
        (([[-1]], (), []), "argument 'output_ints': 'tuple' object cannot be converted to 'PyList'"),
        (([[-1]], [[1.5]], {0: 1}), "argument 'int_sizes': 'dict' object cannot be converted to 'PyList'"),
        (([], [], None), "argument 'int_sizes': 'NoneType' object cannot be converted to 'PyList'"),
    ],
)
def test_constructor_requires_lists(args, message):
    with pytest.raises(TypeError) as info:
        RearrangeSpec(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, error",
    [
        (([[-1]], [], []), NEGATIVE),
        (([[0]], [[2**64]], []), TOO_BIG),
        (([], [], [1, -5]), NEGATIVE),
        (([5], [], []), NOT_SEQUENCE),
        (([[1.5]], [], []), not_an_int("float")),
        ((["12"], [], []), not_an_int("str")),
        # the first failing argument in parameter order decides
        (([[0]], [[-1]], [1.5]), NEGATIVE),
        (([[None]], [[-1]], [-1]), not_an_int("NoneType")),
    ],
)
def test_constructor_content_failures_panic(args, error):
    with raises_panic(err_text(error)):
        RearrangeSpec(*args)


def test_constructor_accepts_any_inner_sequence_and_list_subclasses():
    class MyList(list):
        pass

    spec = RearrangeSpec(MyList([(0, 1), range(2, 4), b"\x04"]), [[True]], MyList([ALL_ONES, np.int64(3)]))
    assert fields(spec) == ([[0, 1], [2, 3], [4]], [[1]], [ALL_ONES, 3])
    spec = RearrangeSpec(int_sizes=[2], output_ints=[[0]], input_ints=[[0]])
    assert fields(spec) == ([[0]], [[0]], [2])


# --- attributes --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attr, value, stored",
    [
        ("input_ints", ((0, 1),), [[0, 1]]),
        ("input_ints", [], []),
        ("output_ints", [range(3), b"\x05", ()], [[0, 1, 2], [5], []]),
        ("int_sizes", (4, 5), [4, 5]),
        ("int_sizes", range(2, 5), [2, 3, 4]),
        ("int_sizes", b"\x02\x03", [2, 3]),
        ("int_sizes", np.array([3, 4]), [3, 4]),
        ("int_sizes", [ALL_ONES, 0], [ALL_ONES, 0]),
    ],
)
def test_setters_accept_any_sequence(attr, value, stored):
    spec = RearrangeSpec([[0]], [[0]], [2])
    setattr(spec, attr, value)
    assert getattr(spec, attr) == stored
    assert type(getattr(spec, attr)) is list


class FailingSequence:
    """A sequence whose iteration fails after the first item."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return 1
        raise ValueError("second item is broken")


@pytest.mark.parametrize(
    "attr, value, error",
    [
        ("int_sizes", 5, NOT_SEQUENCE),
        ("int_sizes", "23", not_an_int("str")),
        ("int_sizes", [1, -1], NEGATIVE),
        ("int_sizes", [2**64], TOO_BIG),
        ("int_sizes", FailingSequence(), ValueError("second item is broken")),
        ("input_ints", [[0], 1], NOT_SEQUENCE),
        ("input_ints", None, TypeError("'NoneType' object cannot be converted to 'Sequence'")),
        ("input_ints", {0: [1]}, TypeError("'dict' object cannot be converted to 'Sequence'")),
        ("output_ints", [[0, 1.0]], not_an_int("float")),
        ("output_ints", [[0], [-2]], NEGATIVE),
    ],
)
def test_failed_setter_keeps_old_value(attr, value, error):
    spec = RearrangeSpec([[0, 1]], [[1], [0]], [2, 3])
    before = repr(spec)
    with pytest.raises(type(error)) as info:
        setattr(spec, attr, value)
    assert type(info.value) is type(error)
    assert str(info.value) == str(error)
    assert repr(spec) == before
    assert spec.shapes() == ([6], [3, 2])


@pytest.mark.parametrize("attr", ["input_ints", "output_ints", "int_sizes"])
def test_attributes_cannot_be_deleted(attr):
    spec = RearrangeSpec([[0]], [[0]], [2])
    before = getattr(spec, attr)
    with pytest.raises(AttributeError) as info:
        delattr(spec, attr)
    assert str(info.value) == "can't delete attribute"
    assert getattr(spec, attr) == before


def test_getters_return_fresh_copies():
    spec = RearrangeSpec([[0, 1]], [[1, 0]], [2, 3])
    assert spec.int_sizes is not spec.int_sizes
    spec.int_sizes.append(9)
    spec.input_ints[0].append(7)
    groups = spec.output_ints
    groups.append([5])
    assert fields(spec) == ([[0, 1]], [[1, 0]], [2, 3])


def test_value_semantics_of_setters():
    # The stored value is a copy: changing the assigned list afterwards does not reach the spec.
    spec = RearrangeSpec([], [], [])
    sizes = [1, 2]
    spec.int_sizes = sizes
    sizes.append(3)
    assert spec.int_sizes == [1, 2]


# --- predicates and shapes --------------------------------------------------------------------


@pytest.mark.parametrize(
    "inp, out, sizes, identity, permute, valid",
    [
        ([], [], [], True, True, True),
        ([[0], [1]], [[1], [0]], [2, 3], False, True, True),
        ([[0], [1]], [[1], [0]], [1, 1], True, True, True),
        ([[0], [1]], [[0]], [2, 1], False, False, True),
        ([[0, 1]], [[0], [1]], [2, 3], False, False, True),
        ([[0, 1]], [[1, 0]], [2, 3], False, False, True),
        ([[0], [0]], [[0]], [2], False, True, False),
        ([[1]], [[1], [1]], [2, 3], False, True, False),
        ([[0], []], [[0], []], [2], True, True, False),
        ([[0]], [[]], [2], False, False, False),
        ([[0, 2]], [[0, 2]], [5, 6, 7], True, True, True),
        # size-1 axes are interchangeable with each other, but never dropped
        ([[0, 1], [2]], [[0, 2], [1]], [4, 1, 1], True, False, True),
    ],
)
def test_predicates(inp, out, sizes, identity, permute, valid):
    spec = RearrangeSpec(inp, out, sizes)
    assert spec.is_identity() is identity
    assert spec.is_permute() is permute
    assert spec.is_valid() is valid


def test_predicates_that_do_not_read_sizes():
    # ids beyond the size table neither fail nor invalidate these two
    spec = RearrangeSpec([[7], [8, 9]], [[8, 9], [7]], [])
    assert spec.is_permute() is True
    assert spec.is_valid() is True


@pytest.mark.parametrize(
    "inp, out, in_ids, out_ids",
    [
        ([], [], set(), set()),
        ([[3, 1], [1, 0], []], [[0], [5, 3]], {0, 1, 3}, {0, 3, 5}),
        ([[ALL_ONES]], [[]], {ALL_ONES}, set()),
    ],
)
def test_id_sets(inp, out, in_ids, out_ids):
    spec = RearrangeSpec(inp, out, [])
    assert type(spec.ints_in_inp()) is set
    assert (spec.ints_in_inp(), spec.ints_in_out()) == (in_ids, out_ids)


@pytest.mark.parametrize(
    "inp, out, sizes, shapes",
    [
        ([], [], [], ([], [])),
        ([[0, 1], []], [[1], [0]], [2, 3], ([6, 1], [3, 2])),
        ([[0, 1]], [[0], [0, 1]], [2**32, 2**32], ([0], [2**32, 0])),
        ([[0, 0, 0]], [[0]], [2**32 + 1], ([(2**32 + 1) ** 3 % 2**64], [2**32 + 1])),
    ],
)
def test_shapes(inp, out, sizes, shapes):
    result = RearrangeSpec(inp, out, sizes).shapes()
    assert type(result) is tuple
    assert result == shapes


@pytest.mark.parametrize(
    "method, inp, out, sizes, text",
    [
        ("shapes", [[5]], [], [2, 3], oob(2, 5)),
        # input side before output side, ids in order
        ("shapes", [[0], [8]], [[9]], [2], oob(1, 8)),
        ("shapes", [[0]], [[9, 4]], [2], oob(1, 9)),
        ("is_identity", [[3]], [[4]], [2], oob(1, 3)),
        # both sides are looked up even when their group counts already differ
        ("is_identity", [[0]], [[0], [4]], [2], oob(1, 4)),
    ],
)
def test_size_lookups_beyond_the_table_panic(method, inp, out, sizes, text):
    spec = RearrangeSpec(inp, out, sizes)
    with raises_panic(text):
        getattr(spec, method)()
    # the instance is unchanged and usable again once the sizes cover every id
    assert fields(spec) == (inp, out, sizes)
    spec.int_sizes = [1] * 10
    getattr(spec, method)()


@pytest.mark.parametrize(
    "method",
    ["ints_in_inp", "ints_in_out", "is_identity", "is_permute", "is_valid", "shapes",
     "to_einops_string", "to_einops_string_and_letter_sizes"],
)
def test_queries_take_no_arguments(method):
    spec = RearrangeSpec([[0]], [[0]], [2])
    with pytest.raises(TypeError):
        getattr(spec, method)(1)


@pytest.mark.parametrize(
    "inp, out, sizes, text",
    [
        ([], [], [], "RearrangeSpec { input_ints: [], output_ints: [], int_sizes: [] }"),
        ([[0, 1], [2]], [[2], [0, 1]], [2, 3, 4],
         "RearrangeSpec { input_ints: [[0, 1], [2]], output_ints: [[2], [0, 1]], int_sizes: [2, 3, 4] }"),
        ([[]], [[ALL_ONES]], [0],
         "RearrangeSpec { input_ints: [[]], output_ints: [[18446744073709551615]], int_sizes: [0] }"),
    ],
)
def test_repr(inp, out, sizes, text):
    spec = RearrangeSpec(inp, out, sizes)
    assert repr(spec) == text
    assert str(spec) == text


# --- einops patterns -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "inp, out, sizes, pattern, letters",
    [
        ([], [], [], " -> ", []),
        ([[0], [1, 2]], [[1], [0], [2, 3]], [4, 5, 6, 7], "a (b c) -> b a (c 7)", [("b", 5), ("c", 6)]),
        ([[0]], [[0], [1]], [2, 3], "a -> a 3", []),
        ([[0], [1]], [[0]], [3, 1], "a 1 -> a", []),
        ([[0]], [[0]], [], "a -> a", []),
        ([[0, 1], [2]], [[2], [0, 1]], [2, 3, 4], "(a b) c -> c (a b)", [("a", 2), ("b", 3)]),
        # an id only in a composite input group is written as its size, yet listed under its letter
        ([[0, 1]], [[0], []], [2, 3], "(a 3) -> a ()", [("a", 2), ("b", 3)]),
        # letter sizes in order of first appearance in the input groups, each id once
        ([[2, 1, 2], [1, 0]], [[0, 1, 2]], [4, 5, 6], "(c b c) (b a) -> (a b c)", [("c", 6), ("b", 5), ("a", 4)]),
        ([[24], [25], [49]], [[49, 25, 24]], [], "y A Y -> (Y A y)", []),
    ],
)
def test_einops_strings(inp, out, sizes, pattern, letters):
    spec = RearrangeSpec(inp, out, sizes)
    assert spec.to_einops_string() == pattern
    result = spec.to_einops_string_and_letter_sizes()
    assert type(result) is tuple and type(result[1]) is list
    assert result == (pattern, letters)
    assert all(type(pair) is tuple for pair in result[1])


@pytest.mark.parametrize(
    "inp, out, sizes, pattern_text, letters_text",
    [
        # id 50 on both sides has no letter
        ([[50]], [[50]], [], oob(50, 50), oob(50, 50)),
        # a one-sided id needs a size; the input side is rendered first
        ([[4], [0]], [[0], [9]], [1], oob(1, 4), oob(1, 4)),
        ([[0]], [[0], [9]], [1], oob(1, 9), oob(1, 9)),
        # letter sizes are computed before the pattern
        ([[7], [0, 1]], [[0]], [2], oob(1, 7), oob(1, 1)),
        # within one letter-sized id, the letter is checked before the size
        ([[0, 50]], [[0]], [1], oob(1, 50), oob(50, 50)),
        # a letter-sized id needs a size even where the pattern writes its letter
        ([[0, 1]], [[1, 0]], [2], None, oob(1, 1)),
    ],
)
def test_einops_string_failures(inp, out, sizes, pattern_text, letters_text):
    spec = RearrangeSpec(inp, out, sizes)
    if pattern_text is None:
        assert spec.to_einops_string() == "(a b) -> (b a)"
    else:
        with raises_panic(pattern_text):
            spec.to_einops_string()
    with raises_panic(letters_text):
        spec.to_einops_string_and_letter_sizes()
    assert fields(spec) == (inp, out, sizes)
