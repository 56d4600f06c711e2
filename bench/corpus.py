"""Path corpus: EinsumSpec.optimize_dp on many seeded random specs, checked against a digest.

`python bench/corpus.py` computes the paths (or error texts) of every spec and compares
their SHA-256 digests with bench/corpus.sha256: one digest per group of specs and one of
everything, so a mismatch names the groups that changed. It exits non-zero on a mismatch.
`--write` records the digests instead; do that only from a build whose paths are known good.
`--groups NAME ...` checks only those groups.

Each group draws its specs from one kind of network (bench/networks.py) with one seed sequence:
  free     free-form ids: repeats inside an input, single-input sums, outputs
  bonds    random graphs of bonds and open legs, often falling apart into several components
  lattice  chains, rings, trees, grids and 3-regular graphs
  wideids  the same networks with ids of 64 and more, far apart
  huge     sizes up to 2**64 - 1, so that caps grow and searches fall back
  limits   components of 64 and more inputs, and of more than 512 axes (errors)
and every spec gets its own caps: check_outer_op on or off, hash_map_cap_op default, small
or unbounded (unbounded only on networks small enough for the exact search), mem_cap_op
default, small or random.
"""

import argparse
import hashlib
import pathlib
import random
import sys
import time

from networks import bond_graph, drawn_sizes, free_form, lattice_like, past_the_limits, spread_ids
from plenexa import EinsumSpec

MAX = 2**64 - 1
REFERENCE = pathlib.Path(__file__).with_name("corpus.sha256")
SPECS_PER_GROUP = 500
# Kind of network and number of groups of SPECS_PER_GROUP specs drawn from it.
KINDS = {"free": 5, "bonds": 5, "lattice": 5, "wideids": 3, "huge": 3, "limits": 1}
# Networks with at most this many inputs may be searched with hash_map_cap_op unbounded.
EXACT_INPUTS = 12


def caps_for(rng, n_inputs):
    """Keyword caps for one call. Networks beyond the exact search mostly get small hash
    map caps, so that the whole corpus runs in about a minute."""
    caps = {}
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


def spec(kind, index):
    """The `index`-th spec of its kind: (inputs, output, sizes, caps)."""
    rng = random.Random(f"{kind}:{index}")
    n = rng.randint(2, 40) if rng.random() < 0.4 else rng.randint(2, 14)
    if kind == "free":
        inputs, output = free_form(rng, n)
    elif kind == "bonds":
        inputs, output = bond_graph(rng, n)
    elif kind == "lattice":
        inputs, output = lattice_like(rng, n)
    elif kind == "wideids":
        inputs, output = rng.choice([free_form, bond_graph, lattice_like])(rng, n)
        inputs, output = spread_ids(rng, inputs, output)
    elif kind == "huge":
        inputs, output = rng.choice([free_form, bond_graph, lattice_like])(rng, n)
    else:
        inputs, output = past_the_limits(rng)
    sizes = drawn_sizes(rng, inputs, kind == "huge")
    return inputs, output, sizes, caps_for(rng, len(inputs))


def outcome(inputs, output, sizes, caps):
    """The path as text, or the error's type and text."""
    try:
        return repr(EinsumSpec(inputs, output, sizes).optimize_dp(**caps))
    except BaseException as error:  # the panics of the binding are not Exceptions
        if isinstance(error, KeyboardInterrupt):
            raise
        return f"{type(error).__name__}: {error}"


def groups():
    """Group names in order, with the kind each draws from and its first spec index."""
    for kind, count in KINDS.items():
        for g in range(count):
            yield f"{kind}-{g}", kind, g * SPECS_PER_GROUP


def digest_group(kind, start):
    """SHA-256 of the outcomes of one group's specs, one line each."""
    h = hashlib.sha256()
    for index in range(start, start + SPECS_PER_GROUP):
        h.update(f"{index} {outcome(*spec(kind, index))}\n".encode())
    return h.hexdigest()


def compute(selected=None):
    """Digest per selected group (all by default), in order."""
    return {name: digest_group(kind, start) for name, kind, start in groups() if selected is None or name in selected}


def overall(digests):
    """One digest of every group's digest."""
    return hashlib.sha256("".join(f"{name} {d}\n" for name, d in digests.items()).encode()).hexdigest()


def read_reference():
    """The recorded digests, by group name, with the overall one under "all"."""
    recorded = {}
    for line in REFERENCE.read_text().splitlines():
        if line and not line.startswith("#"):
            digest, name = line.split()
            recorded[name] = digest
    return recorded


def mismatches(digests, recorded):
    """Names of the groups (and "all", when every group was computed) that differ from the record."""
    wrong = [name for name, d in digests.items() if recorded.get(name) != d]
    if len(digests) == sum(KINDS.values()) and recorded.get("all") != overall(digests):
        wrong.append("all")
    return wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="record the digests in bench/corpus.sha256")
    parser.add_argument("--groups", nargs="*", help="check only these groups")
    args = parser.parse_args()
    names = [name for name, _, _ in groups()]
    unknown = set(args.groups or []) - set(names)
    if unknown:
        parser.error(f"unknown groups {sorted(unknown)}; known: {' '.join(names)}")
    start = time.perf_counter()
    digests = compute(set(args.groups) if args.groups else None)
    elapsed = time.perf_counter() - start
    count = len(digests) * SPECS_PER_GROUP
    if args.write:
        lines = ["# SHA-256 of optimize_dp outcomes per group of bench/corpus.py, then of all groups"]
        lines += [f"{d}  {name}" for name, d in digests.items()] + [f"{overall(digests)}  all"]
        REFERENCE.write_text("\n".join(lines) + "\n")
        print(f"recorded {count} specs in {REFERENCE.name} ({elapsed:.1f} s)")
        return 0
    wrong = mismatches(digests, read_reference())
    if wrong:
        print(f"MISMATCH in {', '.join(wrong)} ({count} specs, {elapsed:.1f} s)")
        return 1
    print(f"{count} specs match {REFERENCE.name} ({elapsed:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
