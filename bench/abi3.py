"""Per-call cost of the abi3 (stable ABI) build against the version-specific build.

    python bench/abi3.py FULL_PYTHON ABI3_PYTHON [ROUNDS]

Each interpreter is one environment with one of the two wheels installed (`make bench-abi3`
makes both). The two are timed in turns, one child process per turn, so that both see the
same machine state; each figure is the best over every turn of the best of many repeats, the
time the call takes when nothing else gets in the way.
"""

import json
import subprocess
import sys
import timeit

SETUP = """
from plenexa import EinsumSpec
import plenexa_paths
spec = EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], {0: 2, 1: 3, 2: 4, 3: 5})
sizes = {"a": 2, "b": 3, "c": 4, "d": 5}
"""

CASES = {
    "EinsumSpec(...).optimize_dp()": "EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], {0: 2, 1: 3, 2: 4, 3: 5}).optimize_dp()",
    "spec.input_ints": "spec.input_ints",
    "spec.int_sizes": "spec.int_sizes",
    "plenexa_paths.optimize(...)": 'plenexa_paths.optimize(["ab", "bc", "cd"], "ad", sizes)',
}


def child() -> None:
    """Best seconds per call of each case in this interpreter."""
    out = {}
    for name, statement in CASES.items():
        timer = timeit.Timer(statement, SETUP)
        number, _ = timer.autorange()
        out[name] = min(timer.repeat(repeat=7, number=number)) / number
    import plenexa

    out["module"] = plenexa.__file__
    print(json.dumps(out))


def main(full: str, abi3: str, rounds: int) -> None:
    best: dict[str, dict[str, float]] = {"full": {}, "abi3": {}}
    modules = {}
    for _ in range(rounds):
        for label, python in (("full", full), ("abi3", abi3)):
            result = json.loads(subprocess.run([python, "-I", __file__, "--child"], check=True,
                                               capture_output=True, text=True).stdout)
            modules[label] = result.pop("module")
            for name, seconds in result.items():
                best[label][name] = min(best[label].get(name, seconds), seconds)
    for label, module in modules.items():
        print(f"{label}: {module}")
    print(f"{'call':34} {'version-specific':>17} {'abi3':>10} {'change':>8}")
    for name in CASES:
        f, a = best["full"][name], best["abi3"][name]
        print(f"{name:34} {f * 1e9:14.0f} ns {a * 1e9:7.0f} ns {(a / f - 1) * 100:+7.1f}%")


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main(sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 10)
