"""The path cache: what shares an entry and what does not, the disk's files under damage and
under several processes at once, and the default cache that optimize and opt_einsum's path
function use."""

import json
import os
import subprocess
import sys
import textwrap

import opt_einsum
import pytest

import plenexa_paths
from plenexa_paths import Optimizer, optimize, set_default_cache
from plenexa_paths._paths import opt_einsum_path
from replay import measure

CHAIN = (["ab", "bc", "cd"], "ad", {"a": 2, "b": 30, "c": 40, "d": 5})


@pytest.fixture
def default_cache():
    """The default cache switched on for one test, and off after it."""
    set_default_cache(True)
    yield plenexa_paths._paths._default_cache
    set_default_cache(False)


def poison(cache, path):
    """Every path the cache holds in memory replaced by `path`: a later call that returns it was
    served from the cache."""
    for table in (cache._exact, cache._canonical):
        for key in table:
            table[key] = list(path)


def renamed(inputs, output, sizes, names):
    """The network with every label renamed through `names`."""
    return ([[names[x] for x in term] for term in inputs], [names[x] for x in output],
            {names[x]: size for x, size in sizes.items()})


A, B, C, D = "wxyz"
# (second call's network, its options, served by the first call's entry): the first call is
# CHAIN with the default options.
SHARING = {
    "same": (CHAIN, {}, True),
    "renamed": (renamed(*CHAIN, {"a": A, "b": B, "c": C, "d": D}), {}, True),
    "labels of other types": (renamed(*CHAIN, {"a": 0, "b": (1,), "c": None, "d": 2.5}), {}, True),
    "tuples": (([("a", "b"), ("b", "c"), ("c", "d")], ("a", "d"), CHAIN[2]), {}, True),
    "threads": (CHAIN, {"threads": 1}, True),
    "progress": (CHAIN, {"progress": lambda *report: None}, True),
    "other sizes": ((CHAIN[0], CHAIN[1], {**CHAIN[2], "b": 31}), {}, False),
    "other output": ((CHAIN[0], "da", CHAIN[2]), {}, False),
    "other order of inputs": ((CHAIN[0][::-1], CHAIN[1], CHAIN[2]), {}, False),
    "hash_map_cap": (CHAIN, {"hash_map_cap": 7}, False),
    "check_outer": (CHAIN, {"check_outer": True}, False),
    "seed": (CHAIN, {"seed": 1}, False),
    "minimize": (CHAIN, {"minimize": "size"}, False),
    "memory_limit": (CHAIN, {"memory_limit": 10**6}, False),
    "max_time": (CHAIN, {"max_time": 10.0}, False),
}


@pytest.mark.parametrize("case", SHARING)
def test_what_shares_an_entry(case, default_cache):
    (inputs, output, sizes), options, shared = SHARING[case]
    optimize(*CHAIN)
    poison(default_cache, [(1, 2), (0, 1)])  # valid for three inputs, and not the path found
    assert optimize(*CHAIN) == [(1, 2), (0, 1)]
    found = optimize(inputs, output, sizes, **options)
    if shared:
        assert found == [(1, 2), (0, 1)]
    else:
        set_default_cache(False)
        assert found == optimize(inputs, output, sizes, **options)  # the search's own answer


def test_max_time_is_neither_served_nor_kept(default_cache):
    optimize(*CHAIN, max_time=10.0)
    assert len(default_cache) == 0 and not default_cache._exact


@pytest.mark.parametrize("make", [
    lambda: Optimizer(cache=True),
    lambda: (lambda *args: (set_default_cache(True), opt_einsum_path(*args))[1]),
], ids=["Optimizer", "opt_einsum_path"])
def test_each_path_function_keeps_paths_and_hands_out_copies(make):
    path_function = make()
    try:
        first = path_function(*CHAIN)
        first.append("changed by the caller")
        assert path_function(*CHAIN) == path_function([set(t) for t in CHAIN[0]], set(CHAIN[1]), CHAIN[2]) \
            == first[:-1]
        result = opt_einsum.contract_path("ab,bc,cd->ad", (2, 30), (30, 40), (40, 5), shapes=True,
                                          optimize=path_function if isinstance(path_function, Optimizer) else "plenexa")
        assert len(result[0]) == 2
    finally:
        set_default_cache(False)


def test_bad_input_is_refused_with_a_cache_too(default_cache):
    # A hit must not let through what the search refuses: sizes that equal ints without being
    # ints, a missing size, an iterator's terms (read once, never kept by identity).
    optimize(*CHAIN)
    for sizes in ({**CHAIN[2], "b": 30.0}, {k: v for k, v in CHAIN[2].items() if k != "b"}):
        with pytest.raises((TypeError, ValueError), match="size"):
            optimize(CHAIN[0], CHAIN[1], sizes)
    terms = iter([iter("ab"), iter("bc"), iter("cd")])
    assert optimize(terms, CHAIN[1], CHAIN[2]) == optimize(*CHAIN)
    with pytest.raises(TypeError, match="cache must be a bool or a directory, got int 3"):
        Optimizer(cache=3)
    with pytest.raises(TypeError, match="cache must be a bool or a directory"):
        set_default_cache(b"bytes")


def test_setting_options_anew_keys_them(tmp_path):
    optimizer = Optimizer(cache=True)
    optimizer(*CHAIN)
    poison(optimizer._arguments[3], [(1, 2), (0, 1)])
    optimizer.threads = 1  # the cache is kept ...
    assert optimizer(*CHAIN) == [(1, 2), (0, 1)]
    optimizer.seed = 5  # ... and the seed keys its entries
    assert optimizer(*CHAIN) == optimize(*CHAIN, seed=5)
    optimizer.cache = str(tmp_path)  # a new cache
    assert optimizer(*CHAIN) == optimize(*CHAIN, seed=5) and len(os.listdir(tmp_path)) == 1


# --- on disk ---------------------------------------------------------------------------------

DAMAGE = {
    "empty": lambda text: "",
    "cut short": lambda text: text[: len(text) // 2],
    "not json": lambda text: "\x00\xff garbage",
    "other key": lambda text: json.dumps({**json.loads(text), "key": "another network"}),
    "position out of range": lambda text: json.dumps({**json.loads(text), "path": [[0, 7], [0, 1]]}),
    "too few steps": lambda text: json.dumps({**json.loads(text), "path": [[0, 1]]}),
    "repeated position": lambda text: json.dumps({**json.loads(text), "path": [[0, 0], [0, 1]]}),
    "path not a list": lambda text: json.dumps({**json.loads(text), "path": {"a": 1}}),
    "not an object": lambda text: "[1, 2]",
    "deeply nested": lambda text: "[" * 100000 + "]" * 100000,
}


@pytest.mark.parametrize("damage", DAMAGE)
def test_a_damaged_file_is_a_miss_and_is_written_again(damage, tmp_path):
    expected = optimize(*CHAIN)
    Optimizer(cache=tmp_path)(*CHAIN)
    (name,) = os.listdir(tmp_path)
    file = tmp_path / name
    file.write_text(DAMAGE[damage](file.read_text()), encoding="utf-8", errors="surrogateescape")
    assert Optimizer(cache=tmp_path)(*CHAIN) == expected  # a fresh memory: the disk is read
    assert json.loads(file.read_text())["path"] == [list(step) for step in expected]
    assert os.listdir(tmp_path) == [name]  # no temporary file left behind


def test_the_disk_serves_a_new_process_whatever_its_hashing(tmp_path):
    # opt_einsum passes frozensets, whose order follows the process's string hashing: the key
    # must not. Two processes of other hash seeds share one file, the second served from it
    # (its path poisoned into the file in between).
    code = textwrap.dedent(f"""
        import opt_einsum, plenexa_paths
        shapes = [(2, 3, 4), (5, 4, 3), (5, 6), (6, 2, 7)]
        path = opt_einsum.contract_path("abc,dcb,de,eaf->f", *shapes, shapes=True,
                                        optimize=plenexa_paths.Optimizer(cache={str(tmp_path)!r}))[0]
        print(path)
    """)
    run = lambda seed: subprocess.run([sys.executable, "-c", code], env={**os.environ, "PYTHONHASHSEED": seed},
                                      capture_output=True, text=True, timeout=120)
    first = run("1")
    assert first.returncode == 0, first.stderr
    (name,) = os.listdir(tmp_path)
    stored = json.loads((tmp_path / name).read_text())
    stored["path"] = [[2, 3], [0, 1], [0, 1]]
    (tmp_path / name).write_text(json.dumps(stored))
    second = run("2")
    assert second.returncode == 0, second.stderr
    assert second.stdout.strip() == "[(2, 3), (0, 1), (0, 1)]" and os.listdir(tmp_path) == [name]


def test_several_processes_share_a_directory(tmp_path):
    # Four processes write the same 30 networks' files at once: every file is whole and holds a
    # valid path, and no temporary file is left.
    code = textwrap.dedent(f"""
        import sys, plenexa_paths
        optimizer = plenexa_paths.Optimizer(cache={str(tmp_path)!r})
        for n in range(3, 33):
            terms = [(k, k + 1) for k in range(n)]
            optimizer(terms, (0, n), {{k: 2 + (k * 7 + int(sys.argv[1])) % 2 for k in range(n + 1)}})
    """)
    workers = [subprocess.Popen([sys.executable, "-c", code, str(k % 2)]) for k in range(4)]
    assert [worker.wait(timeout=300) for worker in workers] == [0] * 4
    names = os.listdir(tmp_path)
    assert len(names) == 60 and all(name.endswith(".json") and not name.startswith(".") for name in names)
    for name in names:
        stored = json.loads((tmp_path / name).read_text())
        n = stored["key"].count("), (") + 1  # the inputs of a chain, as the key spells them
        assert n >= 3 and stored["path"]


def test_a_directory_that_cannot_be_written_leaves_the_cache_in_memory(tmp_path):
    # The directory replaced by a file after the cache made it (root writes into any directory).
    directory = tmp_path / "paths"
    optimizer = Optimizer(cache=directory)
    directory.rmdir()
    directory.write_text("not a directory")
    assert optimizer(*CHAIN) == optimize(*CHAIN) and len(optimizer._arguments[3]) == 1
    assert sorted(os.listdir(tmp_path)) == ["paths"]
    with pytest.raises(OSError):
        Optimizer(cache=directory)


def test_paths_found_through_the_cache_are_valid_for_their_network(default_cache):
    # Networks of one shape under many namings and sizes: each answer a valid path of its own
    # network, whether searched or served.
    import random

    rng = random.Random(5)
    for _ in range(200):
        n = rng.randint(1, 6)
        pool = rng.sample("abcdefghij", 5)
        inputs = ["".join(rng.sample(pool, rng.randint(1, 3))) for _ in range(n)]
        used = sorted(set("".join(inputs)))
        output = "".join(rng.sample(used, rng.randint(0, min(2, len(used)))))
        sizes = {x: rng.randint(1, 3) for x in pool}
        measure(inputs, output, sizes, optimize(inputs, output, sizes), pairwise=n > 1)
    assert 0 < len(default_cache) <= 200
