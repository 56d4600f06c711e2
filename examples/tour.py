"""A tour of plenexa: describe an einsum by integer axis ids, find a contraction
order for it, describe, print and apply an einops-style rearrangement, and hand
plenexa_paths a network of 200 tensors with labels of any kind."""

import time

import numpy as np
import opt_einsum

import plenexa_paths
from plenexa import EinsumSpec, RearrangeSpec


def section(title: str) -> None:
    print(f"\n== {title} ==")


section("An einsum described by axis ids")
# A matrix product: axis 0 is i, 1 is j (summed away), 2 is k.
spec = EinsumSpec([[0, 1], [1, 2]], [0, 2], {0: 2, 1: 3, 2: 4})
print(spec)
print("int_sizes:", spec.int_sizes)
print("shapes():", spec.shapes())
print("flops():", spec.flops(), "(16 additions + 24 multiplications)")
print("to_einsum_string():", spec.to_einsum_string())

section("Normalisation: dense ids in order of first appearance")
# Letters exist for ids 0 to 49 only; normalize() renumbers any ids into that range.
sparse = EinsumSpec([[70, 30], [30, 90]], [70, 90], {30: 5, 70: 2, 90: 4})
dense = sparse.normalize()
print(dense)
print("normalized string:", dense.to_einsum_string())

section("Contraction order for a real network: the norm of a matrix product state")
# Eight sites, physical dimension 2, bond dimension 8. Ket bonds, bra bonds and
# physical legs get their own ids; the result is a scalar.
sites, phys, bond = 8, 2, 8
rng = np.random.default_rng(0)
ket_bond = [100 + i for i in range(sites - 1)]
bra_bond = [200 + i for i in range(sites - 1)]
physical = [300 + i for i in range(sites)]
operands, arrays = [], []
for side, bonds in (("ket", ket_bond), ("bra", bra_bond)):
    for i in range(sites):
        ids = ([bonds[i - 1]] if i > 0 else []) + [physical[i]] + ([bonds[i]] if i < sites - 1 else [])
        operands.append(ids)
        arrays.append(rng.standard_normal([bond if a < 300 else phys for a in ids]))
sizes = {a: bond for a in ket_bond + bra_bond} | {a: phys for a in physical}
network = EinsumSpec(operands, [], sizes).normalize()
equation = network.to_einsum_string()
print("equation:", equation)
print(f"direct evaluation would cost {network.flops():.3g} operations")

start = time.perf_counter()
path = network.optimize_dp()
elapsed = time.perf_counter() - start
print(f"optimize_dp() found {path} in {elapsed * 1e3:.2f} ms")

_, info = opt_einsum.contract_path(equation, *arrays, optimize=[tuple(p) for p in path])
print(f"opt_einsum rates that path at {info.opt_cost:.3g} flops "
      f"(naive {info.naive_cost:.3g}, speed-up {info.speedup:.3g}x)")

with_path = opt_einsum.contract(equation, *arrays, optimize=[tuple(p) for p in path])
with_numpy = np.einsum(equation, *arrays, optimize=["einsum_path", *map(tuple, path)])
print("opt_einsum.contract with our path:", with_path)
print("numpy.einsum with our path:      ", with_numpy)
assert np.allclose(with_path, with_numpy)

section("A rearrangement written as an einops pattern")
# (batch, height*width) -> (height, batch, width*copies): split, permute, and repeat.
rearrange = RearrangeSpec([[0], [1, 2]], [[1], [0], [2, 3]], [4, 5, 6, 7])
print(rearrange)
pattern, letter_sizes = rearrange.to_einops_string_and_letter_sizes()
print("pattern:", pattern, " letter sizes:", letter_sizes)
print("is_valid:", rearrange.is_valid(), " is_permute:", rearrange.is_permute(),
      " shapes:", rearrange.shapes())

tensor = np.arange(4 * 30).reshape(4, 30)
result = rearrange.apply(tensor)
expected = np.broadcast_to(tensor.reshape(4, 5, 6).transpose(1, 0, 2)[..., None], (5, 4, 6, 7)).reshape(5, 4, 42)
print("apply() on a", tensor.shape, "array gives", result.shape, "- matches numpy:", np.array_equal(result, expected))

swap = RearrangeSpec([[0], [1]], [[1], [0]], [2, 3])
print(swap.to_einops_string(), "on a (2, 3) array:", swap.apply(np.arange(6).reshape(2, 3)).tolist())

section("plenexa_paths: any labels, any size, straight into opt_einsum")
# The norm of a 100-site matrix product state: 200 tensors in one connected network,
# labelled by tuples. Bond dimensions vary from 2 to 6; physical legs have dimension 2.
sites = 100
bonds = [int(d) for d in rng.integers(2, 7, size=sites - 1)]
size_dict: dict[tuple[str, int], int] = {}
inputs: list[list[tuple[str, int]]] = []
for side in ("ket", "bra"):
    for i in range(sites):
        legs = ([(side, i - 1)] if i > 0 else []) + [("phys", i)] + ([(side, i)] if i < sites - 1 else [])
        inputs.append(legs)
for i in range(sites):
    size_dict[("phys", i)] = 2
    if i < sites - 1:
        size_dict[("ket", i)] = size_dict[("bra", i)] = bonds[i]

start = time.perf_counter()
big_path = plenexa_paths.optimize(inputs, [], size_dict)
elapsed = time.perf_counter() - start
print(f"plenexa_paths.optimize: {len(inputs)} tensors, {len(big_path)} steps in {elapsed * 1e3:.1f} ms")

# opt_einsum wants one symbol per label; it takes our path as it stands.
symbol = {label: opt_einsum.get_symbol(k) for k, label in enumerate(size_dict)}
big_equation = ",".join("".join(symbol[x] for x in term) for term in inputs) + "->"
# The bra tensors are the ket tensors again, each scaled so that the norm stays near 1.
kets = [rng.standard_normal([size_dict[x] for x in term]) for term in inputs[:sites]]
kets = [t / np.sqrt(t.size / t.shape[0] if i > 0 else t.size) for i, t in enumerate(kets)]
big_arrays = kets + kets
_, info = opt_einsum.contract_path(big_equation, *big_arrays, optimize=big_path)
greedy_cost = opt_einsum.contract_path(big_equation, *big_arrays, optimize="greedy")[1].opt_cost
print(f"opt_einsum rates it at {info.opt_cost:.3g} flops (its own greedy path: {greedy_cost:.3g})")
norm = opt_einsum.contract(big_equation, *big_arrays, optimize=big_path)
same = opt_einsum.contract(big_equation, *big_arrays, optimize="plenexa")  # the name registered on import
print(f"<psi|psi> = {float(norm):.6g}; optimize='plenexa' gives the same: {bool(np.isclose(norm, same))}")

section("What a mistake looks like")
print("A deliberate bad call: output axis 1 occurs in no input, so the spec is invalid.")
try:
    EinsumSpec([[0]], [1], {0: 2, 1: 2})
except ValueError as error:
    print(f"  ValueError: {error}")
print("The same mistake in plenexa_paths names the label:")
try:
    plenexa_paths.optimize(["a"], "b", {"a": 2, "b": 2})
except ValueError as error:
    print(f"  ValueError: {error}")
