"""A plenexa_paths path handed to numpy.einsum, which takes one-letter subscripts (52 at most)."""

import numpy as np

import plenexa_paths

inputs, output = ["ij", "jk", "kl", "lm"], "im"
size_dict = {"i": 4, "j": 30, "k": 2, "l": 30, "m": 4}
arrays = [np.ones([size_dict[x] for x in term]) for term in inputs]

path = plenexa_paths.optimize(inputs, output, size_dict)
result = np.einsum("ij,jk,kl,lm->im", *arrays, optimize=["einsum_path", *path])

assert np.allclose(result, np.einsum("ij,jk,kl,lm->im", *arrays))
print("numpy path:", path)
