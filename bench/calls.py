"""Instructions per call of the smallest calls, counted by valgrind's callgrind.

Run with `python bench/calls.py` (valgrind must be installed). Timings of sub-microsecond calls
move by up to 2x from run to run on shared machines; instruction counts do not. For every call
of the smallest-calls table of bench/paths.py it prints the instructions of `optimize_dp()` on a
prebuilt spec and of `EinsumSpec(...)`: the difference between 2N and N calls in a function's
loop, less the loop's own instructions, so that start-up and imports cancel out.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys

from paths import SMALL_CALLS

CALLS = 10_000

CHILD = """
import ast
import sys
from plenexa import EinsumSpec

def main(mode, n, inputs, output, sizes):
    spec = EinsumSpec(inputs, output, sizes)
    if mode == "dp":
        for _ in range(n): spec.optimize_dp()
    elif mode == "spec":
        for _ in range(n): EinsumSpec(inputs, output, sizes)
    else:
        for _ in range(n): pass

mode, n, inputs, output, sizes = ast.literal_eval(sys.argv[1])
main(mode, n, inputs, output, sizes)
"""


def collected(arguments: tuple[object, ...]) -> int:
    """Instructions that callgrind counts over a whole child process running CHILD."""
    run = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", CHILD, repr(arguments)],
        capture_output=True,
        text=True,
        check=True,
    )
    match = re.search(r"Collected : (\d+)", run.stderr)
    if not match:
        raise RuntimeError(f"no instruction count from callgrind: {run.stderr[-500:]}")
    return int(match.group(1))


def per_call(mode: str, network: tuple[list[list[int]], list[int], dict[int, int]]) -> float:
    """Instructions per call of `mode` ("dp", "spec" or "loop") on `network`."""
    return (collected((mode, 2 * CALLS, *network)) - collected((mode, CALLS, *network))) / CALLS


def main() -> None:
    if shutil.which("valgrind") is None:
        print("valgrind is not installed: no instruction counts")
        return
    print("Smallest calls, instructions per call (the loop's own instructions subtracted)")
    print(f"{'equation':<20}{'dp only':>9}{'spec':>8}")
    for equation, letter_sizes in SMALL_CALLS:
        lhs, rhs = equation.split("->")
        ids = {c: k for k, c in enumerate(letter_sizes)}
        network = ([[ids[c] for c in t] for t in lhs.split(",")], [ids[c] for c in rhs], {ids[c]: s for c, s in letter_sizes.items()})
        loop = per_call("loop", network)
        print(f"{equation:<20}{per_call('dp', network) - loop:>9,.0f}{per_call('spec', network) - loop:>8,.0f}")


if __name__ == "__main__":
    main()
