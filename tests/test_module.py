"""Shape of the module and of its two classes."""
import importlib
import sys
import weakref

import pytest

import plenexa
from plenexa import EinsumSpec, RearrangeSpec

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

EINSUM_MEMBERS = [  # methods in table order, then the attributes
    "ints_in_input", "validate", "shapes", "normalize", "flops", "to_einsum_string", "optimize_dp",
    "input_ints", "output_ints", "int_sizes",
]
REARRANGE_MEMBERS = [
    "ints_in_inp", "ints_in_out", "is_identity", "is_permute", "shapes", "is_valid",
    "to_einops_string", "to_einops_string_and_letter_sizes", "apply",
    "input_ints", "output_ints", "int_sizes",
]
ATTRIBUTES = {"input_ints", "output_ints", "int_sizes"}

has_rearrange_new = "input_ints" in RearrangeSpec.__dict__
needs_rearrange = pytest.mark.skipif(not has_rearrange_new, reason="RearrangeSpec members not built yet")


def einsum():
    return EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4})


def rearrange():
    return RearrangeSpec([[0], [1, 2]], [[1, 2], [0]], [5, 3, 4])


def test_module_namespace():
    assert type(plenexa.__all__) is list
    assert plenexa.__all__ == ["EinsumSpec", "RearrangeSpec"]
    assert {n for n in vars(plenexa) if not n.startswith("__")} == {"EinsumSpec", "RearrangeSpec"}
    assert isinstance(plenexa.__doc__, str) and plenexa.__doc__.strip()
    assert plenexa.__name__ == "plenexa"
    namespace = {}
    exec("from plenexa import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"EinsumSpec", "RearrangeSpec"}
    assert sys.modules["plenexa"] is importlib.import_module("plenexa")


@pytest.mark.parametrize("cls, name", [(EinsumSpec, "EinsumSpec"), (RearrangeSpec, "RearrangeSpec")])
def test_class_shape(cls, name):
    assert getattr(plenexa, name) is cls
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert cls.__doc__ in (None, "")
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert "__init__" not in cls.__dict__
    assert "__new__" in cls.__dict__
    for special in ("__eq__", "__lt__", "__hash__", "__str__", "__iter__", "__reduce__", "__call__"):
        assert special not in cls.__dict__, special
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls, full", [(EinsumSpec, EINSUM_MEMBERS), (RearrangeSpec, REARRANGE_MEMBERS)])
def test_member_tables(cls, full):
    public = [n for n in cls.__dict__ if not n.startswith("__")]
    # Every member is a real one, and they appear in table order (the table grows as members land).
    assert [n for n in full if n in public] == public
    for n in public:
        kind = "getset_descriptor" if n in ATTRIBUTES else "method_descriptor"
        assert type(cls.__dict__[n]).__name__ == kind, n
        if n not in ("optimize_dp", "apply"):
            assert cls.__dict__[n].__doc__ in (None, ""), n


def test_einsum_has_its_record_members():
    assert {"validate", "input_ints", "output_ints", "int_sizes"} <= set(EinsumSpec.__dict__)


@pytest.mark.skipif("optimize_dp" not in EinsumSpec.__dict__, reason="optimize_dp not built yet")
def test_optimize_dp_docstring():
    lines = EinsumSpec.optimize_dp.__doc__.splitlines()
    assert len(lines) == 3
    assert lines[0].startswith("based on opt_einsum's dynamic programming algorithm ")
    assert lines[0].split(" ")[-1].startswith("http")
    assert lines[1] == ("with one major added feature to bound runtime in the worst case: "
                        "a cap on the number of held contractions with the same number of tensors")
    assert lines[2] == "so that we never have to fallback to another algorithm"


@pytest.mark.skipif("apply" not in RearrangeSpec.__dict__, reason="apply not built yet")
def test_apply_docstring():
    assert RearrangeSpec.apply.__doc__ == "apply rearrange to tensor"
    assert rearrange().apply.__doc__ == "apply rearrange to tensor"


def make_instances():
    yield einsum()
    if has_rearrange_new:
        yield rearrange()


@pytest.mark.parametrize("spec", list(make_instances()), ids=lambda s: type(s).__name__)
def test_instances_have_no_dict_and_no_weakref(spec):
    assert not hasattr(spec, "__dict__")
    with pytest.raises(AttributeError):
        spec.unknown = 1
    with pytest.raises(AttributeError):
        spec.__dict__ = {}
    with pytest.raises(TypeError):
        weakref.ref(spec)
    assert not hasattr(spec, "unknown")


@pytest.mark.parametrize("spec", list(make_instances()), ids=lambda s: type(s).__name__)
def test_str_repr_equality_and_hash(spec):
    assert str(spec) == repr(spec)
    twin = type(spec)(spec.input_ints, spec.output_ints,
                      dict(enumerate(spec.int_sizes)) if isinstance(spec, EinsumSpec) else spec.int_sizes)
    assert repr(twin) == repr(spec)
    assert spec == spec and twin != spec and not (twin == spec)
    assert hash(spec) == object.__hash__(spec) and hash(twin) == object.__hash__(twin)
    assert len({spec, twin}) == 2
    with pytest.raises(TypeError):
        spec < twin  # noqa: B015


@pytest.mark.parametrize("name", sorted(ATTRIBUTES))
def test_einsum_attributes_are_read_only(name):
    spec = einsum()
    before = repr(spec)
    with pytest.raises(AttributeError):
        setattr(spec, name, [0])
    with pytest.raises(AttributeError):
        delattr(spec, name)
    assert repr(spec) == before


@needs_rearrange
def test_rearrange_attributes_are_writable():
    spec = rearrange()
    spec.input_ints = [[1, 0]]
    assert spec.input_ints == [[1, 0]]


def test_class_cannot_be_called_through_type_new_with_wrong_type():
    with pytest.raises(TypeError):
        EinsumSpec.__new__(RearrangeSpec, [], [], {})
    with pytest.raises(TypeError):
        EinsumSpec.__new__(int, [], [], {})
