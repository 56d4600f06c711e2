"""Shape of the module and of its two classes."""
import weakref

import pytest

import plenexa
from plenexa import EinsumSpec, RearrangeSpec

Py_TPFLAGS_BASETYPE, Py_TPFLAGS_HAVE_GC = 1 << 10, 1 << 14
ATTRIBUTES = ["input_ints", "output_ints", "int_sizes"]
MEMBERS = {  # methods in table order, then the attributes
    EinsumSpec: ["ints_in_input", "validate", "shapes", "normalize", "flops", "to_einsum_string", "optimize_dp",
                 *ATTRIBUTES],
    RearrangeSpec: ["ints_in_inp", "ints_in_out", "is_identity", "is_permute", "shapes", "is_valid",
                    "to_einops_string", "to_einops_string_and_letter_sizes", "apply", *ATTRIBUTES],
}


def instances():
    return [EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}),
            RearrangeSpec([[0], [1, 2]], [[1, 2], [0]], [5, 3, 4])]


def test_module_namespace():
    assert type(plenexa.__all__) is list and plenexa.__all__ == ["EinsumSpec", "RearrangeSpec"]
    assert {n for n in vars(plenexa) if not n.startswith("__")} == {"EinsumSpec", "RearrangeSpec"}
    assert isinstance(plenexa.__doc__, str) and plenexa.__doc__.strip()
    namespace = {}
    exec("from plenexa import *", namespace)
    assert set(namespace) - {"__builtins__"} == {"EinsumSpec", "RearrangeSpec"}


@pytest.mark.parametrize("cls", [EinsumSpec, RearrangeSpec], ids=lambda c: c.__name__)
def test_class_shape(cls):
    name = cls.__name__
    assert getattr(plenexa, name) is cls and name in ("EinsumSpec", "RearrangeSpec")
    assert cls.__module__ == "builtins" and cls.__qualname__ == name
    assert cls.__bases__ == (object,) and cls.__doc__ in (None, "")
    assert not cls.__flags__ & (Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    assert "__new__" in cls.__dict__
    for special in ("__init__", "__eq__", "__lt__", "__hash__", "__str__", "__iter__", "__reduce__", "__call__"):
        assert special not in cls.__dict__, special
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    # Every public member is a real one, listed in table order.
    public = [n for n in cls.__dict__ if not n.startswith("__")]
    assert public == MEMBERS[cls]
    for n in public:
        kind = "getset_descriptor" if n in ATTRIBUTES else "method_descriptor"
        assert type(cls.__dict__[n]).__name__ == kind, n
        if n not in ("optimize_dp", "apply"):
            assert cls.__dict__[n].__doc__ in (None, ""), n


def test_member_docstrings():
    lines = EinsumSpec.optimize_dp.__doc__.splitlines()
    assert len(lines) == 3
    assert lines[0].startswith("based on opt_einsum's dynamic programming algorithm http")
    assert lines[1] == ("with one major added feature to bound runtime in the worst case: "
                        "a cap on the number of held contractions with the same number of tensors")
    assert lines[2] == "so that we never have to fallback to another algorithm"
    assert RearrangeSpec.apply.__doc__ == "apply rearrange to tensor"


@pytest.mark.parametrize("spec", instances(), ids=lambda s: type(s).__name__)
def test_instances(spec):
    assert not hasattr(spec, "__dict__")
    with pytest.raises(AttributeError):
        spec.unknown = 1
    with pytest.raises(TypeError):
        weakref.ref(spec)
    assert str(spec) == repr(spec)
    sizes = spec.int_sizes if isinstance(spec, RearrangeSpec) else dict(enumerate(spec.int_sizes))
    twin = type(spec)(spec.input_ints, spec.output_ints, sizes)
    assert repr(twin) == repr(spec)
    assert spec == spec and twin != spec and not (twin == spec)
    assert hash(spec) == object.__hash__(spec) and len({spec, twin}) == 2
    with pytest.raises(TypeError):
        spec < twin  # noqa: B015


@pytest.mark.parametrize("name", ATTRIBUTES)
def test_einsum_attributes_are_read_only_and_rearrange_ones_writable(name):
    einsum, rearrange = instances()
    before = repr(einsum)
    with pytest.raises(AttributeError):
        setattr(einsum, name, [0])
    with pytest.raises(AttributeError):
        delattr(einsum, name)
    assert repr(einsum) == before
    setattr(rearrange, name, [[1, 0]] if name != "int_sizes" else [7])
    assert getattr(rearrange, name) == ([[1, 0]] if name != "int_sizes" else [7])
