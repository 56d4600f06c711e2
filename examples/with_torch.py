"""torch.einsum with plenexa_paths as its opt_einsum strategy, and opt_einsum on torch tensors."""

import importlib.util
import sys

if importlib.util.find_spec("torch") is None:
    print("torch is not installed; skipped")
    sys.exit(0)

import opt_einsum
import torch

import plenexa_paths

a, b, c = torch.rand(8, 2), torch.rand(2, 9), torch.rand(9, 8)

# torch asks opt_einsum for the path of three or more operands, by the strategy's name,
# which importing plenexa_paths registers.
torch.backends.opt_einsum.strategy = "plenexa"
result = torch.einsum("ij,jk,kl->il", a, b, c)
assert torch.allclose(result, a @ b @ c)

# opt_einsum.contract on torch tensors.
result = opt_einsum.contract("ij,jk,kl->il", a, b, c, optimize=plenexa_paths.Optimizer())
assert torch.allclose(result, a @ b @ c)
print("torch result:", type(result).__name__, tuple(result.shape))
