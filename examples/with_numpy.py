"""numpy.einsum along a plenexa_paths path: einsum_path reads numpy's equation and operands."""

import numpy as np

import plenexa_paths

rng = np.random.default_rng(0)
a, b, c, d = (rng.standard_normal(shape) for shape in [(4, 30), (30, 2), (2, 30), (30, 4)])

path, info = plenexa_paths.einsum_path("ij,jk,kl,lm->im", a, b, c, d)
result = np.einsum("ij,jk,kl,lm->im", a, b, c, d, optimize=path)

assert np.allclose(result, a @ b @ c @ d)
print("numpy path:", path)
print(f"cost {info.cost}, largest intermediate {info.largest_intermediate} elements, {info.steps} steps")

# Shapes do as well as arrays; "..." broadcasts and an equation without "->" has numpy's output.
batched, _ = plenexa_paths.einsum_path("...ij,...jk", (16, 4, 30), (30, 2))
print("batched path:", batched)
