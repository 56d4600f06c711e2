"""EinsumSpec: construction, validity, attributes, repr, allocation failures and lifecycle."""
import array
import collections
import gc
import operator
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import panic_text, unwrap_text
from plenexa import EinsumSpec

U64_MAX = 2**64 - 1


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


VALID = [
    # (operand_ints, out_ints, int_sizes, dense int_sizes read back)
    ([], [], {}, [0]),
    ([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}, [2, 3, 4]),
    ([[5]], [5], {5: 3}, [0, 0, 0, 0, 0, 3]),
    ([[0, 0]], [0, 0], {0: 3}, [3]),
    ([[0]], [], {0: 2, 7: 0}, [2, 0, 0, 0, 0, 0, 0, 0]),
    ([[]], [], {}, [0]),
    ([[], []], [], {3: 0}, [0, 0, 0, 0]),
    ([[3, 1]], [1], {3: 2, 1: 4}, [0, 4, 0, 2]),
    ([[1]], [1], {1: 1, 0: 0}, [0, 1]),
    ([[0]], [0], {0: U64_MAX}, [U64_MAX]),
    ([[0, 1], [1]], [1, 1, 0], {1: 5, 0: 1, 9: 9}, [1, 5, 0, 0, 0, 0, 0, 0, 0, 9]),
    ([[0]], [0], {Idx(0): 5, 0: 3}, [3]),  # two keys naming id 0: the later one wins
    ([[0]], [0], {0: 3, Idx(0): 5}, [5]),
    ([[True]], [1], {True: 2}, [0, 2]),
    ([[np.int64(2)]], [np.uint64(2)], {np.uint8(2): np.int32(7)}, [0, 0, 7]),
    ([[Idx(1)]], [Idx(1)], {Idx(1): Idx(6)}, [0, 6]),
    # The largest size table whose ids the output's check marks on the stack, and a larger one.
    ([[4095]], [4095], {4095: 2}, [0] * 4095 + [2]),
    ([[5000, 0]], [5000], {5000: 2, 0: 3}, [3] + [0] * 4999 + [2]),
]

INVALID = [
    ([[0]], [1], {0: 2, 1: 2}),  # output id in no input
    ([[0, 1]], [0], {0: 2}),  # id without a size
    ([[0, 1]], [0], {0: 2, 1: 0}),  # size 0
    ([], [0], {0: 1}),
    ([[]], [0], {0: 1}),
    ([[0]], [], {}),
    ([[1]], [], {0: 5}),
    ([[0], [0, 2]], [0], {0: 1, 1: 1, 2: 0}),
    ([[U64_MAX - 1]], [], {0: 1}),
    ([[5000]], [4999], {5000: 2, 4999: 2}),
]


@pytest.mark.parametrize("operands, out, sizes, dense", VALID)
def test_valid(operands, out, sizes, dense):
    spec = EinsumSpec(operands, out, sizes)
    assert spec.input_ints == [[int(i) for i in op] for op in operands]
    assert spec.output_ints == [int(o) for o in out]
    assert spec.int_sizes == dense
    assert spec.validate() is True
    for value in (spec.input_ints, spec.output_ints, spec.int_sizes, *spec.input_ints):
        assert type(value) is list
    assert all(type(v) is int for v in spec.output_ints + spec.int_sizes + sum(spec.input_ints, []))


@pytest.mark.parametrize("operands, out, sizes", INVALID)
def test_invalid(operands, out, sizes):
    with pytest.raises(ValueError) as info:
        EinsumSpec(operands, out, sizes)
    assert type(info.value) is ValueError and info.value.args == ("invalid",)


class NoLength:  # a sequence whose length query fails; it is iterated all the same
    def __getitem__(self, i):
        return [0, 1][i]

    def __len__(self):
        raise ValueError("length unknown")


INNER_SEQUENCES = [
    [(0, 1), range(2, 3)],
    [b"\x00\x01", bytearray(b"\x02")],
    [array.array("Q", [0, 1]), memoryview(b"\x02")],
    [np.array([0, 1]), collections.deque([2])],
    [collections.UserList([0, 1]), [2]],
    [NoLength(), (2,)],
]


@pytest.mark.parametrize("operands", INNER_SEQUENCES, ids=lambda ops: type(ops[0]).__name__)
def test_inner_sequences_of_any_kind(operands):
    spec = EinsumSpec(operands, [0], {0: 2, 1: 2, 2: 2})
    assert spec.input_ints == [[0, 1], [2]]


class Mutates:  # a size whose conversion adds entries to the dict being read
    def __init__(self, sizes, extra):
        self.sizes, self.extra = sizes, extra

    def __index__(self):
        self.sizes.update(self.extra)
        return 2


@pytest.mark.parametrize("extra", [{10: 3}, {10: 3, 11: 4, 12: 5}], ids=["one-key", "rehash"])
def test_dict_changed_by_a_size_is_refused(extra):
    sizes = {0: 2}
    sizes[1] = Mutates(sizes, extra)
    text = panic_text(lambda: EinsumSpec([[0, 1]], [], sizes))
    assert text == unwrap_text(RuntimeError("dictionary changed size during iteration"))
    # A conversion that leaves the dict's size alone is read as it stands.
    assert EinsumSpec([[0, 1]], [], {0: 2, 1: Mutates({}, extra)}).int_sizes == [2, 2]


class Changes:  # an id whose first conversion changes a list being read
    def __init__(self, target, change):
        self.target, self.change = target, change

    def __index__(self):
        change, self.change = self.change, None
        if change:
            change(self.target)
        return 0


@pytest.mark.parametrize("change", [list.clear, list.pop, lambda items: items.append(items[0])], ids=["clear", "pop", "append"])
@pytest.mark.parametrize("level", ["outer", "inner"])
def test_list_changed_by_an_id_is_read_as_its_iterator_reads_it(level, change):
    def operands():
        inner = [0, None, 1, 1]
        outer = [[0], inner, [1]]
        inner[1] = Changes(outer if level == "outer" else inner, change)
        return outer

    expected = [[operator.index(x) for x in row] for row in operands()]
    assert EinsumSpec(operands(), [], {0: 2, 1: 3}).input_ints == expected


def test_subclasses_of_list_and_dict():
    # Lists are read through their iterator; dicts through their storage, whatever they override.
    class L(list):
        def __iter__(self):
            return reversed(self)

    class D(dict):
        def items(self):
            return []

        def __iter__(self):
            return iter([])

    spec = EinsumSpec(L([[0, 1], L([2, 3])]), L([1, 3]), D({0: 2, 1: 3, 2: 4, 3: 5}))
    assert (spec.input_ints, spec.output_ints, spec.int_sizes) == ([[3, 2], [0, 1]], [3, 1], [2, 3, 4, 5])
    spec = EinsumSpec([[0]], [0], collections.OrderedDict([(0, 4)]))
    assert spec.int_sizes == [4]
    spec = EinsumSpec([[0]], [0], collections.defaultdict(int, {0: 4}))
    assert spec.int_sizes == [4]


def test_reads_are_fresh_copies():
    operands, out, sizes = [[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}
    spec = EinsumSpec(int_sizes=sizes, out_ints=out, operand_ints=operands)
    text = repr(spec)
    assert text == "EinsumSpec { input_ints: [[0, 1], [1, 2]], output_ints: [0, 2], int_sizes: [2, 3, 4] }"
    operands[0].append(9)
    operands.append([7])
    out.clear()
    sizes[5] = 5
    assert repr(spec) == text
    for name in ("input_ints", "output_ints", "int_sizes"):
        first, second = getattr(spec, name), getattr(spec, name)
        assert first == second and first is not second
    assert spec.input_ints[0] is not spec.input_ints[0]
    read = spec.input_ints
    read[0].append(5)
    read.append([0])
    spec.output_ints.append(1)
    spec.int_sizes.append(1)
    spec.int_sizes[0] = 100
    assert repr(spec) == text


@pytest.mark.parametrize("args, text", [
    (([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4}),
     "EinsumSpec { input_ints: [[0, 1], [1, 2]], output_ints: [0, 2], int_sizes: [2, 3, 4] }"),
    (([], [], {}), "EinsumSpec { input_ints: [], output_ints: [], int_sizes: [0] }"),
    (([[], [0]], [], {0: U64_MAX, 2: 0}),
     "EinsumSpec { input_ints: [[], [0]], output_ints: [], int_sizes: [18446744073709551615, 0, 0] }"),
    (([[3]], [3, 3], {3: 10}), "EinsumSpec { input_ints: [[3]], output_ints: [3, 3], int_sizes: [0, 0, 0, 10] }"),
])
def test_repr(args, text):
    spec = EinsumSpec(*args)
    assert repr(spec) == text and str(spec) == text and f"{spec}" == text


# ---------------------------------------------------------------- allocation failures

def run_isolated(code, timeout=120):
    """Runs code in a fresh interpreter, so that a crash or a runaway allocation cannot take the suite down."""
    prelude = "import resource\nresource.setrlimit(resource.RLIMIT_AS, (16 << 30, 16 << 30))\n"
    return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


HUGE_KEYS = [2**40, 2**59, 2**60, 2**61, 2**61 + 1, 2**62, 2**63, 2**64 - 2, 2**64 - 1]


@pytest.mark.skipif("PLENEXA_SANITIZE" in os.environ, reason="an address-space limit leaves no room for the sanitizer's shadow memory")
def test_huge_size_table_raises_memory_error():
    result = run_isolated(f"""
        import sys, time
        from plenexa import EinsumSpec
        refs = sys.getrefcount(EinsumSpec)
        for key in {HUGE_KEYS!r}:
            for operands, out in (([[0]], [0]), ([[key]], [key])):
                start = time.monotonic()
                try:
                    EinsumSpec(operands, out, {{key: 1}})
                except MemoryError:
                    pass
                else:
                    raise SystemExit(f"no MemoryError for key {{key}}")
                assert time.monotonic() - start < 5, key
                text = repr(EinsumSpec([[0]], [0], {{0: 2}}))
                assert text == "EinsumSpec {{ input_ints: [[0]], output_ints: [0], int_sizes: [2] }}"
        assert sys.getrefcount(EinsumSpec) == refs, (refs, sys.getrefcount(EinsumSpec))
        print("ok")
    """)
    assert result.returncode == 0, result.stderr[-3000:]
    assert result.stdout.strip() == "ok"


def test_memory_error_is_an_ordinary_exception():
    # Caught by `except Exception`, unlike a panic; and a content failure elsewhere is still reported first.
    with pytest.raises(Exception) as info:
        EinsumSpec([[0]], [0], {2**64 - 1: 1})
    assert type(info.value) is MemoryError
    panic_text(lambda: EinsumSpec([[0]], [0], {2**64 - 1: 1, 0: -1}), startswith="called `Result::unwrap()`")


# ---------------------------------------------------------------- lifecycle: references and memory

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class Tracked:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Ids as objects and sizes as uncached ints, so that their reference counts are meaningful.
IDS = [Tracked(i) for i in range(65)]
SIZES = [10**9 + i for i in range(64)]


def entry_points():
    operands = [IDS[:32], IDS[32:64], [IDS[0]]]
    out = [IDS[0], IDS[40]]
    sizes = dict(zip(IDS, SIZES))
    spec = EinsumSpec(operands, out, sizes)
    tupled = tuple(operands)
    bad_value = {**sizes, IDS[3]: -1}
    bad_operand = [*operands, [Tracked(-1)]]
    invalid_out = [*out, IDS[64]]
    huge = {**sizes, Tracked(2**64 - 1): 1}
    calls = {
        "construct": lambda: EinsumSpec(operands, out, sizes),
        "construct_kw": lambda: EinsumSpec(int_sizes=sizes, out_ints=out, operand_ints=operands),
        "getters": lambda: (spec.input_ints, spec.output_ints, spec.int_sizes),
        "repr": lambda: repr(spec),
        "validate": spec.validate,
        "bad_type": lambda: EinsumSpec(operands, tupled, sizes),
        "bad_arity": lambda: EinsumSpec(operands, out, sizes, operands),
        "bad_keyword": lambda: EinsumSpec(operands, out, sizes=sizes),
        "invalid": lambda: EinsumSpec(operands, invalid_out, sizes),
        "panic_sizes": lambda: EinsumSpec(operands, out, bad_value),
        "panic_operand": lambda: EinsumSpec(bad_operand, out, sizes),
        "memory_error": lambda: EinsumSpec(operands, out, huge),
    }
    if "optimize_dp" in EinsumSpec.__dict__:
        small = EinsumSpec([IDS[0:2], IDS[1:3], IDS[2:4]], [IDS[0], IDS[3]], dict(zip(IDS[:4], (2, 3, 4, 5))))
        cap = Tracked(10**6)
        calls["optimize"] = lambda: small.optimize_dp(check_outer_op=False, mem_cap_op=cap)
        calls["optimize_bad"] = lambda: small.optimize_dp(True, check_outer_op=True)
        calls["optimize_panic"] = EinsumSpec([[IDS[0]]] * 64, [], sizes).optimize_dp
    watched = [operands, out, sizes, tupled, bad_value, bad_operand, invalid_out, huge, spec,
               *operands, *IDS, *SIZES]
    return calls, watched


def call_quietly(fn):
    try:
        fn()
    except BaseException as exc:  # noqa: B036 (panics included)
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise


@pytest.mark.parametrize("name", list(entry_points()[0]))
def test_no_reference_or_memory_leak(name, capfd):
    calls, watched = entry_points()
    fn = calls[name]
    for _ in range(200):
        call_quietly(fn)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    type_refs = sys.getrefcount(EinsumSpec)
    memory = rss()
    for _ in range(5000):
        call_quietly(fn)
    gc.collect()
    grown = rss() - memory
    capfd.readouterr()  # panics write a notice per call; read it only after measuring
    assert [sys.getrefcount(o) for o in watched] == counts
    assert sys.getrefcount(EinsumSpec) == type_refs
    # A leaked copy of the 64-entry record or of one converted list would cost well over 1 MB here.
    # (Under the sanitizers freed memory waits in quarantine, and LeakSanitizer checks instead.)
    assert grown < 1 << 20 or "PLENEXA_SANITIZE" in os.environ


def test_instances_release_their_type():
    before = sys.getrefcount(EinsumSpec)
    specs = [EinsumSpec([[0]], [0], {0: 2}) for _ in range(1000)]
    assert sys.getrefcount(EinsumSpec) >= before + 1000  # each instance holds its type
    del specs
    assert sys.getrefcount(EinsumSpec) == before
    for _ in range(1000):
        EinsumSpec([[0]], [0], {0: 2})
        with pytest.raises(ValueError):
            EinsumSpec([[0]], [1], {0: 2})
    assert sys.getrefcount(EinsumSpec) == before
