"""torch tensors contracted by opt_einsum along a plenexa_paths path."""

import importlib.util
import sys

if importlib.util.find_spec("torch") is None:
    print("torch is not installed; skipped")
    sys.exit(0)

import opt_einsum
import torch

import plenexa_paths

a, b, c = torch.rand(8, 2), torch.rand(2, 9), torch.rand(9, 8)
result = opt_einsum.contract("ij,jk,kl->il", a, b, c, optimize=plenexa_paths.Optimizer())

assert torch.allclose(result, a @ b @ c)
print("torch result:", type(result).__name__, tuple(result.shape))
