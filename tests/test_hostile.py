"""plenexa_paths against hostile input: objects whose __index__, __hash__ or __eq__ run code,
one-shot iterators, lists changed while they are read (from a conversion or another thread),
lying mappings. Whatever the objects do, a call returns a valid path or raises TypeError,
ValueError, MemoryError, or the objects' own exception; never a crash, KeyError,
StopIteration, IndexError or SystemError."""

import gc
import os
import random
import resource
import subprocess
import sys
import textwrap
import threading

import pytest

import networks
import plenexa_paths
from plenexa_paths import _search, optimize
from test_paths import replay

ALLOWED = (TypeError, ValueError, MemoryError)


class Boom(Exception):
    """The hostile objects' own exception, which must pass through unchanged."""


class ClearingIndex:
    """An int-like size whose __index__ empties every list that refers to it."""

    def __init__(self, value=2):
        self.value = value

    def __index__(self):
        for referrer in gc.get_referrers(self):
            if type(referrer) is list:
                referrer.clear()
        return self.value


class GrowingIndex:
    """An int-like id or size whose __index__ appends to every list that refers to it."""

    def __index__(self):
        for referrer in gc.get_referrers(self):
            if type(referrer) is list:
                referrer.extend([0] * 50)
        return 0


class FlippingIndex:
    """An int-like size that answers 2 and then 2**70, alternately."""

    def __init__(self):
        self.calls = 0

    def __index__(self):
        self.calls += 1
        return 2 if self.calls % 2 else 2**70


class RaisingIndex:
    def __index__(self):
        raise Boom("index")


class Label:
    """A hashable label whose __hash__ or __eq__ may raise or answer inconsistently."""

    def __init__(self, name, hash_raises=False, eq_raises=False, hash_of=None):
        self.name, self.hash_raises, self.eq_raises, self.hash_of = name, hash_raises, eq_raises, hash_of

    def __hash__(self):
        if self.hash_raises:
            raise Boom("hash")
        return self.hash_of() if self.hash_of else hash(self.name)

    def __eq__(self, other):
        if self.eq_raises:
            raise Boom("eq")
        return isinstance(other, Label) and other.name == self.name

    def __repr__(self):
        return f"Label({self.name!r})"


class LyingDict(dict):
    """Claims every key; its lookups still refuse the missing ones."""

    def __contains__(self, key):
        return True


class ForgetfulDict(dict):
    """Refuses every lookup although it holds the keys."""

    def __getitem__(self, key):
        raise KeyError(key)


def checked(inputs, output, sizes, kind=list, **options):
    """Runs optimize on `kind` of the terms and output; returns its path (replayed when every
    size is an int) or the exception, which must be an allowed one."""
    try:
        path = optimize(kind(inputs), kind(output), sizes, **options)
    except ALLOWED + (Boom,) as error:
        return error
    if all(type(size) is int for size in sizes.values()):
        replay([list(term) for term in inputs], list(output), sizes, path)
    else:
        assert len(path) == max(len(inputs) - 1, 1) and all(type(step) is tuple for step in path)
    return path


@pytest.mark.parametrize(
    "inputs, output, sizes, expected",
    [
        # The reported crash: a size's __index__ empties the list of sizes being read. Each size
        # is read once, before the search, which gets the values read: a valid path.
        (["ab", "bc", "cd"], "", {"a": ClearingIndex(), "b": 3, "c": 4, "d": 5}, list),
        (["ab", "bc", "cd"], "", {"a": GrowingIndex(), "b": 3, "c": 4, "d": 5}, list),
        (["ab", "bc"], "", {"a": RaisingIndex(), "b": 3, "c": 4}, Boom),
        # Errors are explained from the value at hand: the iterator is used up by then.
        (["ab", "bc"], iter("az"), {"a": 2, "b": 2, "c": 2}, ValueError),
        (iter([["a"], 5]), [], {"a": 2}, TypeError),
        ([iter(["a", ["x"]])], [], {"a": 2}, TypeError),
        (["ab", "bc"], "", LyingDict(a=2, b=2), ValueError),
        (["ab", "bc"], "", ForgetfulDict(a=2, b=2, c=2), ValueError),
        ([[Label("a", hash_raises=True)]], [], {}, Boom),
        ([[Label("a", eq_raises=True), Label("a")]], [], {}, Boom),
        ([["a", "b"]], [Label("a", hash_raises=True)], {"a": 2, "b": 2}, Boom),
    ],
    ids=["clearing size", "growing size", "raising size", "used-up output iterator",
         "used-up inputs iterator", "unhashable in an inner iterator", "lying mapping", "forgetful mapping",
         "raising hash", "raising eq", "raising hash in output"],
)
def test_hostile_objects_get_the_documented_exceptions(inputs, output, sizes, expected):
    if expected is list:
        path = optimize(inputs, output, sizes)
        replay(inputs, output, {label: 1 if type(size) is GrowingIndex else 2 if type(size) is ClearingIndex
                                else size for label, size in sizes.items()}, path)
        return
    with pytest.raises(expected):
        optimize(inputs, output, sizes)


def test_labels_whose_hash_changes_give_a_valid_path_or_a_value_error():
    counter = iter(range(10**6))
    labels = [Label("x", hash_of=lambda: next(counter)) for _ in range(3)]
    result = checked([[labels[0], "b"], ["b", labels[1]]], [], {"b": 2, **{label: 2 for label in labels}})
    assert isinstance(result, (list, ValueError))


@pytest.mark.parametrize("target", ["terms", "term", "output", "sizes"])
def test_private_search_survives_lists_changed_while_read(target):
    # The extension reads its arguments itself: every list may change under it.
    terms, output, sizes = [[0, 1], [1, 2], [2, 3]], [0], [2, 3, 4, 5]
    hostile = {"terms": lambda: terms[1].__setitem__(0, ClearingIndex(1)),
               "term": lambda: terms[2].__setitem__(1, GrowingIndex()),
               "output": lambda: output.__setitem__(0, ClearingIndex(0)),
               "sizes": lambda: sizes.__setitem__(1, ClearingIndex(3))}
    hostile[target]()
    try:
        path = _search.search(terms, output, sizes, None, 500, False)
    except ALLOWED:
        return
    assert path is None or all(len(step) == 2 for step in path)


def _random_hostile_value(rng):
    """A size, id or label drawn from ordinary and hostile kinds."""
    return rng.choice([
        lambda: rng.randint(1, 6), lambda: ClearingIndex(rng.randint(1, 4)), GrowingIndex, FlippingIndex,
        RaisingIndex, lambda: True, lambda: 2.0, lambda: None, lambda: -1, lambda: 2**64,
    ])()


@pytest.mark.parametrize("seed", range(4))
def test_seeded_fuzz_of_sizes_and_labels(seed):
    rng = random.Random(seed)
    for _ in range(300):
        pool = [rng.choice(["a", "b", "c", Label("d"), Label("e", eq_raises=rng.random() < 0.2), 7, (1, 2)])
                for _ in range(rng.randint(1, 5))]
        inputs = [[rng.choice(pool) for _ in range(rng.randint(0, 3))] for _ in range(rng.randint(1, 9))]
        try:
            sizes = {label: _random_hostile_value(rng) for label in pool}
        except Boom:  # two equal labels whose __eq__ raises: the dict cannot hold them
            continue
        output = rng.sample(pool, rng.randint(0, len(pool)))
        kind = rng.choice([list, iter, tuple])
        result = checked(inputs, output, sizes, kind, memory_limit=rng.choice([None, None, 10**6]))
        assert isinstance(result, (list,) + ALLOWED + (Boom,)), result


def test_threads_changing_the_arguments_meanwhile():
    # Another thread rewrites the terms and sizes the call is reading; each call still returns a
    # valid path of whatever it read, or a documented error.
    inputs = [["a", "b"], ["b", "c"], ["c", "d"], ["d", "e"]] * 8
    sizes = dict.fromkeys("abcde", 3)
    stop = threading.Event()

    def meddle():
        rng = random.Random(1)
        while not stop.is_set():
            term = inputs[rng.randrange(len(inputs))]
            term[:] = rng.sample("abcde", rng.randint(1, 3))
            sizes[rng.choice("abcde")] = rng.choice([2, 3, 5, ClearingIndex(2)])

    meddler = threading.Thread(target=meddle)
    meddler.start()
    try:
        for _ in range(300):
            try:
                optimize(inputs, [], sizes)
            except ALLOWED:
                pass
    finally:
        stop.set()
        meddler.join()


# --- bounded work, memory, signals ------------------------------------------------------------


def test_work_limit_answers_with_a_greedy_path_at_once():
    # A star of 1,000 leaves: the search stops at its first count of work and the greedy tree
    # answers; the default limit bounds every capped search the same way.
    terms = [[0, i] for i in range(1, 1001)]
    sizes = [2 + i % 3 for i in range(1001)]
    path = _search.search(terms, [], sizes, None, 500, False, work_limit=1)
    replay(terms, [], dict(enumerate(sizes)), path)
    assert _search.search(terms, [], sizes, None, 500, False, max_time=0.0) == path


@pytest.mark.skipif(bool(os.environ.get("PLENEXA_SANITIZE")), reason="the sanitizers need the address space")
def test_exhaustive_search_out_of_memory_names_hash_map_cap():
    code = textwrap.dedent("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (500 << 20, 500 << 20))
        import plenexa_paths
        # A hub that every input but one holds: no label to set aside, every subset connected.
        star = [["c", i] for i in range(34)] + [[34]]
        sizes = {"c": 2, **dict.fromkeys(range(35), 2)}
        try:
            plenexa_paths.optimize(star, [], sizes, hash_map_cap=2**64 - 1)
        except MemoryError as error:
            print(error)
        print(plenexa_paths.optimize([["a", "b"], ["b"]], ["a"], {"a": 2, "b": 3}))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    message, after = run.stdout.splitlines()
    assert "hash_map_cap=18446744073709551615" in message and "smaller hash_map_cap" in message
    assert after == "[(0, 1)]"


# The tables' exhaustive search of a 40-vertex graph, the tree search of a 3,000-vertex one, and
# that of a model count of 20,800 tensors, whose first greedy trees once took minutes to notice.
SEARCHES = {"tables": ("regular_graph(40, 3, 40)", "hash_map_cap=2**64 - 1"),
            "trees": ("regular_graph(3000, 3, 1)", "threads=2"),
            "crowded": ("model_counting(4000, 16800, 0, True)[0]", "")}


@pytest.mark.parametrize("busy", [False, True], ids=["alone", "beside a busy thread"])
@pytest.mark.parametrize(
    "arm, expected, search",
    [
        ("pass", "KeyboardInterrupt", "tables"),  # the test sends SIGINT
        ("signal.signal(signal.SIGALRM, timeout); signal.setitimer(signal.ITIMER_REAL, 0.5)", "TimeoutError",
         "tables"),
        ("pass", "KeyboardInterrupt", "trees"),
        ("pass", "KeyboardInterrupt", "crowded"),
    ],
    ids=["ctrl-c", "alarm", "ctrl-c in the tree search", "ctrl-c on a crowded network"],
)
def test_signals_end_a_search_on_the_main_thread(arm, expected, search, busy):
    network, options = SEARCHES[search]
    code = textwrap.dedent(f"""
        import signal, sys, threading, time
        import plenexa_paths
        from networks import model_counting, regular_graph
        def timeout(*_):
            raise TimeoutError
        def spin():
            while True:
                pass
        if {busy}:
            threading.Thread(target=spin, daemon=True).start()
        inputs = {network}
        sizes = {{x: 2 for term in inputs for x in term}}
        {arm}
        print("searching", flush=True)
        try:
            plenexa_paths.optimize(inputs, [], sizes, {options})
        except BaseException as error:
            print(type(error).__name__, flush=True)
    """)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, cwd=os.path.dirname(networks.__file__))
    try:
        assert child.stdout.readline() == "searching\n"
        if arm == "pass":
            threading.Event().wait(0.5)
            child.send_signal(2)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    # Only a signal ends these searches early (each runs for seconds), so no clock is read here.
    assert out.split()[:1] == [expected], err


# What the progress callback of a search of 300 tensors does on its first report; after the
# search, the test sends SIGINT to itself.
NESTED = {
    # A nested search once wrapped the SIGINT wrapper: the next Ctrl-C spun forever.
    "a search": ("plenexa_paths.optimize(regular_graph(100, 3, 2), [], sizes)", "KeyboardInterrupt"),
    "two searches": ("plenexa_paths.optimize(regular_graph(100, 3, 2), [], sizes, progress=lambda *_: "
                     "plenexa_paths.optimize(regular_graph(70, 3, 3), [], sizes))", "KeyboardInterrupt"),
    # The handler the program chose during the search stays once it ends.
    "a new handler": ("signal.signal(signal.SIGINT, lambda *_: print('own handler', flush=True))", "own handler"),
}


@pytest.mark.parametrize("callback, expected", NESTED.values(), ids=NESTED)
def test_sigint_reaches_the_programs_handler_after_nested_searches(callback, expected):
    code = textwrap.dedent(f"""
        import os, signal
        import plenexa_paths
        from networks import regular_graph
        sizes = dict.fromkeys(range(1000), 2)
        calls = []
        def progress(*_):
            if not calls:
                calls.append({callback})
        plenexa_paths.optimize(regular_graph(300, 3, 1), [], sizes, threads=1, max_time=1, progress=progress)
        assert calls
        try:
            os.kill(os.getpid(), signal.SIGINT)
            for _ in range(100):
                pass
        except KeyboardInterrupt:
            print("KeyboardInterrupt", flush=True)
    """)
    # A spinning handler never lets the child end: the time-out only catches that hang.
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         cwd=os.path.dirname(networks.__file__))
    assert run.stdout.splitlines() == [expected], run.stderr


def test_a_search_on_another_thread_ignores_the_main_threads_signals():
    # Only the main thread runs signal handlers: a worker's search neither stops for them nor
    # swallows them, and the main thread still sees its KeyboardInterrupt.
    code = textwrap.dedent("""
        import _thread, threading, time
        import plenexa_paths
        from networks import regular_graph
        inputs = regular_graph(26, 3, 3)
        sizes = {x: 2 for term in inputs for x in term}
        result = []
        worker = threading.Thread(target=lambda: result.append(
            plenexa_paths.optimize(inputs, [], sizes, hash_map_cap=2**64 - 1)))
        worker.start()
        try:
            _thread.interrupt_main()
            time.sleep(5)
        except KeyboardInterrupt:
            print("main interrupted")
        worker.join()
        print(len(result[0]))
    """)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         cwd=os.path.dirname(networks.__file__))
    assert run.stdout.split("\n")[:2] == ["main interrupted", "25"], run.stderr
