"""Runs contraction-order solvers on networks for the benchmarks: each solver in a fresh process
group with a time-out, its path priced under bench/replay.py's model, the peers' results cached.

bench/large.py and bench/evaluation.py compare plenexa_paths.optimize with the same peers:
cotengra's HyperOptimizer() (the reference) and its presets "auto" and "auto-hq", cotengrust's
optimize_random_greedy_track_flops with 128 and 1,024 trials (seed 0), and opt_einsum's greedy;
bench/sliced.py runs its own child script through run_child and shares the cache's machinery.
"""

from __future__ import annotations

import hashlib
import importlib.metadata
import importlib.util
import json
import math
import os
import platform
import signal
import subprocess
import sys
from pathlib import Path
from typing import Any

from networks import Network
from replay import replay

CACHE = Path(__file__).resolve().parent.parent / "build" / "bench" / "peers-cache.json"
# Seconds that one solver may take on one network (interpreter start included).
TIMEOUT = {"full": 400.0, "quick": 120.0}
# HyperOptimizer's trials: its default, and the fewer of --quick.
HYPER_TRIALS = {"full": 128, "quick": 32}
REFERENCE = "ctg HyperOptimizer"
# The packages whose versions key the peers' cache (HyperOptimizer's choices depend on the last three).
PEER_PACKAGES = ("cotengra", "cotengrust", "opt_einsum", "kahypar", "optuna", "cmaes")

CHILD = """
import json, random, sys, time

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

case = json.loads(sys.stdin.read())
kind, options = case["kind"], case["options"]
inputs, output = case["inputs"], case["output"]
sizes = {int(k): v for k, v in case["sizes"].items()}
if kind != "plenexa":
    from opt_einsum import get_symbol  # the peers take one-character labels
    inputs = [[get_symbol(x) for x in axes] for axes in inputs]
    output = [get_symbol(x) for x in output]
    sizes = {get_symbol(x): s for x, s in sizes.items()}
random.seed(0)  # cotengra's trials draw from Python's generator when given no seed
if kind == "plenexa":
    import plenexa_paths
    search = lambda: plenexa_paths.optimize(inputs, output, sizes, **options)
elif kind == "hyper":
    import importlib.util, numpy, cotengra
    numpy.random.seed(0)
    if importlib.util.find_spec("optuna"):  # then optuna's sampler is the default, and takes a seed
        options = {**options, "sampler_opts": {"seed": 0}}
    search = lambda: cotengra.HyperOptimizer(**options)(inputs, output, sizes)
elif kind == "preset":
    import cotengra
    search = lambda: cotengra.array_contract_path(inputs, output, sizes, optimize=options["preset"], cache=False)
elif kind == "rgreedy":
    import cotengrust
    search = lambda: cotengrust.optimize_random_greedy_track_flops(inputs, output, sizes, **options)[0]
elif kind == "greedy":
    import opt_einsum
    sets, keep = [set(axes) for axes in inputs], set(output)
    search = lambda: opt_einsum.paths.greedy(sets, keep, sizes)
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak resident-set mark
except OSError:
    pass  # then the peak may predate the call, and the figure is a lower bound
before = status("VmRSS")
times = []
while not times or (len(times) < case["repeat"] and sum(times) < 1.0):
    start = time.perf_counter()
    path = search()
    times.append(time.perf_counter() - start)
print(json.dumps({"time": min(times), "runs": len(times), "rss_kib": before, "peak_kib": status("VmHWM"),
                  "path": [list(step) for step in path]}))
"""


# --- solvers -------------------------------------------------------------------------


def solvers(quick: bool) -> list[tuple[str, str, dict[str, Any], int]]:
    """Label, kind, keywords and most runs (while under a second in all) of every solver."""
    trials = HYPER_TRIALS["quick" if quick else "full"]
    return [
        ("plenexa_paths", "plenexa", {}, 3),
        (REFERENCE, "hyper", {} if trials == 128 else {"max_repeats": trials}, 1),
        ("ctg auto", "preset", {"preset": "auto"}, 1),
        ("ctg auto-hq", "preset", {"preset": "auto-hq"}, 1),
        ("ctgr rgreedy 128", "rgreedy", {"ntrials": 128, "seed": 0, "simplify": False}, 3),
        ("ctgr rgreedy 1024", "rgreedy", {"ntrials": 1024, "seed": 0, "simplify": False}, 3),
        ("oe greedy", "greedy", {}, 3),
    ]


def version(package: str) -> str:
    try:
        return importlib.metadata.version(package)
    except importlib.metadata.PackageNotFoundError:
        return "-"


def hyper_setup(trials: int) -> dict[str, Any]:
    """What HyperOptimizer() does here: its trials, the methods and the tuner that the installed
    packages give it by default, and how far it is seeded."""
    def found(name: str) -> bool:
        return importlib.util.find_spec(name) is not None

    optlib = "optuna" if found("optuna") else "cmaes" if found("cmaes") else "sbplx"
    return {
        "max_repeats": trials,
        "methods": ["greedy", "kahypar" if found("kahypar") else "labels"],
        "optlib": optlib,
        "parallel": f"auto: a pool of {os.cpu_count()} processes",
        "seeded": "seeds 0 for Python's and numpy's generators" + (" and optuna's sampler" if optlib == "optuna" else "")
        + "; the pool's trials finish in varying order, so runs differ",
    }


def run(kind: str, network: Network, options: dict[str, Any], repeat: int, timeout: float) -> dict[str, Any]:
    """One solver on one network in a fresh process group, stopped at `timeout` seconds: its
    time (best of up to `repeat` runs within a second), memory and path, or why it has none."""
    inputs, output, sizes = network
    case = {"kind": kind, "options": options, "repeat": repeat, "inputs": inputs, "output": output, "sizes": sizes}
    return run_child(CHILD, case, timeout)


def run_child(script: str, case: dict[str, Any], timeout: float) -> dict[str, Any]:
    """`script` run by a fresh interpreter in its own process group with `case` as JSON on its
    stdin, stopped at `timeout` seconds: the JSON it prints, or why there is none."""
    child = subprocess.Popen([sys.executable, "-c", script], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = child.communicate(json.dumps(case), timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)  # the child's own group: its pool workers too
        child.communicate()
        return {"timeout_s": timeout}
    if child.returncode != 0:
        return {"failed": (err.strip().splitlines() or [f"exit {child.returncode}"])[-1][:200]}
    return json.loads(out)


def machine() -> str:
    """This machine as a peer's row records it: processor, CPUs and Python; times are its own."""
    try:
        model = next(line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                     if line.startswith("model name"))
    except (OSError, StopIteration):
        model = platform.processor() or platform.machine()
    return f"{model}, {os.cpu_count()} CPUs, python {platform.python_version()}"


class PeerCache:
    """Peers' results by network, solver and peer versions, in a JSON file written after every
    new entry (so that a run stopped half-way keeps what it measured). A committed record of
    earlier runs, when given, answers what the file lacks: a new machine then need not spend
    hours on HyperOptimizer, and each row says on which machine it was measured."""

    def __init__(self, path: Path, versions: dict[str, str], record: Path | None = None) -> None:
        self.path = path
        self.stamp = ",".join(f"{p}={v}" for p, v in versions.items())
        self.entries = self.load(path)
        self.record_path = record
        self.record = self.load(record) if record else {}

    @staticmethod
    def load(path: Path) -> dict[str, Any]:
        try:
            return json.loads(path.read_text())
        except (OSError, ValueError):
            return {}

    def key(self, network: str, fingerprint: str, solver: str, options: dict[str, Any]) -> str:
        return f"{network}|{fingerprint}|{solver}|{json.dumps(options, sort_keys=True)}|{self.stamp}"

    def get(self, key: str, timeout: float) -> dict[str, Any] | None:
        """The entry, from the file or else the record, unless it is a time-out shorter than
        `timeout` (then worth another try)."""
        entry = self.entries.get(key, self.record.get(key))
        if entry is not None and entry.get("timeout_s", math.inf) < timeout:
            return None
        return entry

    def put(self, key: str, entry: dict[str, Any]) -> None:
        self.entries[key] = {**entry, "machine": machine()}
        self.write(self.path, self.entries)

    def keep(self, keys: list[str]) -> int:
        """Copies the file's entries under `keys` into the record; returns how many it copied."""
        assert self.record_path is not None
        kept = {k: self.entries[k] for k in keys if k in self.entries}
        self.record.update(kept)
        self.write(self.record_path, dict(sorted(self.record.items())), indent=0)
        return len(kept)

    @staticmethod
    def write(path: Path, entries: dict[str, Any], indent: int | None = None) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        scratch = path.with_suffix(".tmp")
        scratch.write_text(json.dumps(entries, indent=indent))
        scratch.replace(path)


def fingerprint(network: Network) -> str:
    return hashlib.sha256(json.dumps(network, sort_keys=True).encode()).hexdigest()[:16]


def measure(network: Network, child: dict[str, Any]) -> dict[str, Any]:
    """A row's figures from a child's result: time, cost and largest intermediate of its path."""
    if "path" not in child:
        return dict(child)
    cost, largest = replay(*network, child["path"], pairwise=False)
    return {"time_s": child["time"], "runs": child["runs"], "cost": cost, "log2_largest": math.log2(largest) if largest else 0.0,
            "peak_mib": child["peak_kib"] / 1024, "search_mib": (child["peak_kib"] - child["rss_kib"]) / 1024}


def outcome(row: dict[str, Any]) -> str:
    if "timeout_s" in row:
        return f"timed out after {row['timeout_s']:g} s"
    if "failed" in row:
        return f"failed: {row['failed'][:70]}"
    return "not in the cache: run without --plenexa-only"


def solve(cache: PeerCache, name: str, network: Network, solver: tuple[str, str, dict[str, Any], int], timeout: float,
          refresh: bool = False, plenexa_only: bool = False) -> tuple[dict[str, Any], dict[str, Any] | None]:
    """One solver's row on one network and the child's result when it ran: plenexa_paths runs
    every time; a peer's row comes from the cache when it holds one (unless `refresh`), else from
    a run that the cache then keeps, or is marked missing when `plenexa_only`."""
    label, kind, options, repeat = solver
    ours = kind == "plenexa"
    key = cache.key(name, fingerprint(network), label, options)
    cached = None if ours or refresh else cache.get(key, timeout)
    if cached is not None:
        return {"solver": label, **cached, "cached": True}, None
    if not ours and plenexa_only:
        return {"solver": label, "missing": True}, None
    child = run(kind, network, options, repeat, timeout)
    entry = measure(network, child)
    if not ours:
        cache.put(key, entry)
    return {"solver": label, **entry}, child


def add_ratios(entries: list[dict[str, Any]], reference: str) -> None:
    """Gives every entry with a cost its cost and time against the `reference` solver's, if it has one."""
    ref = next((e for e in entries if e["solver"] == reference and "cost" in e), None)
    for entry in entries:
        if ref is not None and "cost" in entry:
            entry["cost_vs_hyper"] = entry["cost"] / ref["cost"]
            entry["time_vs_hyper"] = entry["time_s"] / ref["time_s"]
