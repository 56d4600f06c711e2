"""The call path into native code: argument binding, conversions, receiver checks and borrows."""
import ctypes
from collections import UserDict

import numpy as np
import pytest

from conftest import panic_text
from plenexa import EinsumSpec, RearrangeSpec

E_NEW, R_NEW, OPT, APPLY = ("EinsumSpec.__new__()", "RearrangeSpec.__new__()", "EinsumSpec.optimize_dp()",
                            "RearrangeSpec.apply()")


class Holder:
    class Inner:  # its __qualname__ ("Holder.Inner") differs from its __name__
        pass


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def raised(fn):
    with pytest.raises(BaseException) as info:
        fn()
    return info.value


def einsum():
    return EinsumSpec([[0]], [0], {0: 2})


def rearrange():
    return RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])


def constructor(cls, args, kwargs):
    """`cls(*args, **kwargs)`, a fast call, with the same call through `cls.__new__` (a tuple and a dict) beside it."""
    def call():
        return cls(*args, **kwargs)

    call.through_new = lambda: cls.__new__(cls, *args, **kwargs)
    return call


def e(*args, **kwargs):
    return constructor(EinsumSpec, args, kwargs)


def r(*args, **kwargs):
    return constructor(RearrangeSpec, args, kwargs)


def opt(*args, **kwargs):
    return lambda: einsum().optimize_dp(*args, **kwargs)


def app(*args, **kwargs):
    return lambda: rearrange().apply(*args, **kwargs)


MISSING3 = "missing 3 required positional arguments:"
ARGUMENT_ERRORS = [
    (e(), f"{E_NEW} {MISSING3} 'operand_ints', 'out_ints', and 'int_sizes'"),
    (lambda: EinsumSpec.__new__(EinsumSpec), f"{E_NEW} {MISSING3} 'operand_ints', 'out_ints', and 'int_sizes'"),
    (e([]), f"{E_NEW} missing 2 required positional arguments: 'out_ints' and 'int_sizes'"),
    (e(out_ints=[]), f"{E_NEW} missing 2 required positional arguments: 'operand_ints' and 'int_sizes'"),
    (e((), ()), f"{E_NEW} missing 1 required positional argument: 'int_sizes'"),
    (e([], int_sizes={}), f"{E_NEW} missing 1 required positional argument: 'out_ints'"),
    (e([], [], {}, 1), f"{E_NEW} takes 3 positional arguments but 4 were given"),
    (e(1, 2, 3, 4, 5, foo=1), f"{E_NEW} takes 3 positional arguments but 5 were given"),
    (e([], [], {}, int_sizes={}), f"{E_NEW} got multiple values for argument 'int_sizes'"),
    (e([], operand_ints=[], foo=1), f"{E_NEW} got multiple values for argument 'operand_ints'"),
    (e([], foo=1, operand_ints=[]), f"{E_NEW} got an unexpected keyword argument 'foo'"),
    (e(foo=1), f"{E_NEW} got an unexpected keyword argument 'foo'"),
    (e((), (), (), **{"é": 1}), f"{E_NEW} got an unexpected keyword argument 'é'"),
    (e(**{"\ud800": 1}), f"{E_NEW} got an unexpected keyword argument '\ud800'"),  # no UTF-8 form
    (r(), f"{R_NEW} {MISSING3} 'input_ints', 'output_ints', and 'int_sizes'"),
    (r(int_sizes=[]), f"{R_NEW} missing 2 required positional arguments: 'input_ints' and 'output_ints'"),
    (r([], [], [], []), f"{R_NEW} takes 3 positional arguments but 4 were given"),
    (r([], [], [], output_ints=[]), f"{R_NEW} got multiple values for argument 'output_ints'"),
    (r([], [], [], bar=[]), f"{R_NEW} got an unexpected keyword argument 'bar'"),
    (opt(None, None, None, None), f"{OPT} takes from 0 to 3 positional arguments but 4 were given"),
    (opt(True, check_outer_op=True), f"{OPT} got multiple values for argument 'check_outer_op'"),
    (opt(None, None, hash_map_cap_op=None, mem_cap_op=None), f"{OPT} got multiple values for argument 'mem_cap_op'"),
    (opt(check_outer_op=True, foo=1), f"{OPT} got an unexpected keyword argument 'foo'"),
    (opt(foo=1, check_outer_op=1), f"{OPT} got an unexpected keyword argument 'foo'"),
    (app(), f"{APPLY} missing 1 required positional argument: 'tensor'"),
    (app(1, 2), f"{APPLY} takes 1 positional arguments but 2 were given"),
    (app(1, tensor=2), f"{APPLY} got multiple values for argument 'tensor'"),
    (app(tensor=1, foo=2), f"{APPLY} got an unexpected keyword argument 'foo'"),
    # conversions, after binding, in parameter order
    (e((0,), [0], {0: 1}), "argument 'operand_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e([[0]], [0], [2]), "argument 'int_sizes': 'list' object cannot be converted to 'PyDict'"),
    (e([[-1]], (), {0: 1.5}), "argument 'out_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e(int_sizes=[], out_ints=(), operand_ints=[]), "argument 'out_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e(None, None, None), "argument 'operand_ints': 'NoneType' object cannot be converted to 'PyList'"),
    (e(Holder.Inner(), [], {}), "argument 'operand_ints': 'Holder.Inner' object cannot be converted to 'PyList'"),
    (e([], [], UserDict()), "argument 'int_sizes': 'UserDict' object cannot be converted to 'PyDict'"),
    (r([[0]], [[0]], {0: 2}), "argument 'int_sizes': 'dict' object cannot be converted to 'PyList'"),
    (r([[-1]], range(0), []), "argument 'output_ints': 'range' object cannot be converted to 'PyList'"),
    (opt(1), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(check_outer_op=0), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(np.True_), f"argument 'check_outer_op': '{np.True_.__class__.__qualname__}' object cannot be converted to 'PyBool'"),
    (opt(None, "7"), "argument 'mem_cap_op': 'str' object cannot be interpreted as an integer"),
    (opt(1, "x"), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(hash_map_cap_op="x", mem_cap_op=1.5), "argument 'mem_cap_op': 'float' object cannot be interpreted as an integer"),
    (opt(hash_map_cap_op=Idx(TypeError("boom"))), "argument 'hash_map_cap_op': boom"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS, ids=range(len(ARGUMENT_ERRORS)))
def test_argument_error_texts(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert exc.args == (message,)
    assert einsum().validate() is True  # nothing left pending


CONSTRUCTOR_ERRORS = [(call, message) for call, message in ARGUMENT_ERRORS if hasattr(call, "through_new")]


@pytest.mark.parametrize("call, message", CONSTRUCTOR_ERRORS, ids=range(len(CONSTRUCTOR_ERRORS)))
def test_argument_error_texts_through_new(call, message):
    exc = raised(call.through_new)
    assert type(exc) is TypeError
    assert exc.args == (message,)


@pytest.mark.parametrize(
    "cls, args",
    [(EinsumSpec, ([[0, 1], [1]], [0], {0: 2, 1: 3})), (RearrangeSpec, ([[0], [1]], [[1], [0]], [2, 3]))],
)
def test_new_builds_what_the_call_builds(cls, args):
    assert repr(cls.__new__(cls, *args)) == repr(cls(*args))


@pytest.mark.parametrize("qualname", [RuntimeError("no name"), 42])
def test_conversion_error_with_unreadable_type_name(qualname):
    class Meta(type):
        def __getattribute__(cls, name):
            if name != "__qualname__":
                return super().__getattribute__(name)
            if isinstance(qualname, BaseException):
                raise qualname
            return qualname

    exc = raised(e(Meta("Odd", (), {})(), [], {}))
    assert type(exc) is TypeError
    assert str(exc) == "argument 'operand_ints': '<failed to extract type name>' object cannot be converted to 'PyList'"
    assert einsum().validate() is True


# ---------------------------------------------------------------- unsigned and optional arguments

@pytest.mark.parametrize("kwargs", [
    dict(mem_cap_op=2**64 - 1, hash_map_cap_op=2**64 - 1), dict(mem_cap_op=Idx(5), hash_map_cap_op=Idx(2**64 - 1)),
    dict(mem_cap_op=np.uint64(2**64 - 1)), dict(mem_cap_op=True), dict(check_outer_op=True),
    dict(check_outer_op=False, mem_cap_op=None, hash_map_cap_op=None),
])
def test_optimize_arguments_accepted(kwargs):
    assert einsum().optimize_dp(**kwargs) == [[0]]


def test_none_is_absent():
    spec = EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], {0: 2, 1: 3, 2: 4, 3: 5})
    plain = spec.optimize_dp()
    assert plain in ([[0, 1], [0, 1]], [[1, 0], [0, 1]])
    assert spec.optimize_dp(None, None, None) == plain
    assert spec.optimize_dp(check_outer_op=None, mem_cap_op=None, hash_map_cap_op=None) == plain


@pytest.mark.parametrize("value", [-1, 2**64, -(2**70), Idx(-1)])
def test_overflow_passes_unprefixed(value):
    exc = raised(opt(mem_cap_op=value))
    assert type(exc) is OverflowError and not str(exc).startswith("argument")


class MyTypeError(TypeError):
    pass


@pytest.mark.parametrize("inner", [ValueError("v"), KeyError("k"), RuntimeError("r"), MyTypeError("mine")])
def test_errors_other_than_exact_type_error_pass_unchanged(inner):
    assert raised(opt(mem_cap_op=Idx(inner))) is inner


def test_prefix_keeps_the_inner_cause_only():
    cause = KeyError("root")

    class Chained:
        def __index__(self):
            raise TypeError("inner") from cause

    got = raised(opt(mem_cap_op=Chained()))
    assert type(got) is TypeError and str(got) == "argument 'mem_cap_op': inner"
    assert got.__cause__ is cause
    assert raised(opt(mem_cap_op=Idx(TypeError("plain")))).__cause__ is None


def test_prefix_over_unprintable_error_panics():
    class Unprintable:
        def __str__(self):
            raise RuntimeError("cannot print")

    panic_text(opt(mem_cap_op=Idx(TypeError(Unprintable()))), "a formatting trait implementation returned an error")
    assert einsum().optimize_dp() == [[0]]


# ---------------------------------------------------------------- receiver check
# The interpreter's descriptors check the receiver themselves; calling the members' C functions
# directly reaches the module's own check.

Py_tp_methods, Py_tp_repr, Py_tp_getset = 64, 66, 73


class PyMethodDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("meth", ctypes.c_void_p), ("flags", ctypes.c_int),
                ("doc", ctypes.c_char_p)]


class PyGetSetDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("get", ctypes.c_void_p), ("set", ctypes.c_void_p),
                ("doc", ctypes.c_char_p), ("closure", ctypes.c_void_p)]


_get_slot = ctypes.pythonapi.PyType_GetSlot
_get_slot.restype, _get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
_new_method = ctypes.pythonapi.PyCMethod_New
_new_method.restype = ctypes.py_object
_new_method.argtypes = [ctypes.c_void_p, ctypes.py_object, ctypes.c_void_p, ctypes.c_void_p]
_OBJ = ctypes.py_object


def _entry(cls, slot, struct, name):
    entries = ctypes.cast(_get_slot(cls, slot), ctypes.POINTER(struct))
    i = 0
    while entries[i].name.decode() != name:
        i += 1
    return entries[i]


def method(cls, name, receiver):
    return _new_method(ctypes.addressof(_entry(cls, Py_tp_methods, PyMethodDef, name)), receiver, None, None)


def get(cls, name, receiver):
    entry = _entry(cls, Py_tp_getset, PyGetSetDef, name)
    return ctypes.PYFUNCTYPE(_OBJ, _OBJ, ctypes.c_void_p)(entry.get)(receiver, entry.closure)


def set_(cls, name, receiver, value):
    entry = _entry(cls, Py_tp_getset, PyGetSetDef, name)
    return ctypes.PYFUNCTYPE(ctypes.c_int, _OBJ, _OBJ, ctypes.c_void_p)(entry.set)(receiver, value, entry.closure)


def repr_(cls, receiver):
    return ctypes.PYFUNCTYPE(_OBJ, _OBJ)(_get_slot(cls, Py_tp_repr))(receiver)


@pytest.mark.parametrize("call, type_name, target", [
    (lambda: method(EinsumSpec, "validate", 5)(), "int", "EinsumSpec"),
    (lambda: method(EinsumSpec, "validate", rearrange())(), "RearrangeSpec", "EinsumSpec"),
    (lambda: method(EinsumSpec, "optimize_dp", Holder.Inner())(1, 2, 3, 4), "Holder.Inner", "EinsumSpec"),
    (lambda: get(EinsumSpec, "input_ints", "s"), "str", "EinsumSpec"),
    (lambda: repr_(EinsumSpec, [1]), "list", "EinsumSpec"),
    (lambda: repr_(RearrangeSpec, einsum()), "EinsumSpec", "RearrangeSpec"),
    (lambda: get(RearrangeSpec, "output_ints", None), "NoneType", "RearrangeSpec"),
    (lambda: set_(RearrangeSpec, "int_sizes", einsum(), "bad"), "EinsumSpec", "RearrangeSpec"),
    (lambda: method(RearrangeSpec, "apply", 1.5)(), "float", "RearrangeSpec"),
])
def test_receiver_check(call, type_name, target):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == f"'{type_name}' object cannot be converted to '{target}'"
    assert type(raised(lambda: EinsumSpec.validate(5))) is TypeError  # the interpreter's own check


# ---------------------------------------------------------------- borrow flag

def test_shared_borrows_nest():
    spec = einsum()

    class ReadsSpec:
        def __index__(self):
            assert spec.input_ints == [[0]] and repr(spec).startswith("EinsumSpec {")
            assert spec.optimize_dp() == [[0]]
            return 3

    assert spec.optimize_dp(mem_cap_op=ReadsSpec()) == [[0]]


def test_reads_inside_a_setter_are_refused():
    spec = rearrange()
    seen = []

    class ReadsBack:
        def __index__(self):
            for read in (lambda: spec.int_sizes, lambda: repr(spec), spec.is_valid):
                seen.append(raised(read))
            return 1

    spec.int_sizes = [ReadsBack()]  # the index conversion swallows the refusals, so the assignment goes through
    assert [(type(x), str(x)) for x in seen] == [(RuntimeError, "Already mutably borrowed")] * 3
    assert spec.int_sizes == [1]

    class ReadsSizes:
        def __index__(self):
            return len(spec.int_sizes)

    before = repr(spec)
    exc = raised(lambda: setattr(spec, "output_ints", [[ReadsSizes()]]))
    assert type(exc) is RuntimeError and str(exc) == "Already mutably borrowed"
    assert repr(spec) == before
    spec.output_ints = [[0, 1]]
    assert spec.output_ints == [[0, 1]]


@pytest.mark.parametrize("nested", [
    lambda s: setattr(s, "input_ints", []),
    lambda s: delattr(s, "input_ints"),  # deletion takes the borrow before it refuses
])
def test_writes_inside_a_setter_are_refused(nested):
    spec, other = rearrange(), rearrange()
    before = repr(spec)

    class Writes:
        def __index__(self):
            other.int_sizes = [9]  # another instance has its own flag
            nested(spec)

    exc = raised(lambda: setattr(spec, "int_sizes", [Writes()]))
    assert type(exc) is RuntimeError and str(exc) == "Already borrowed"
    assert repr(spec) == before and other.int_sizes == [9]
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        del spec.int_sizes
    spec.int_sizes = []
    assert spec.int_sizes == []
