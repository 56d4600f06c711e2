"""Seeded tensor networks for the tests, the benchmarks and the path corpus.

A network is (inputs, output, sizes): per tensor the ids of its axes, the ids that the output
keeps, and the size of every id. Graph families give the inputs alone, one axis per edge (`bond2`
and `mixed` close them with sizes); the other families give whole networks from a seed. The
draws at the end take the caller's generator, so that a sequence of draws (the corpus's) stays
as it is. The benchmarks' tables and the corpus's digests pin every network made here: a change
to a generator changes them, so a new shape gets a new function.
"""

from __future__ import annotations

import itertools
import random
from collections.abc import Callable

Inputs = list[list[int]]
Network = tuple[Inputs, list[int], dict[int, int]]

# Bond sizes of the "mixed" networks, drawn uniformly between these bounds.
BOND_LOW, BOND_HIGH = 2, 5


# --- graphs ----------------------------------------------------------------------------


def edges_to_inputs(n: int, edges: list[tuple[int, int]]) -> Inputs:
    """The axis lists of n tensors joined by `edges`, edge k being axis k."""
    inputs: Inputs = [[] for _ in range(n)]
    for e, (a, b) in enumerate(edges):
        inputs[a].append(e)
        inputs[b].append(e)
    return inputs


def regular_graph(n: int, degree: int, seed: int) -> Inputs:
    """A random simple `degree`-regular graph on n vertices: one axis per edge. When
    n * degree is odd, the last vertex has one edge fewer."""
    rng = random.Random(seed)
    while True:
        stubs = [v for v in range(n) for _ in range(degree)][: n * degree // 2 * 2]
        rng.shuffle(stubs)
        edges = {(min(a, b), max(a, b)) for a, b in zip(stubs[::2], stubs[1::2])}
        if len(edges) == len(stubs) // 2 and all(a != b for a, b in edges):
            return edges_to_inputs(n, sorted(edges))


def lattice_edges(rows: int, cols: int) -> list[tuple[int, int]]:
    """The bonds of a rows x cols square lattice, tensors numbered row by row."""
    def at(r: int, c: int) -> int:
        return r * cols + c

    edges = [(at(r, c), at(r, c + 1)) for r in range(rows) for c in range(cols - 1)]
    return edges + [(at(r, c), at(r + 1, c)) for r in range(rows - 1) for c in range(cols)]


def grid(rows: int, cols: int) -> Inputs:
    """A rows x cols square lattice: one axis per bond."""
    return edges_to_inputs(rows * cols, lattice_edges(rows, cols))


def cube(side: int) -> Inputs:
    """A side x side x side cubic lattice: one axis per bond."""
    def at(x: int, y: int, z: int) -> int:
        return (x * side + y) * side + z

    edges = []
    for x, y, z in itertools.product(range(side), repeat=3):
        edges += [(at(x, y, z), at(*n)) for n in ((x + 1, y, z), (x, y + 1, z), (x, y, z + 1)) if max(n) < side]
    return edges_to_inputs(side**3, edges)


def bond2(inputs: Inputs) -> Network:
    """A closed network with every axis of size 2."""
    return inputs, [], {x: 2 for axes in inputs for x in axes}


def mixed(inputs: Inputs, seed: int) -> Network:
    """A closed network with bond sizes drawn from BOND_LOW to BOND_HIGH."""
    rng = random.Random(seed)
    return inputs, [], {x: rng.randint(BOND_LOW, BOND_HIGH) for x in sorted({x for axes in inputs for x in axes})}


# --- seeded families -------------------------------------------------------------------


def tree(n: int, seed: int, open_legs: bool = True) -> Network:
    """A random tree of n tensors (each attached to an earlier one) with mixed bond sizes; about
    half of the leaves carry an open leg of size 2, which the output keeps (none without
    `open_legs`, and the network is closed)."""
    rng = random.Random(seed)
    edges = [(rng.randrange(v), v) for v in range(1, n)]
    inputs = edges_to_inputs(n, edges)
    sizes = {e: rng.randint(BOND_LOW, BOND_HIGH) for e in range(len(edges))}
    if not open_legs:
        return inputs, [], sizes
    leaves = [v for v in range(n) if len(inputs[v]) == 1]
    output = []
    for v in leaves[:1] + [v for v in leaves[1:] if rng.random() < 0.5]:
        leg = len(sizes)
        sizes[leg] = 2
        inputs[v].append(leg)
        output.append(leg)
    return inputs, output, sizes


def ladder(length: int, seed: int) -> Network:
    """A 2 x length ladder with mixed bond sizes."""
    return mixed(grid(2, length), seed)


def random_pair_circuit(qubits: int, gates: int, seed: int) -> Network:
    """A random circuit on |0...0>: a state vector per qubit, then two-qubit gates on random
    pairs of qubits; the last leg of every wire is open."""
    rng = random.Random(seed)
    wire = list(range(qubits))
    inputs: Inputs = [[w] for w in wire]
    label = qubits
    for _ in range(gates):
        a, b = rng.sample(range(qubits), 2)
        inputs.append([wire[a], wire[b], label, label + 1])
        wire[a], wire[b] = label, label + 1
        label += 2
    return inputs, list(wire), {x: 2 for x in range(label)}


def qubit_wires(qubits: int) -> tuple[dict[int, int], Callable[[], int], list[int], Inputs]:
    """A circuit's start: the axis sizes (every one 2), a maker of new axes, the current axis of
    each qubit's wire, and a |0> vector per qubit as the first inputs."""
    sizes: dict[int, int] = {}

    def new() -> int:
        sizes[len(sizes)] = 2
        return len(sizes) - 1

    wire = [new() for _ in range(qubits)]
    return sizes, new, wire, [[w] for w in wire]


def brickwork_circuit(qubits: int, depth: int, amplitude: bool = False) -> Network:
    """A brick-work circuit applied to |0...0>: a state vector per qubit, then `depth` layers of
    two-qubit gates (4-axis tensors) on alternating neighbour pairs, all of size 2. By default a
    single-qubit gate closes each wire with an open leg (the output is the state); with
    `amplitude` a vector <x| closes it instead and the network is the scalar <x|C|0...0>."""
    sizes, new, wire, inputs = qubit_wires(qubits)
    for layer in range(depth):
        for q in range(layer % 2, qubits - 1, 2):
            a, b = new(), new()
            inputs.append([wire[q], wire[q + 1], a, b])
            wire[q], wire[q + 1] = a, b
    if amplitude:
        return inputs + [[w] for w in wire], [], sizes
    output = [new() for _ in range(qubits)]
    return inputs + [[w, out] for w, out in zip(wire, output)], output, sizes


def lattice_circuit(rows: int, cols: int, depth: int, seed: int) -> Network:
    """The amplitude <x|C|0...0> of a random circuit on a rows x cols lattice of qubits: a
    vector per qubit at both ends and `depth` layers of two-qubit gates between random
    neighbours. In each layer the qubits are visited in random order, and a qubit not yet in a
    gate of the layer picks one of its neighbours at random, joining it when that one is free
    too (about 19 gates a layer on 7 x 7). Every axis has size 2."""
    rng = random.Random(seed)
    qubits = rows * cols
    neighbours: list[list[int]] = [[] for _ in range(qubits)]
    for a, b in lattice_edges(rows, cols):
        neighbours[a].append(b)
        neighbours[b].append(a)
    wire = list(range(qubits))
    inputs: Inputs = [[w] for w in wire]
    label = qubits
    for _ in range(depth):
        busy: set[int] = set()
        for a in rng.sample(range(qubits), qubits):
            b = rng.choice(neighbours[a])
            if a not in busy and b not in busy:
                busy |= {a, b}
                inputs.append([wire[a], wire[b], label, label + 1])
                wire[a], wire[b] = label, label + 1
                label += 2
    return inputs + [[w] for w in wire], [], {x: 2 for x in range(label)}


def sandwich(sites: int, seed: int) -> Network:
    """<psi|H|psi> for open-boundary matrix products: a bra, an operator and a ket tensor per
    site, physical legs of size 2, virtual bonds of mixed sizes."""
    rng = random.Random(seed)
    sizes: dict[int, int] = {}

    def new(size: int) -> int:
        sizes[len(sizes)] = size
        return len(sizes) - 1

    up = [new(2) for _ in range(sites)]  # between bra and operator
    down = [new(2) for _ in range(sites)]  # between operator and ket
    inputs: Inputs = []
    for layer, phys in ((0, up), (1, None), (2, down)):
        links = [new(rng.randint(BOND_LOW, BOND_HIGH)) for _ in range(sites - 1)]
        for s in range(sites):
            legs = [up[s], down[s]] if phys is None else [phys[s]]
            inputs.append(([links[s - 1]] if s > 0 else []) + legs + ([links[s]] if s < sites - 1 else []))
    return inputs, [], sizes


def mps_norm(sites: int, bond: int, seed: int) -> Network:
    """<psi|psi> for an open-boundary MPS: a ket and a bra tensor per site, physical size 2,
    virtual bonds drawn between 2 and `bond`."""
    rng = random.Random(seed)
    sizes: dict[int, int] = {}
    inputs: Inputs = []
    bonds = [rng.randint(2, bond) for _ in range(sites - 1)]

    def new(size: int) -> int:
        sizes[len(sizes)] = size
        return len(sizes) - 1

    phys = [new(2) for _ in range(sites)]
    for _ in range(2):
        links = [new(b) for b in bonds]
        for s in range(sites):
            inputs.append(([links[s - 1]] if s > 0 else []) + [phys[s]] + ([links[s]] if s < sites - 1 else []))
    return inputs, [], sizes


def closed_chain(n: int) -> Network:
    """n tensors in a line with bonds of sizes 2 to 5 (drawn from seed n), vectors at both ends;
    a closed network."""
    rng = random.Random(n)
    inputs = edges_to_inputs(n, [(i, i + 1) for i in range(n - 1)])
    return inputs, [], {e: rng.randint(2, 5) for e in range(n - 1)}


def matrix_chain(n: int, seed: int) -> Network:
    """The product of n matrices, the k-th of shape d_k x d_(k+1) with every d drawn from 2 to
    100; the output keeps the two outer axes."""
    rng = random.Random(seed)
    return [[k, k + 1] for k in range(n)], [0, n], {k: rng.randint(2, 100) for k in range(n + 1)}


def random_einsum(operands: int, seed: int) -> Network:
    """A small connected einsum: a random spanning tree of shared indices, a few more indices on
    two or three operands, indices found on a single operand (summed away or kept), and one
    or two output indices; sizes from BOND_LOW to BOND_HIGH."""
    rng = random.Random(seed)
    inputs: Inputs = [[] for _ in range(operands)]
    label = 0
    for v in range(1, operands):
        for t in (rng.randrange(v), v):
            inputs[t].append(label)
        label += 1
    for _ in range(operands // 2):
        for t in rng.sample(range(operands), rng.choice((2, 3))):
            inputs[t].append(label)
        label += 1
    singles = []
    for t in rng.sample(range(operands), max(2, operands // 3)):
        inputs[t].append(label)
        singles.append(label)
        label += 1
    output = sorted(rng.sample(range(label - len(singles)), 1) + singles[:1])
    return inputs, output, {x: rng.randint(BOND_LOW, BOND_HIGH) for x in range(label)}


def bonds_between(inputs: Inputs, low: int, high: int, seed: int) -> Network:
    """A closed network with every bond size drawn uniformly from low to high."""
    rng = random.Random(seed)
    return inputs, [], {x: rng.randint(low, high) for x in sorted({x for axes in inputs for x in axes})}


def peps_norm(rows: int, cols: int, bond: int) -> Network:
    """<psi|psi> for an open-boundary rows x cols PEPS: a ket and a bra tensor per site, joined by
    the site's physical leg (size 2), each layer's neighbours joined by virtual bonds of size
    `bond`."""
    edges = lattice_edges(rows, cols)
    sites = rows * cols
    ket = edges_to_inputs(sites, edges)
    bra = [[x + len(edges) for x in axes] for axes in ket]
    phys = [2 * len(edges) + s for s in range(sites)]
    inputs = [axes + [p] for axes, p in zip(ket + bra, phys + phys)]
    return inputs, [], {x: (2 if x in phys else bond) for x in range(2 * len(edges) + sites)}


def star(arms: int, length: int, seed: int) -> Network:
    """A hub tensor with `arms` chains of `length` tensors hanging from it; bond sizes drawn from
    BOND_LOW to BOND_HIGH; a closed network."""
    edges = []
    for arm in range(arms):
        tip = 0
        for k in range(length):
            edges.append((tip, 1 + arm * length + k))
            tip = 1 + arm * length + k
    return mixed(edges_to_inputs(1 + arms * length, edges), seed)


def model_counting(variables: int, clauses: int, seed: int, weights: bool) -> Network:
    """The weighted model count of a random 3-SAT formula as a hypergraph network: a tensor per
    clause over its three distinct variables, a variable's label shared by every clause (and
    with `weights` its own weight vector) that holds it. Every label has size 2; variables in no
    clause are left out; a closed network."""
    rng = random.Random(seed)
    inputs = [sorted(rng.sample(range(variables), 3)) for _ in range(clauses)]
    used = sorted({v for axes in inputs for v in axes})
    if weights:
        inputs += [[v] for v in used]
    return inputs, [], {v: 2 for v in used}


def sycamore_layout() -> tuple[int, list[list[tuple[int, int]]]]:
    """A Sycamore-like chip: 9 rows of 6 qubits, row r's qubit c sitting at column 2c + r % 2 and
    coupled to the qubits one row down and one column either side; the qubit of row 0 at column 6
    is left out (a dead qubit), leaving 53 qubits and 86 couplers. The couplers fall into four
    patterns, each a matching: A and C lead right and left from even rows, B and D from odd
    ones. Returns the number of qubits and the patterns A, B, C, D (pairs of qubits)."""
    positions = [(r, 2 * c + r % 2) for r in range(9) for c in range(6) if (r, 2 * c + r % 2) != (0, 6)]
    qubit = {rc: q for q, rc in enumerate(positions)}
    patterns: list[list[tuple[int, int]]] = [[], [], [], []]
    for (r, x), q in qubit.items():
        for step, even, odd in ((1, 0, 1), (-1, 2, 3)):
            below = qubit.get((r + 1, x + step))
            if below is not None:
                patterns[odd if r % 2 else even].append((q, below))
    return len(positions), patterns


def square_layout(rows: int, cols: int) -> tuple[int, list[list[tuple[int, int]]]]:
    """A rows x cols lattice of qubits with its couplers in four matchings: horizontal from even
    and odd columns, vertical from even and odd rows."""
    def at(r: int, c: int) -> int:
        return r * cols + c

    patterns = [[(at(r, c), at(r, c + 1)) for r in range(rows) for c in range(parity, cols - 1, 2)] for parity in (0, 1)]
    patterns += [[(at(r, c), at(r + 1, c)) for r in range(parity, rows - 1, 2) for c in range(cols)] for parity in (0, 1)]
    return rows * cols, patterns


# The order in which the four coupler patterns take turns, cycle after cycle, on Sycamore-like chips.
PATTERN_SEQUENCE = "ABCDCDAB"


def coupler_circuit(layout: tuple[int, list[list[tuple[int, int]]]], cycles: int, seed: int) -> Network:
    """The amplitude <x|C|0...0> of a random circuit on a chip `layout` (qubits, four coupler
    patterns), as its simulator receives it: a |0> vector per qubit; per cycle a single-qubit
    gate (2 x 2) on every qubit, then a two-qubit gate (4 axes) on every coupler of the cycle's
    pattern; a last layer of single-qubit gates; a vector <x| per qubit. The patterns take turns
    as PATTERN_SEQUENCE says. The seed chooses where in the sequence the circuit starts and
    relabels the patterns, swapping A with B, C with D, or the pair A, B with C, D: the
    relabellings that keep each pair's couplers of one orientation (mixing the orientations
    makes circuits whose paths cost 1e3 to 1e5 times less at 12 to 20 cycles, with
    cotengrust's random greedy). Every axis has size 2."""
    rng = random.Random(seed)
    qubits, patterns = layout
    pairs = [[0, 1], [2, 3]]
    for pair in pairs:
        rng.shuffle(pair)
    rng.shuffle(pairs)
    order = pairs[0] + pairs[1]
    start = rng.randrange(len(PATTERN_SEQUENCE))
    sizes, new, wire, inputs = qubit_wires(qubits)

    def single_qubit_layer() -> None:
        for q in range(qubits):
            out = new()
            inputs.append([wire[q], out])
            wire[q] = out

    for cycle in range(cycles):
        single_qubit_layer()
        letter = PATTERN_SEQUENCE[(start + cycle) % len(PATTERN_SEQUENCE)]
        for a, b in patterns[order["ABCD".index(letter)]]:
            inputs.append([wire[a], wire[b], new(), new()])
            wire[a], wire[b] = inputs[-1][2:]
    single_qubit_layer()
    return inputs + [[w] for w in wire], [], sizes


def absorb_low_rank(network: Network) -> Network:
    """The network as circuit simulators simplify it before searching for a path: every tensor of
    one or two axes merged, again and again, into the neighbour with which it shares the most
    axes (the first such in order), keeping the axes that the output or another tensor still
    needs. A merge that would leave more axes than the neighbour had, or none, is not made."""
    inputs, output, sizes = network
    tensors: list[list[int] | None] = [list(axes) for axes in inputs]
    holders: dict[int, set[int]] = {}
    for t, axes in enumerate(inputs):
        for x in axes:
            holders.setdefault(x, set()).add(t)
    keep = set(output)
    merged_any = True
    while merged_any:
        merged_any = False
        for t, axes in enumerate(tensors):
            if axes is None or len(axes) > 2:
                continue
            shared = {}
            for x in axes:
                for u in holders[x] - {t}:
                    shared[u] = shared.get(u, 0) + 1
            if not shared:
                continue
            u = min(shared, key=lambda v: (-shared[v], v))
            other = tensors[u]
            assert other is not None
            union = other + [x for x in axes if x not in other]
            result = [x for x in union if x in keep or holders[x] - {t, u}]
            if not result or len(result) > len(other):
                continue
            for x in union:
                holders[x] -= {t, u}
            for x in result:
                holders[x].add(u)
            tensors[t], tensors[u] = None, result
            merged_any = True
    left = [axes for axes in tensors if axes is not None]
    return left, list(output), {x: sizes[x] for x in sorted({x for axes in left for x in axes} | keep)}


# --- draws from the caller's generator (the path corpus) --------------------------------


def with_open_legs(n: int, edges: list[tuple[int, int]], rng: random.Random, legs: int) -> tuple[Inputs, list[int]]:
    """Inputs of n tensors with one axis per edge, plus `legs` open axes on random tensors (the
    output keeps each with chance 0.7); every input's axes shuffled."""
    inputs = edges_to_inputs(n, edges)
    output = []
    for leg in range(legs):
        x = len(edges) + leg
        inputs[rng.randrange(n)].append(x)
        if rng.random() < 0.7:
            output.append(x)
    for axes in inputs:
        rng.shuffle(axes)
    return inputs, output


def free_form(rng: random.Random, n: int) -> tuple[Inputs, list[int]]:
    """n inputs with ids drawn from a small pool: repeats, single-input sums and shared ids."""
    pool = rng.randint(1, 3 * n)
    inputs = [[rng.randrange(pool) for _ in range(rng.randint(0, 5))] for _ in range(n)]
    used = sorted({x for axes in inputs for x in axes})
    output = rng.sample(used, rng.randint(0, min(4, len(used))))
    return inputs, output


def bond_graph(rng: random.Random, n: int) -> tuple[Inputs, list[int]]:
    """A random graph of bonds on n tensors, with some double bonds and up to three open legs;
    sparse ones fall apart into several components."""
    n_edges = rng.randint(0, 2 * n)
    edges = []
    for _ in range(n_edges):
        a, b = rng.sample(range(n), 2)
        edges.append((a, b))
        if rng.random() < 0.1:
            edges.append((a, b))  # a double bond
    return with_open_legs(n, edges, rng, rng.randint(0, 3))


def regular_multigraph(rng: random.Random, n: int) -> list[tuple[int, int]]:
    """The edges of a random 3-regular multigraph without loops (one tensor short a bond when n
    is odd)."""
    stubs = [v for v in range(n) for _ in range(3)][: n * 3 // 2 * 2]
    while True:
        rng.shuffle(stubs)
        edges = [(stubs[k], stubs[k + 1]) for k in range(0, len(stubs), 2)]
        if all(a != b for a, b in edges):
            return edges


def lattice_like(rng: random.Random, n: int) -> tuple[Inputs, list[int]]:
    """A chain, ring, random tree, grid or 3-regular multigraph, with up to two open legs."""
    shape = rng.choice(["chain", "ring", "tree", "grid", "regular"])
    if shape == "chain":
        edges = [(i, i + 1) for i in range(n - 1)]
    elif shape == "ring":
        edges = [(i, (i + 1) % n) for i in range(n)] if n > 2 else [(0, 1)]
    elif shape == "tree":
        edges = [(rng.randrange(i), i) for i in range(1, n)]
    elif shape == "grid":
        cols = rng.randint(1, max(1, int(n**0.5)))
        edges = [(i, i + 1) for i in range(n - 1) if (i + 1) % cols != 0]
        edges += [(i, i + cols) for i in range(n - cols)]
    else:
        edges = regular_multigraph(rng, max(n, 4))
        n = max(n, 4)
    return with_open_legs(n, edges, rng, rng.randint(0, 2))


def spread_ids(rng: random.Random, inputs: Inputs, output: list[int]) -> tuple[Inputs, list[int]]:
    """The same network with every id renamed to one of 64 or more, far apart."""
    used = sorted({x for axes in inputs for x in axes})
    step = rng.choice([1, 64, 1000, 65537])
    start = rng.choice([64, 100, 4096, 10**5])
    names = {x: start + step * k for k, x in enumerate(used)}
    return [[names[x] for x in axes] for axes in inputs], [names[x] for x in output]


def drawn_sizes(rng: random.Random, inputs: Inputs, huge: bool) -> dict[int, int]:
    """Sizes 1 to 5, now and then a huge one up to 2**64 - 1 (often when `huge`)."""
    used = sorted({x for axes in inputs for x in axes})
    sizes = {x: rng.randint(1, 5) for x in used}
    chance = 0.3 if huge else 0.01
    for x in used:
        if rng.random() < chance:
            sizes[x] = rng.choice([2**20, 2**31, 2**32 + 1, 2**40, 2**63, 2**64 - 1])
    return sizes


def past_the_limits(rng: random.Random) -> tuple[Inputs, list[int]]:
    """A component of 64 or more inputs, or one of more than 512 axes, or a chain just under 64."""
    shape = rng.choice(["chain", "many-axes", "under"])
    if shape == "chain":
        n = rng.randint(64, 80)
        inputs = [[i, i + 1] for i in range(n)]
    elif shape == "many-axes":
        width = rng.randint(257, 400)
        inputs = [list(range(0, 2 * width, 2)) + [1], list(range(1, 2 * width, 2))]
        if rng.random() < 0.5:
            inputs.append([0, 2 * width])
    else:
        n = rng.randint(50, 63)
        inputs = [[i, i + 1] for i in range(n)]
    output = [0] if rng.random() < 0.5 else []
    return inputs, output
