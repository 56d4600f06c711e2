"""Search time of the g++ build against the zig build of the wheels.

    python bench/toolchains.py GCC_PYTHON ZIG_PYTHON [ROUNDS]

Each interpreter is one environment with one build installed and the dependencies of
bench/paths.py (`make bench-zig` makes both). The two are timed in turns, ROUNDS times (3 by
default), so that both see the same machine state: in each turn one child times the exact search
of every network of the exact-search table of `bench/paths.py --quick`, then
`bench/large.py --quick --plenexa-only` times plenexa_paths on its large networks. Each figure is
the best over the rounds.
"""

import json
import math
import pathlib
import subprocess
import sys
import tempfile

BENCH = pathlib.Path(__file__).resolve().parent
LABELS = ("gcc", "zig")
# The row of bench/large.py's table that is ours.
LARGE_SOLVER = "plenexa_paths"


def child() -> None:
    """Best seconds of the exact search on each network of the quick exact table, in this interpreter."""
    sys.path.insert(0, str(BENCH))
    import paths
    from plenexa import EinsumSpec

    out = {}
    for name, (inputs, output, sizes) in paths.exact_networks(quick=True):
        spec = EinsumSpec(inputs, output, sizes)
        out[name], _ = paths.best_time(lambda: spec.optimize_dp(hash_map_cap_op=paths.MAX), 7, budget=2)
    print(json.dumps(out))


def exact(python: str) -> dict[str, float]:
    """Seconds per network of the exact table under `python`."""
    run = subprocess.run([python, __file__, "--child"], check=True, capture_output=True, text=True)
    return json.loads(run.stdout)


def large(python: str) -> dict[str, float]:
    """Seconds per network of plenexa_paths in bench/large.py --quick under `python`."""
    with tempfile.TemporaryDirectory() as tmp:
        figures = pathlib.Path(tmp) / "large.json"
        subprocess.run([python, str(BENCH / "large.py"), "--quick", "--plenexa-only", "--json", str(figures)],
                       check=True, capture_output=True, text=True)
        tables = json.loads(figures.read_text())["networks"]
    return {t["network"]: e["time_s"] for t in tables for e in t["solvers"] if e["solver"] == LARGE_SOLVER}


def main(pythons: dict[str, str], rounds: int) -> None:
    best: dict[str, dict[str, dict[str, float]]] = {"exact": {}, "large": {}}
    for _ in range(rounds):
        for label, python in pythons.items():
            for table, measure in (("exact", exact), ("large", large)):
                for name, seconds in measure(python).items():
                    row = best[table].setdefault(name, {})
                    row[label] = min(row.get(label, seconds), seconds)
    for table, rows in best.items():
        print(f"{table} table ({rounds} rounds, best of each)")
        print(f"{'network':22} {'g++ ms':>10} {'zig ms':>10} {'zig/g++':>8}")
        ratios = []
        for name, row in rows.items():
            gcc, zig = row["gcc"], row["zig"]
            ratios.append(zig / gcc)
            print(f"{name:22} {gcc * 1e3:10.3f} {zig * 1e3:10.3f} {zig / gcc:8.3f}")
        geomean = math.exp(sum(map(math.log, ratios)) / len(ratios))
        print(f"{'geometric mean':22} {'':10} {'':10} {geomean:8.3f}\n")


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main(dict(zip(LABELS, sys.argv[1:3])), int(sys.argv[3]) if len(sys.argv) > 3 else 3)
