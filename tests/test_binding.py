"""The call path into native code: argument binding, conversions, receiver checks and borrows."""
import ctypes

import numpy as np
import pytest

from plenexa import EinsumSpec, RearrangeSpec

has_rearrange = "input_ints" in RearrangeSpec.__dict__
has_apply = "apply" in RearrangeSpec.__dict__
has_optimize = "optimize_dp" in EinsumSpec.__dict__
needs_rearrange = pytest.mark.skipif(not has_rearrange, reason="RearrangeSpec members not built yet")
needs_apply = pytest.mark.skipif(not has_apply, reason="RearrangeSpec.apply not built yet")
needs_optimize = pytest.mark.skipif(not has_optimize, reason="EinsumSpec.optimize_dp not built yet")

E_NEW = "EinsumSpec.__new__()"
R_NEW = "RearrangeSpec.__new__()"
OPT = "EinsumSpec.optimize_dp()"
APPLY = "RearrangeSpec.apply()"


class Holder:
    class Inner:  # its __qualname__ ("Holder.Inner") differs from its __name__
        pass


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


def raised(fn):
    with pytest.raises(BaseException) as info:
        fn()
    return info.value


def einsum():
    return EinsumSpec([[0]], [0], {0: 2})


def rearrange():
    return RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])


# ---------------------------------------------------------------- argument binding texts

def e(*args, **kwargs):
    return lambda: EinsumSpec(*args, **kwargs)


def e_via_new(*args, **kwargs):
    return lambda: EinsumSpec.__new__(EinsumSpec, *args, **kwargs)


def r(*args, **kwargs):
    return lambda: RearrangeSpec(*args, **kwargs)


def opt(*args, **kwargs):
    return lambda: einsum().optimize_dp(*args, **kwargs)


def app(*args, **kwargs):
    return lambda: rearrange().apply(*args, **kwargs)


EINSUM_NEW_ERRORS = [
    (e(), f"{E_NEW} missing 3 required positional arguments: 'operand_ints', 'out_ints', and 'int_sizes'"),
    (e([]), f"{E_NEW} missing 2 required positional arguments: 'out_ints' and 'int_sizes'"),
    (e([], []), f"{E_NEW} missing 1 required positional argument: 'int_sizes'"),
    (e([], int_sizes={}), f"{E_NEW} missing 1 required positional argument: 'out_ints'"),
    (e(out_ints=[], int_sizes={}), f"{E_NEW} missing 1 required positional argument: 'operand_ints'"),
    (e(out_ints=[]), f"{E_NEW} missing 2 required positional arguments: 'operand_ints' and 'int_sizes'"),
    (e((), ()), f"{E_NEW} missing 1 required positional argument: 'int_sizes'"),
    (e_via_new(), f"{E_NEW} missing 3 required positional arguments: 'operand_ints', 'out_ints', and 'int_sizes'"),
    (e([], [], {}, 1), f"{E_NEW} takes 3 positional arguments but 4 were given"),
    (e(1, 2, 3, 4, 5), f"{E_NEW} takes 3 positional arguments but 5 were given"),
    (e([], [], {}, 1, foo=1), f"{E_NEW} takes 3 positional arguments but 4 were given"),
    (e([], [], {}, operand_ints=[]), f"{E_NEW} got multiple values for argument 'operand_ints'"),
    (e([], [], {}, int_sizes={}), f"{E_NEW} got multiple values for argument 'int_sizes'"),
    (e([], operand_ints=[], foo=1), f"{E_NEW} got multiple values for argument 'operand_ints'"),
    (e([], foo=1, operand_ints=[]), f"{E_NEW} got an unexpected keyword argument 'foo'"),
    (e([], [], {}, foo=1), f"{E_NEW} got an unexpected keyword argument 'foo'"),
    (e(foo=1), f"{E_NEW} got an unexpected keyword argument 'foo'"),
    (e(**{"operand_ints": (), "out_ints": (), "é": 1}), f"{E_NEW} got an unexpected keyword argument 'é'"),
    (e(**{"\ud800": 1}), f"{E_NEW} got an unexpected keyword argument '\ud800'"),
    (e_via_new([], [], {}, [], [], {}), f"{E_NEW} takes 3 positional arguments but 6 were given"),
]

REARRANGE_NEW_ERRORS = [
    (r(), f"{R_NEW} missing 3 required positional arguments: 'input_ints', 'output_ints', and 'int_sizes'"),
    (r([], int_sizes=[]), f"{R_NEW} missing 1 required positional argument: 'output_ints'"),
    (r(int_sizes=[]), f"{R_NEW} missing 2 required positional arguments: 'input_ints' and 'output_ints'"),
    (r([], [], [], []), f"{R_NEW} takes 3 positional arguments but 4 were given"),
    (r([], [], [], output_ints=[]), f"{R_NEW} got multiple values for argument 'output_ints'"),
    (r([], [], [], bar=[]), f"{R_NEW} got an unexpected keyword argument 'bar'"),
]

OPTIMIZE_ERRORS = [
    (opt(None, None, None, None), f"{OPT} takes from 0 to 3 positional arguments but 4 were given"),
    (opt(1, 2, 3, 4, 5), f"{OPT} takes from 0 to 3 positional arguments but 5 were given"),
    (opt(True, check_outer_op=True), f"{OPT} got multiple values for argument 'check_outer_op'"),
    (opt(None, None, hash_map_cap_op=None, mem_cap_op=None), f"{OPT} got multiple values for argument 'mem_cap_op'"),
    (opt(foo=1), f"{OPT} got an unexpected keyword argument 'foo'"),
    (opt(check_outer_op=True, foo=1), f"{OPT} got an unexpected keyword argument 'foo'"),
    (opt(foo=1, check_outer_op=1), f"{OPT} got an unexpected keyword argument 'foo'"),
    (opt(1), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(0), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(check_outer_op=1), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(check_outer_op="yes"), "argument 'check_outer_op': 'str' object cannot be converted to 'PyBool'"),
    (opt(Holder.Inner()), "argument 'check_outer_op': 'Holder.Inner' object cannot be converted to 'PyBool'"),
    (opt(None, "7"), "argument 'mem_cap_op': 'str' object cannot be interpreted as an integer"),
    (opt(hash_map_cap_op=1.0), "argument 'hash_map_cap_op': 'float' object cannot be interpreted as an integer"),
    (opt(1, "x"), "argument 'check_outer_op': 'int' object cannot be converted to 'PyBool'"),
    (opt(hash_map_cap_op="x", mem_cap_op=1.5),
     "argument 'mem_cap_op': 'float' object cannot be interpreted as an integer"),
    (opt(mem_cap_op=IndexRaises(TypeError("boom"))), "argument 'mem_cap_op': boom"),
]

APPLY_ERRORS = [
    (app(), f"{APPLY} missing 1 required positional argument: 'tensor'"),
    (app(1, 2), f"{APPLY} takes 1 positional arguments but 2 were given"),
    (app(1, 2, 3, foo=4), f"{APPLY} takes 1 positional arguments but 3 were given"),
    (app(1, tensor=2), f"{APPLY} got multiple values for argument 'tensor'"),
    (app(foo=1), f"{APPLY} got an unexpected keyword argument 'foo'"),
    (app(tensor=1, foo=2), f"{APPLY} got an unexpected keyword argument 'foo'"),
]

CONSTRUCTOR_TYPE_ERRORS = [
    (e((0,), [0], {0: 1}), "argument 'operand_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e(((0,),), [0], {0: 2}), "argument 'operand_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e([[0]], [0], [2]), "argument 'int_sizes': 'list' object cannot be converted to 'PyDict'"),
    (e([[0]], (0,), {0: 2}), "argument 'out_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e(None, None, None), "argument 'operand_ints': 'NoneType' object cannot be converted to 'PyList'"),
    (e([[-1]], (), {0: 1.5}), "argument 'out_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e([[-1]], [], [1.5]), "argument 'int_sizes': 'list' object cannot be converted to 'PyDict'"),
    (e(Holder.Inner(), [], {}), "argument 'operand_ints': 'Holder.Inner' object cannot be converted to 'PyList'"),
    (e(int_sizes=[], out_ints=(), operand_ints=[]),
     "argument 'out_ints': 'tuple' object cannot be converted to 'PyList'"),
    (e([], [], np.zeros(2)), "argument 'int_sizes': 'ndarray' object cannot be converted to 'PyDict'"),
]

REARRANGE_TYPE_ERRORS = [
    (r([[0]], [[0]], {0: 2}), "argument 'int_sizes': 'dict' object cannot be converted to 'PyList'"),
    (r((0,), [], []), "argument 'input_ints': 'tuple' object cannot be converted to 'PyList'"),
    (r([[-1]], range(0), []), "argument 'output_ints': 'range' object cannot be converted to 'PyList'"),
]


def _cases(table, prefix, marks=()):
    return [pytest.param(call, msg, marks=marks, id=f"{prefix}{i}") for i, (call, msg) in enumerate(table)]


@pytest.mark.parametrize(
    "call, message",
    _cases(EINSUM_NEW_ERRORS, "new")
    + _cases(CONSTRUCTOR_TYPE_ERRORS, "types")
    + _cases(REARRANGE_NEW_ERRORS, "rnew", needs_rearrange)
    + _cases(REARRANGE_TYPE_ERRORS, "rtypes", needs_rearrange)
    + _cases(OPTIMIZE_ERRORS, "opt", needs_optimize)
    + _cases(APPLY_ERRORS, "apply", needs_apply),
)
def test_argument_error_texts(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert exc.args == (message,)


def test_argument_errors_leave_no_pending_state():
    # A keyword whose UTF-8 text cannot be produced must not leave its encoding error behind.
    raised(e(**{"\ud800": 1}))
    assert EinsumSpec([[0]], [0], {0: 2}).validate() is True


@pytest.mark.parametrize("make_type", ["raises", "not_str"])
def test_conversion_error_with_unreadable_type_name(make_type):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                if make_type == "raises":
                    raise RuntimeError("no name")
                return 42
            return super().__getattribute__(name)

    odd = Meta("Odd", (), {})()
    exc = raised(e(odd, [], {}))
    assert type(exc) is TypeError
    assert str(exc) == "argument 'operand_ints': '<failed to extract type name>' object cannot be converted to 'PyList'"
    assert EinsumSpec([], [], {}).validate() is True


# ---------------------------------------------------------------- conversions of optimize_dp arguments

@needs_optimize
class TestOptimizeArguments:
    @pytest.mark.parametrize("kwargs", [
        dict(mem_cap_op=2**64 - 1), dict(hash_map_cap_op=2**64 - 1), dict(mem_cap_op=Idx(5)),
        dict(hash_map_cap_op=Idx(2**64 - 1)), dict(mem_cap_op=np.uint64(2**64 - 1)), dict(mem_cap_op=True),
        dict(check_outer_op=True), dict(check_outer_op=False), dict(check_outer_op=None, mem_cap_op=None),
        dict(check_outer_op=False, mem_cap_op=7, hash_map_cap_op=9),
    ])
    def test_accepted(self, kwargs):
        spec = einsum()
        assert spec.optimize_dp(**kwargs) == [[0]]

    def test_none_is_absent(self):
        spec = EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], {0: 2, 1: 3, 2: 4, 3: 5})
        plain = spec.optimize_dp()
        assert plain in ([[0, 1], [0, 1]], [[1, 0], [0, 1]])
        assert spec.optimize_dp(None, None, None) == plain
        assert spec.optimize_dp(check_outer_op=None, mem_cap_op=None, hash_map_cap_op=None) == plain

    @pytest.mark.parametrize("kwargs", [
        dict(mem_cap_op=-1), dict(hash_map_cap_op=2**64), dict(mem_cap_op=-(2**70)), dict(mem_cap_op=Idx(-1)),
    ])
    def test_overflow_passes_unprefixed(self, kwargs):
        exc = raised(opt(**kwargs))
        assert type(exc) is OverflowError
        assert not str(exc).startswith("argument")

    def test_numpy_bool_is_not_a_bool(self):
        flag = np.True_
        exc = raised(opt(flag))
        assert type(exc) is TypeError
        assert str(exc) == f"argument 'check_outer_op': '{type(flag).__qualname__}' object cannot be converted to 'PyBool'"

    @pytest.mark.parametrize("exc", [ValueError("v"), KeyError("k"), RuntimeError("r")])
    def test_other_errors_pass_unchanged(self, exc):
        got = raised(opt(mem_cap_op=IndexRaises(exc)))
        assert got is exc

    def test_type_error_subclass_passes_unchanged(self):
        class MyTypeError(TypeError):
            pass

        inner = MyTypeError("mine")
        assert raised(opt(hash_map_cap_op=IndexRaises(inner))) is inner

    def test_prefix_keeps_the_inner_cause_only(self):
        cause = KeyError("root")

        class Chained:
            def __index__(self):
                raise TypeError("inner") from cause

        got = raised(opt(mem_cap_op=Chained()))
        assert type(got) is TypeError
        assert str(got) == "argument 'mem_cap_op': inner"
        assert got.__cause__ is cause

        got = raised(opt(mem_cap_op=IndexRaises(TypeError("plain"))))
        assert str(got) == "argument 'mem_cap_op': plain"
        assert got.__cause__ is None

    def test_prefix_over_unprintable_error_panics(self):
        from conftest import panic_text

        class Unprintable:
            def __str__(self):
                raise RuntimeError("cannot print")

        panic_text(opt(mem_cap_op=IndexRaises(TypeError(Unprintable()))),
                   "a formatting trait implementation returned an error")
        assert einsum().optimize_dp() == [[0]]

    def test_shared_borrow_allows_nested_reads(self):
        spec = einsum()

        class ReadsSpec:
            def __index__(self):
                assert spec.input_ints == [[0]] and repr(spec).startswith("EinsumSpec {")
                assert spec.optimize_dp() == [[0]]
                return 3

        assert spec.optimize_dp(mem_cap_op=ReadsSpec()) == [[0]]


# ---------------------------------------------------------------- receiver check

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


def _table(cls, slot, struct, name):
    entries = ctypes.cast(_get_slot(cls, slot), ctypes.POINTER(struct))
    i = 0
    while entries[i].name:
        if entries[i].name.decode() == name:
            return entries[i]
        i += 1
    raise LookupError(name)


# The interpreter's descriptors check the receiver themselves; these reach the module's own check.
def unchecked_method(cls, name, receiver):
    return _new_method(ctypes.addressof(_table(cls, Py_tp_methods, PyMethodDef, name)), receiver, None, None)


def unchecked_get(cls, name, receiver):
    entry = _table(cls, Py_tp_getset, PyGetSetDef, name)
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(entry.get)(receiver, entry.closure)


def unchecked_set(cls, name, receiver, value):
    entry = _table(cls, Py_tp_getset, PyGetSetDef, name)
    setter = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(entry.set)
    return setter(receiver, value, entry.closure)


def unchecked_repr(cls, receiver):
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(_get_slot(cls, Py_tp_repr))(receiver)


RECEIVER_CASES = [
    (lambda: unchecked_method(EinsumSpec, "validate", 5)(), "'int' object cannot be converted to 'EinsumSpec'"),
    (lambda: unchecked_method(EinsumSpec, "validate", Holder.Inner())(),
     "'Holder.Inner' object cannot be converted to 'EinsumSpec'"),
    (lambda: unchecked_get(EinsumSpec, "input_ints", "s"), "'str' object cannot be converted to 'EinsumSpec'"),
    (lambda: unchecked_get(EinsumSpec, "int_sizes", None), "'NoneType' object cannot be converted to 'EinsumSpec'"),
    (lambda: unchecked_repr(EinsumSpec, [1]), "'list' object cannot be converted to 'EinsumSpec'"),
]
RECEIVER_CASES_LATER = [
    pytest.param(lambda: unchecked_method(EinsumSpec, "optimize_dp", 5)(1, 2, 3, 4),
                 "'int' object cannot be converted to 'EinsumSpec'", marks=needs_optimize, id="optimize"),
    pytest.param(lambda: unchecked_method(EinsumSpec, "validate", rearrange())(),
                 "'RearrangeSpec' object cannot be converted to 'EinsumSpec'", marks=needs_rearrange, id="rearr"),
    pytest.param(lambda: unchecked_repr(RearrangeSpec, einsum()),
                 "'EinsumSpec' object cannot be converted to 'RearrangeSpec'", marks=needs_rearrange, id="repr"),
    pytest.param(lambda: unchecked_get(RearrangeSpec, "output_ints", einsum()),
                 "'EinsumSpec' object cannot be converted to 'RearrangeSpec'", marks=needs_rearrange, id="get"),
    pytest.param(lambda: unchecked_set(RearrangeSpec, "int_sizes", einsum(), "bad"),
                 "'EinsumSpec' object cannot be converted to 'RearrangeSpec'", marks=needs_rearrange, id="set"),
    pytest.param(lambda: unchecked_method(RearrangeSpec, "apply", 1.5)(),
                 "'float' object cannot be converted to 'RearrangeSpec'", marks=needs_apply, id="apply"),
]


@pytest.mark.parametrize("call, message", [*RECEIVER_CASES, *RECEIVER_CASES_LATER])
def test_receiver_check(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message


def test_interpreter_descriptors_reject_foreign_receivers():
    for call in (lambda: EinsumSpec.validate(5), lambda: EinsumSpec.input_ints.__get__(5),
                 lambda: EinsumSpec.__repr__(5)):
        assert type(raised(call)) is TypeError


# ---------------------------------------------------------------- borrow flag

@needs_rearrange
class TestBorrow:
    def test_getter_inside_setter_conversion(self):
        spec = rearrange()
        seen = []

        class ReadsBack:
            def __index__(self):
                for read in (lambda: spec.int_sizes, lambda: repr(spec), lambda: spec.is_valid()):
                    seen.append(raised(read))
                return 1

        # The index conversion swallows the refusals, so the assignment itself goes through.
        spec.int_sizes = [ReadsBack()]
        assert [(type(x), str(x)) for x in seen] == [(RuntimeError, "Already mutably borrowed")] * 3
        assert spec.int_sizes == [1]
        spec.int_sizes = [2, 3]
        assert repr(spec) == "RearrangeSpec { input_ints: [[0], [1]], output_ints: [[1], [0]], int_sizes: [2, 3] }"

    def test_refused_borrow_propagates_and_leaves_spec_unchanged(self):
        spec = rearrange()
        before = repr(spec)

        class ReadsSizes:
            def __index__(self):
                return len(spec.int_sizes)

        exc = raised(lambda: setattr(spec, "output_ints", [[ReadsSizes()]]))
        assert type(exc) is RuntimeError and str(exc) == "Already mutably borrowed"
        assert repr(spec) == before
        spec.output_ints = [[0, 1]]
        assert spec.output_ints == [[0, 1]]

    @pytest.mark.parametrize("nested", [
        lambda s: setattr(s, "input_ints", []),
        lambda s: delattr(s, "input_ints"),  # deletion takes the borrow before it refuses
    ])
    def test_setter_inside_setter(self, nested):
        spec = rearrange()
        before = repr(spec)

        class Writes:
            def __index__(self):
                nested(spec)
                return 0

        exc = raised(lambda: setattr(spec, "int_sizes", [Writes()]))
        assert type(exc) is RuntimeError and str(exc) == "Already borrowed"
        assert repr(spec) == before
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del spec.int_sizes
        assert repr(spec) == before

    def test_other_instances_are_independent(self):
        spec, other = rearrange(), rearrange()

        class WritesOther:
            def __index__(self):
                other.int_sizes = [9]
                return len(other.int_sizes)

        spec.int_sizes = [WritesOther()]
        assert spec.int_sizes == [1] and other.int_sizes == [9]
