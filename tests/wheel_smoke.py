"""What `make wheel-check` runs in a fresh environment where a wheel from dist/ is installed.

Run from a directory outside the source tree, so that nothing can come from the checkout: both
modules must import from the environment's site-packages, compute a known answer, and the
stub package must be installed beside them.
"""

import pathlib
import sys
import sysconfig

import plenexa
import plenexa_paths
import plenexa_paths._search

site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
for module in (plenexa, plenexa_paths, plenexa_paths._search):
    where = pathlib.Path(module.__file__).resolve()
    assert site in where.parents, f"{module.__name__} comes from {where}, not from {site}"

spec = plenexa.EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], {0: 2, 1: 3, 2: 4, 3: 5})
assert spec.to_einsum_string() == "ab,bc,cd->ad", spec.to_einsum_string()
path = spec.optimize_dp()
assert sorted(map(len, path)) == [2, 2], path

sizes = {"a": 2, "b": 30, "c": 40, "d": 5}
assert plenexa_paths.optimize(["ab", "bc", "cd"], "ad", sizes) == [(0, 1), (0, 1)]

# The runtime dependency: RearrangeSpec.apply hands its work to einops.
import einops  # noqa: E402,F401

stubs = site / "plenexa-stubs" / "__init__.pyi"
assert stubs.is_file(), f"no stub package at {stubs}"
assert (site / "plenexa_paths" / "py.typed").is_file(), "plenexa_paths is not marked typed"

print(f"wheel ok on Python {sys.version.split()[0]}: {pathlib.Path(plenexa.__file__).name}, path {path}")
