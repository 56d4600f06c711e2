"""EinsumSpec queries, renumbering and einsum strings."""

import numpy as np
import pytest

from conftest import oob, raises_panic
from plenexa import EinsumSpec

ALL_ONES = 2**64 - 1


@pytest.mark.parametrize(
    "inputs, output, sizes, flops",
    [
        ([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}, 40),
        ([[0, 1]], [0], {0: 2, 1: 3}, 4),
        ([[0, 1]], [1, 0], {0: 2, 1: 3}, 0),
        ([[0], [1]], [0, 1], {0: 2, 1: 3}, 6),
        ([[0], [0]], [], {0: 5}, 9),
        ([[0]], [0, 0], {0: 3}, 0),
        ([[0], []], [0], {0: 4}, 4),
        ([[]], [], {}, 0),
        # n - 1 wraps for a spec without inputs
        ([], [], {}, ALL_ONES),
        # summed = 2**64 wraps to 0, so out * (0 - 1) = all ones
        ([[0, 1]], [], {0: 2**32, 1: 2**32}, ALL_ONES),
        # full = 2**64 wraps to 0: only the additions are left, out * (summed - 1) = 2**32 * 1
        ([[0, 1], [1]], [0], {0: 2**32, 1: 2**32}, (2**32 * (2**32 - 1)) % 2**64),
        # ids without inputs play no part, even with a huge size
        ([[0]], [], {0: 7, 5: ALL_ONES}, 6),
    ],
)
def test_flops(inputs, output, sizes, flops):
    assert EinsumSpec(inputs, output, sizes).flops() == flops


@pytest.mark.parametrize(
    "inputs, output, sizes, ids, shapes",
    [
        ([], [], {}, set(), ([], [])),
        ([[]], [], {}, set(), ([[]], [])),
        ([[0, 0], [0, 1]], [1], {0: 2, 1: 3}, {0, 1}, ([[2, 2], [2, 3]], [3])),
        ([[0], []], [0], {0: 4}, {0}, ([[4], []], [4])),
        ([[0]], [0, 0], {0: 3}, {0}, ([[3]], [3, 3])),
        ([[9, 2], [2]], [9], {2: 5, 9: ALL_ONES, 4: 1}, {9, 2}, ([[ALL_ONES, 5], [5]], [ALL_ONES])),
    ],
)
def test_ints_in_input_and_shapes(inputs, output, sizes, ids, shapes):
    spec = EinsumSpec(inputs, output, sizes)
    assert type(spec.ints_in_input()) is set
    assert spec.ints_in_input() == ids
    result = spec.shapes()
    assert type(result) is tuple
    assert result == shapes


def test_query_results_are_fresh_objects():
    spec = EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4})
    ids = spec.ints_in_input()
    ids.add(99)
    ins, out = spec.shapes()
    ins[0].append(7)
    out.clear()
    assert spec.ints_in_input() == {0, 1, 2}
    assert spec.shapes() == ([[2, 3], [3, 4]], [2, 4])
    assert spec.ints_in_input() is not spec.ints_in_input()


@pytest.mark.parametrize("method", ["ints_in_input", "shapes", "flops", "normalize", "to_einsum_string"])
def test_queries_take_no_arguments(method):
    spec = EinsumSpec([[0]], [0], {0: 2})
    with pytest.raises(TypeError):
        getattr(spec, method)(1)


@pytest.mark.parametrize(
    "inputs, output, sizes, text",
    [
        ([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}, "ab,bc->ac"),
        ([[0, 1], [1, 2]], [], {0: 2, 1: 3, 2: 4}, "ab,bc->"),
        ([], [], {}, "->"),
        ([[]], [], {}, "->"),
        ([[], []], [], {}, ",->"),
        ([[0, 0]], [0], {0: 2}, "aa->a"),
        ([[24, 25, 49]], [49], {24: 1, 25: 1, 49: 1}, "yAY->Y"),
        ([[7, 3], [3, 9]], [7, 9], {3: 5, 7: 2, 9: 4}, "hd,dj->hj"),
    ],
)
def test_to_einsum_string(inputs, output, sizes, text):
    assert EinsumSpec(inputs, output, sizes).to_einsum_string() == text


@pytest.mark.parametrize(
    "inputs, output, bad",
    [
        ([[0, 50]], [0], 50),
        # the input side is looked up before the output side
        ([[0, 51], [70]], [70, 51], 51),
        ([[0], [1000]], [1000], 1000),
    ],
)
def test_to_einsum_string_without_letter_panics(inputs, output, bad):
    sizes = {i: 2 for group in inputs for i in group}
    spec = EinsumSpec(inputs, output, sizes)
    with raises_panic(oob(50, bad)):
        spec.to_einsum_string()
    # the spec is untouched and still usable; renumbering gives it letters
    assert spec.input_ints == inputs
    assert spec.normalize().to_einsum_string().startswith("a")


@pytest.mark.parametrize(
    "inputs, output, sizes, new_inputs, new_output, new_sizes, text",
    [
        ([[7, 3], [3, 9]], [7, 9], {3: 5, 7: 2, 9: 4}, [[0, 1], [1, 2]], [0, 2], [2, 5, 4], "ab,bc->ac"),
        ([], [], {}, [], [], [0], "->"),
        ([[], []], [], {3: 4}, [[], []], [], [0], ",->"),
        ([[5]], [5], {5: 3, 9: 4}, [[0]], [0], [3], "a->a"),
        ([[0, 50]], [0], {0: 2, 50: 6}, [[0, 1]], [0], [2, 6], "ab->a"),
        # repeats keep their first number; the output takes no part in the numbering
        ([[4, 4, 1], [1, 8]], [8, 8, 4], {1: 3, 4: 2, 8: 9}, [[0, 0, 1], [1, 2]], [2, 2, 0], [2, 3, 9], "aab,bc->cca"),
    ],
)
def test_normalize(inputs, output, sizes, new_inputs, new_output, new_sizes, text):
    spec = EinsumSpec(inputs, output, sizes)
    before = repr(spec)
    norm = spec.normalize()
    assert type(norm) is EinsumSpec
    assert norm is not spec
    assert (norm.input_ints, norm.output_ints, norm.int_sizes) == (new_inputs, new_output, new_sizes)
    assert norm.to_einsum_string() == text
    assert repr(spec) == before
    again = norm.normalize()
    assert repr(again) == repr(norm)
    assert again.validate()


def test_normalize_many_ids():
    # 60 distinct ids normalise fine, but only 50 of them have letters.
    ids = list(range(1000, 1060))
    spec = EinsumSpec([ids], [], {i: 2 for i in ids})
    norm = spec.normalize()
    assert norm.input_ints == [list(range(60))]
    assert norm.int_sizes == [2] * 60
    with raises_panic(oob(50, 50)):
        norm.to_einsum_string()


def test_einsum_string_and_shapes_agree_with_numpy():
    spec = EinsumSpec([[7, 3, 3], [3, 9], [9, 1]], [1, 7], {1: 2, 3: 3, 7: 4, 9: 5}).normalize()
    in_shapes, out_shape = spec.shapes()
    rng = np.random.default_rng(0)
    operands = [rng.random(shape) for shape in in_shapes]
    result = np.einsum(spec.to_einsum_string(), *operands)
    assert list(result.shape) == out_shape
