"""Path corpora: the paths of many seeded networks, checked against recorded digests.

`python bench/corpus.py` computes the paths (or error texts) of every spec of two corpora and
compares their SHA-256 digests with the recorded ones: one digest per group of specs and one of
everything, so that a mismatch names the groups that changed. It exits non-zero on a mismatch.
`--corpus NAME` checks one corpus alone, `--groups NAME ...` only those groups; `--write` records
the digests of the chosen corpora instead (do that only from a build whose paths are known good).

optimize_dp (bench/corpus.sha256): EinsumSpec.optimize_dp on 11,000 random specs. Each group
draws its specs from one kind of network (bench/networks.py) with one seed sequence:
  free     free-form ids: repeats inside an input, single-input sums, outputs
  bonds    random graphs of bonds and open legs, often falling apart into several components
  lattice  chains, rings, trees, grids and 3-regular graphs
  wideids  the same networks with ids of 64 and more, far apart
  huge     sizes up to 2**64 - 1, so that caps grow and searches fall back
  limits   components of 64 and more inputs, and of more than 512 axes (errors)
and every spec gets its own caps: check_outer_op on or off, hash_map_cap_op default, small
or unbounded (unbounded only on networks small enough for the exact search), mem_cap_op
default, small or random.

plenexa_paths (bench/corpus_paths.sha256): `optimize`, and `plan` with a memory limit now and
then, on networks of three kinds:
  small   up to 8 inputs: free-form ids, bond graphs, lattices and small einsums
  tables  9 to 63 inputs, searched by the tables: hash_map_cap default, small, or None (exact)
          on networks of up to PATHS_EXACT_INPUTS inputs
  tree    64 to 300 inputs, searched by the tree search: random regular graphs, grids, circuits,
          trees, chains, matrix products; each searched with 1, 2 and 4 threads, which must
          give the same outcome (a difference is written to stderr and changes the digest)
with a `minimize` objective, a seed, hash_map_cap, check_outer and a memory limit drawn per
spec (each left at its default now and then), and labels that are ints, strs or tuples (so that
a path that followed the hash order of strs would differ between runs). These digests pin
determinism, across runs, thread counts and machines (the aarch64 wheel under emulation
included), not the quality of the paths: a change to the search that finds other paths (a
deadline, costs in log space) records them anew with `--write`.
"""

from __future__ import annotations

import argparse
import hashlib
import pathlib
import random
import sys
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import networks as net
import plenexa_paths
from plenexa import EinsumSpec

MAX = 2**64 - 1
HERE = pathlib.Path(__file__).parent


@dataclass(frozen=True)
class Corpus:
    """One function's seeded corpus: its kinds of specs, how one is drawn and run, and the file
    that records its digests."""

    name: str
    reference: pathlib.Path
    # Kind of network -> (number of groups, specs per group).
    kinds: dict[str, tuple[int, int]]
    # The `index`-th spec of a kind.
    spec: Callable[[str, int], Any]
    # A spec's outcome as text: the path, or the error's type and text.
    outcome: Callable[[Any], str]

    def groups(self) -> Iterator[tuple[str, str, range]]:
        """Group names in order, with the kind each draws from and its spec indices."""
        for kind, (count, size) in self.kinds.items():
            for g in range(count):
                yield f"{kind}-{g}", kind, range(g * size, (g + 1) * size)

    def digest_group(self, kind: str, indices: range) -> str:
        """SHA-256 of the outcomes of one group's specs, one line each."""
        h = hashlib.sha256()
        for index in indices:
            h.update(f"{index} {self.outcome(self.spec(kind, index))}\n".encode())
        return h.hexdigest()

    def compute(self, selected: set[str] | None = None) -> dict[str, str]:
        """Digest per selected group (all by default), in order."""
        return {
            name: self.digest_group(kind, indices)
            for name, kind, indices in self.groups()
            if selected is None or name in selected
        }

    def read_reference(self) -> dict[str, str]:
        """The recorded digests, by group name, with the overall one under "all"."""
        recorded = {}
        for line in self.reference.read_text().splitlines():
            if line and not line.startswith("#"):
                digest, name = line.split()
                recorded[name] = digest
        return recorded

    def mismatches(self, digests: dict[str, str], recorded: dict[str, str]) -> list[str]:
        """Names of the groups (and "all", when every group was computed) that differ from the
        record."""
        wrong = [name for name, d in digests.items() if recorded.get(name) != d]
        if len(digests) == sum(count for count, _ in self.kinds.values()) and recorded.get("all") != overall(digests):
            wrong.append("all")
        return wrong

    def write(self, digests: dict[str, str]) -> None:
        """Records every group's digest and the overall one."""
        lines = [f"# SHA-256 of {self.name} outcomes per group of bench/corpus.py, then of all groups"]
        lines += [f"{d}  {name}" for name, d in digests.items()] + [f"{overall(digests)}  all"]
        self.reference.write_text("\n".join(lines) + "\n")

    def specs_in(self, digests: dict[str, str]) -> int:
        """How many specs the groups of `digests` hold."""
        return sum(len(indices) for name, _, indices in self.groups() if name in digests)


def overall(digests: dict[str, str]) -> str:
    """One digest of every group's digest."""
    return hashlib.sha256("".join(f"{name} {d}\n" for name, d in digests.items()).encode()).hexdigest()


def error_text(error: BaseException) -> str:
    """An error's type and text; KeyboardInterrupt goes on."""
    if isinstance(error, KeyboardInterrupt):
        raise error
    return f"{type(error).__name__}: {error}"


# --- optimize_dp -----------------------------------------------------------------------

# Networks with at most this many inputs may be searched exhaustively.
EXACT_INPUTS = 12


def dp_caps(rng: random.Random, n_inputs: int) -> dict[str, Any]:
    """Keyword caps for one call. Networks beyond the exact search mostly get small hash
    map caps, so that the whole corpus runs in about a minute."""
    caps: dict[str, Any] = {}
    small = n_inputs <= 14
    if rng.random() < (0.3 if small else 0.1):
        caps["check_outer_op"] = True
    pick = rng.random()
    if pick < 0.2 and n_inputs <= EXACT_INPUTS:
        caps["hash_map_cap_op"] = MAX
    elif pick < 0.45 or not small:
        caps["hash_map_cap_op"] = rng.choice([1, 2, 3, 7, 20, 64, 200] if small else [1, 2, 3, 7, 20])
    if not small and "check_outer_op" not in caps and rng.random() < 0.1:
        del caps["hash_map_cap_op"]  # now and then the default cap on a big network
    pick = rng.random()
    if pick < 0.15:
        caps["mem_cap_op"] = rng.choice([0, 1, 2, 16])
    elif pick < 0.3:
        caps["mem_cap_op"] = rng.randint(1, 2**20)
    return caps


def dp_spec(kind: str, index: int) -> tuple[Any, ...]:
    """The `index`-th spec of its kind: (inputs, output, sizes, caps)."""
    rng = random.Random(f"{kind}:{index}")
    n = rng.randint(2, 40) if rng.random() < 0.4 else rng.randint(2, 14)
    if kind == "free":
        inputs, output = net.free_form(rng, n)
    elif kind == "bonds":
        inputs, output = net.bond_graph(rng, n)
    elif kind == "lattice":
        inputs, output = net.lattice_like(rng, n)
    elif kind == "wideids":
        inputs, output = rng.choice([net.free_form, net.bond_graph, net.lattice_like])(rng, n)
        inputs, output = net.spread_ids(rng, inputs, output)
    elif kind == "huge":
        inputs, output = rng.choice([net.free_form, net.bond_graph, net.lattice_like])(rng, n)
    else:
        inputs, output = net.past_the_limits(rng)
    sizes = net.drawn_sizes(rng, inputs, kind == "huge")
    return inputs, output, sizes, dp_caps(rng, len(inputs))


def dp_outcome(spec: tuple[Any, ...]) -> str:
    """The path as text, or the error's type and text."""
    inputs, output, sizes, caps = spec
    try:
        return repr(EinsumSpec(inputs, output, sizes).optimize_dp(**caps))
    except BaseException as error:  # the panics of the binding are not Exceptions
        return error_text(error)


DP = Corpus(
    name="optimize_dp",
    reference=HERE / "corpus.sha256",
    kinds={"free": (5, 500), "bonds": (5, 500), "lattice": (5, 500), "wideids": (3, 500), "huge": (3, 500),
           "limits": (1, 500)},
    spec=dp_spec,
    outcome=dp_outcome,
)


# --- plenexa_paths ---------------------------------------------------------------------

# The thread counts every tree-search spec runs with; their outcomes must agree.
TREE_THREADS = (1, 2, 4)
# Networks with at most this many inputs may be searched exhaustively (hash_map_cap=None): a
# few milliseconds each at 16.
PATHS_EXACT_INPUTS = 16
MINIMIZE = ["flops", "flops", "flops", "size", "write", "combo", "combo-256", "combo-0.5"]


@dataclass(frozen=True)
class PathsSpec:
    """One call of plenexa_paths: `optimize`, or `plan` with a memory limit."""

    origin: str  # kind:index, to run it again
    call: str
    inputs: list[list[Any]]
    output: list[Any]
    sizes: dict[Any, int]
    options: dict[str, Any]
    # Thread counts to run it with, each giving the same outcome (None: the default).
    threads: tuple[int | None, ...]


def relabelled(rng: random.Random, network: net.Network) -> net.Network:
    """The network with its int labels kept, or renamed to strs or tuples; the sizes in a
    shuffled order."""
    inputs, output, sizes = network
    style = rng.choice(["int", "str", "tuple"])
    if style == "int":
        name: Callable[[int], Any] = lambda x: x
    elif style == "str":
        prefix = rng.choice(["", "bond", "ä", "x_"])
        name = lambda x: f"{prefix}{x}"
    else:
        name = lambda x: ("leg", x % 7, str(x))
    order = list(sizes)
    rng.shuffle(order)
    return [[name(x) for x in axes] for axes in inputs], [name(x) for x in output], {name(x): sizes[x] for x in order}


def with_sizes(rng: random.Random, inputs: net.Inputs, output: list[int]) -> net.Network:
    """A drawn network with drawn sizes, now and then a huge one."""
    return inputs, output, net.drawn_sizes(rng, inputs, rng.random() < 0.1)


def small_network(rng: random.Random) -> net.Network:
    """A network of 1 to 8 inputs."""
    n = rng.randint(1, 8)
    family = rng.choice(["free", "bonds", "lattice", "einsum"])
    if family == "einsum" and n >= 3:
        return net.random_einsum(n, rng.getrandbits(32))
    if family in ("bonds", "lattice") and n >= 2:
        return with_sizes(rng, *(net.bond_graph if family == "bonds" else net.lattice_like)(rng, n))
    return with_sizes(rng, *net.free_form(rng, n))


def tables_network(rng: random.Random) -> net.Network:
    """A network of 9 to 63 inputs, mostly smaller than 30, whose components the tables search."""
    n = rng.randint(9, 63) if rng.random() < 0.3 else rng.randint(9, 30)
    seed = rng.getrandbits(32)
    family = rng.choice(["bonds", "lattice", "free", "einsum", "regular", "grid", "tree", "chain", "circuit", "mps"])
    if family == "bonds":
        return with_sizes(rng, *net.bond_graph(rng, n))
    if family == "lattice":
        return with_sizes(rng, *net.lattice_like(rng, n))
    if family == "free":
        return with_sizes(rng, *net.free_form(rng, n))
    if family == "einsum":
        return net.random_einsum(n, seed)
    if family == "regular":
        return net.mixed(net.regular_graph(n, rng.choice([3, 4]), seed), seed)
    if family == "grid":
        rows = rng.randint(3, 7)
        return net.bond2(net.grid(rows, max(3, n // rows)))
    if family == "tree":
        return net.tree(n, seed)
    if family == "chain":
        return net.matrix_chain(n, seed)
    if family == "circuit":
        return net.random_pair_circuit(rng.randint(4, 8), n - 8, seed)
    return net.mps_norm(max(5, n // 2), 6, seed)


# The tree search's families, one per spec in turn. A search takes 0.1 to 0.8 s on a loaded
# 2-core machine (three per spec), the dearest those of regular graphs, grids, brick-work
# circuits and long MPS norms, so the first three stay near 64 inputs. The trees go through
# `plan` with a memory limit: the tree search's sliced plans.
TREE_FAMILIES = ["regular", "tree", "grid", "chain", "matrices", "circuit", "brickwork", "mps", "lattice", "ladder"]


def tree_network(rng: random.Random, family: str) -> net.Network:
    """A network of 64 to 300 inputs for the tree search, the dear families kept near 64."""
    seed = rng.getrandbits(32)
    if family == "regular":
        graph = net.regular_graph(rng.randint(64, 72), 3, seed)
        return net.bond2(graph) if rng.random() < 0.5 else net.mixed(graph, seed)
    if family == "grid":
        return net.mixed(net.grid(8, rng.randint(8, 9)), seed)
    if family == "circuit":
        return net.random_pair_circuit(8, rng.randint(56, 62), seed)
    if family == "brickwork":
        return net.brickwork_circuit(12, 10, amplitude=rng.random() < 0.5)
    if family == "tree":
        return net.tree(rng.randint(64, 200), seed, open_legs=rng.random() < 0.5)
    if family == "chain":
        return net.closed_chain(rng.randint(64, 300))
    if family == "matrices":
        return net.matrix_chain(rng.randint(64, 300), seed)
    if family == "mps":
        return net.mps_norm(rng.randint(32, 100), 8, seed)
    if family == "lattice":
        return net.lattice_circuit(4, 4, rng.randint(6, 8), seed)
    return net.ladder(rng.randint(32, 60), seed)


def paths_options(rng: random.Random, kind: str, n_inputs: int) -> dict[str, Any]:
    """Keyword options for one call, each left at its default now and then."""
    options: dict[str, Any] = {}
    if rng.random() < 0.4:
        options["minimize"] = rng.choice(MINIMIZE)
    pick = rng.random()
    if pick < 0.3:
        options["seed"] = rng.choice([1, 7, 2**32, MAX])
    elif pick < 0.5:
        options["seed"] = rng.getrandbits(64)
    pick = rng.random()
    if pick < 0.25 and n_inputs <= PATHS_EXACT_INPUTS:
        options["hash_map_cap"] = None
    elif pick < 0.35:
        options["hash_map_cap"] = rng.choice([1, 2, 8, 64])
    if kind != "tree" and rng.random() < 0.2:
        options["check_outer"] = True
    pick = rng.random()
    if pick < 0.1 and kind != "tree":  # often no path meets it, found only after a whole search
        options["memory_limit"] = "max_input"
    elif pick < 0.25:
        options["memory_limit"] = rng.choice([1, 16, 2**10, 2**16, 2**24])
    if kind != "tree":
        options["threads"] = rng.choice([None, 1, 2])
    return options


def paths_spec(kind: str, index: int) -> PathsSpec:
    """The `index`-th spec of its kind."""
    rng = random.Random(f"paths-{kind}:{index}")
    if kind == "tree":
        family = TREE_FAMILIES[index % len(TREE_FAMILIES)]
        inputs, output, sizes = relabelled(rng, tree_network(rng, family))
        options = paths_options(rng, kind, len(inputs))
        call = "plan" if family == "tree" else "optimize"
        if call == "plan":
            options["memory_limit"] = rng.choice([2**4, 2**8, 2**12])
        return PathsSpec(f"{kind}:{index}", call, inputs, output, sizes, options, TREE_THREADS)
    inputs, output, sizes = relabelled(rng, small_network(rng) if kind == "small" else tables_network(rng))
    options = paths_options(rng, kind, len(inputs))
    call = "optimize"
    if rng.random() < 0.1:
        call = "plan"
        options["memory_limit"] = rng.choice([1, 2**4, 2**8, 2**12, "max_input"])
    return PathsSpec(f"{kind}:{index}", call, inputs, output, sizes, options, (None,))


def paths_once(spec: PathsSpec, threads: int | None) -> str:
    """The outcome of one run of the call."""
    options = spec.options if threads is None else {**spec.options, "threads": threads}
    try:
        if spec.call == "optimize":
            return repr(plenexa_paths.optimize(spec.inputs, spec.output, spec.sizes, **options))
        p = plenexa_paths.plan(spec.inputs, spec.output, spec.sizes, **options)
        return repr((p.path, p.sliced, p.slices, p.flops, p.largest, p.write))
    except BaseException as error:
        return error_text(error)


def paths_outcome(spec: PathsSpec) -> str:
    """The outcome of the call, the same with every thread count of the spec; a difference
    is written to stderr and every outcome to the digest."""
    outcomes = {threads: paths_once(spec, threads) for threads in spec.threads}
    if len(set(outcomes.values())) == 1:
        return outcomes[spec.threads[0]]
    print(f"threads change the outcome of plenexa_paths spec {spec.origin}: {outcomes}", file=sys.stderr)
    return repr(outcomes)


PATHS = Corpus(
    name="plenexa_paths",
    reference=HERE / "corpus_paths.sha256",
    kinds={"small": (3, 200), "tables": (2, 40), "tree": (2, 5)},
    spec=paths_spec,
    outcome=paths_outcome,
)

CORPORA = {corpus.name: corpus for corpus in (DP, PATHS)}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", choices=list(CORPORA), help="check (or record) this corpus alone")
    parser.add_argument("--groups", nargs="*", help="check only these groups")
    parser.add_argument("--write", action="store_true", help="record the digests of every group of the corpora")
    args = parser.parse_args()
    corpora = [CORPORA[args.corpus]] if args.corpus else list(CORPORA.values())
    names = {name for corpus in corpora for name, _, _ in corpus.groups()}
    unknown = set(args.groups or []) - names
    if unknown:
        parser.error(f"unknown groups {sorted(unknown)}; known: {' '.join(sorted(names))}")
    if args.write and args.groups:
        parser.error("--write records every group of a corpus; leave out --groups")
    failed = False
    for corpus in corpora:
        start = time.perf_counter()
        digests = corpus.compute(set(args.groups) if args.groups else None)
        elapsed = time.perf_counter() - start
        if not digests:
            continue
        count = corpus.specs_in(digests)
        if args.write:
            corpus.write(digests)
            print(f"{corpus.name}: recorded {count} specs in {corpus.reference.name} ({elapsed:.1f} s)")
            continue
        wrong = corpus.mismatches(digests, corpus.read_reference())
        if wrong:
            print(f"{corpus.name}: MISMATCH in {', '.join(wrong)} ({count} specs, {elapsed:.1f} s)")
            failed = True
        else:
            print(f"{corpus.name}: {count} specs match {corpus.reference.name} ({elapsed:.1f} s)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
