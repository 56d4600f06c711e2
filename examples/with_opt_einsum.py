"""plenexa_paths inside opt_einsum: as a path optimizer object, and by the name it registers."""

import numpy as np
import opt_einsum

import plenexa_paths

rng = np.random.default_rng(0)
a, b, c = rng.random((8, 2)), rng.random((2, 9)), rng.random((9, 8))

# An optimizer object: caps fixed once, usable wherever opt_einsum takes `optimize=`.
result = opt_einsum.contract("ij,jk,kl->il", a, b, c, optimize=plenexa_paths.Optimizer(hash_map_cap=1000))
# By name: importing plenexa_paths registered the path function as "plenexa".
path, info = opt_einsum.contract_path("ij,jk,kl->il", a, b, c, optimize="plenexa")

assert np.allclose(result, a @ b @ c)
print("opt_einsum path:", path)
