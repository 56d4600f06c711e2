"""jax.numpy.einsum with plenexa_paths choosing the order (jax takes opt_einsum optimizers)."""

import importlib.util
import sys

if importlib.util.find_spec("jax") is None:
    print("jax is not installed; skipped")
    sys.exit(0)

import jax.numpy as jnp
import numpy as np

import plenexa_paths

a, b, c = jnp.ones((8, 2)), jnp.ones((2, 9)), jnp.ones((9, 8))
result = jnp.einsum("ij,jk,kl->il", a, b, c, optimize=plenexa_paths.Optimizer())

assert np.allclose(np.asarray(result), np.asarray(a @ b @ c))
print("jax result shape:", result.shape)
