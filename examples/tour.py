"""A tour of plenexa: describe an einsum by integer axis ids, find a contraction
order for it, and describe, print and apply an einops-style rearrangement."""

import time

import numpy as np
import opt_einsum

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

try:
    EinsumSpec([[0]], [1], {0: 2, 1: 2})  # output axis 1 is in no input
except ValueError as error:
    print("an invalid spec raises ValueError:", error)

section("Normalisation: dense ids in order of first appearance")
sparse = EinsumSpec([[70, 30], [30, 90]], [70, 90], {30: 5, 70: 2, 90: 4})
try:
    sparse.to_einsum_string()
except BaseException as panic:  # ids of 50 and more have no letter
    print(f"{type(panic).__name__}: {panic}")
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
