"""Benchmark of plenexa_paths.optimize on networks of 64 to 2,000 tensors, and its per-call overhead.

Run with `make bench` (or `python bench/large.py [--quick] [--json FILE]`). Two tables:
  1. bounded search with the default caps on large networks: time, peak memory, and the cost of
     the path against opt_einsum's greedy, cotengrust's greedy and cotengrust's random greedy
     (`optimize_random_greedy_track_flops`, 128 trials);
  2. per-call overhead on a three-operand equation, beside EinsumSpec(...).optimize_dp() and
     opt_einsum.contract_path.
Costs are replayed under the model of bench/paths.py: a pairwise step costs the product of the
sizes of all axes of both operands; an intermediate keeps the axes still needed elsewhere.
"""

import argparse
import json
import platform
import random
import subprocess
import sys
import timeit

import cotengrust
import opt_einsum

from plenexa_paths import DEFAULT_HASH_MAP_CAP

from paths import bounded_row, edges_to_inputs, grid, regular_graph, replay, symbols

CHILD = """
import json, sys, time
import plenexa_paths

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":"))

case = json.loads(sys.stdin.read())
inputs, output = case["inputs"], case["output"]
sizes = {int(k): v for k, v in case["sizes"].items()}
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak resident-set mark
except OSError:
    pass  # then the peak may predate the call, and the figure is a lower bound
before = status("VmRSS")
start = time.perf_counter()
path = plenexa_paths.optimize(inputs, output, sizes, hash_map_cap=case["cap"])
elapsed = time.perf_counter() - start
print(json.dumps({"time": elapsed, "rss_kib": before, "peak_kib": status("VmHWM"), "path": path}))
"""


def mps_norm(sites, bond, seed):
    """<psi|psi> for an open-boundary MPS: a ket and a bra tensor per site, physical size 2,
    virtual bonds drawn between 2 and `bond`."""
    rng = random.Random(seed)
    sizes, inputs = {}, []
    bonds = [rng.randint(2, bond) for _ in range(sites - 1)]
    label = 0

    def new(size):
        nonlocal label
        sizes[label] = size
        label += 1
        return label - 1

    phys = [new(2) for _ in range(sites)]
    for side in range(2):
        links = [new(b) for b in bonds]
        for s in range(sites):
            legs = ([links[s - 1]] if s > 0 else []) + [phys[s]] + ([links[s]] if s < sites - 1 else [])
            inputs.append(legs)
    return inputs, [], sizes


def circuit(qubits, depth):
    """A brick-work circuit applied to |0...0>: a state vector per qubit, two-qubit gates on
    alternating neighbour pairs, a single-qubit gate on each qubit at the end; one open leg per
    qubit."""
    sizes, inputs = {}, []
    label = 0

    def new():
        nonlocal label
        sizes[label] = 2
        label += 1
        return label - 1

    wire = [new() for _ in range(qubits)]
    inputs += [[w] for w in wire]
    for layer in range(depth):
        for q in range(layer % 2, qubits - 1, 2):
            a, b = new(), new()
            inputs.append([wire[q], wire[q + 1], a, b])
            wire[q], wire[q + 1] = a, b
    for q in range(qubits):
        out = new()
        inputs.append([wire[q], out])
        wire[q] = out
    return inputs, list(wire), sizes


def chain(n):
    """n tensors in a line with bonds of sizes 2 to 5: the long end of what users bring."""
    rng = random.Random(n)
    edges = [(i, i + 1) for i in range(n - 1)]
    inputs = edges_to_inputs(n, edges)
    return inputs, [], {e: rng.randint(2, 5) for e in range(n - 1)}


def bond2(inputs):
    return inputs, [], {x: 2 for axes in inputs for x in axes}


def networks(quick):
    for n in (64, 128) + (() if quick else (256,)):
        yield f"3-regular {n}", bond2(regular_graph(n, 3, seed=n))
    yield "MPS norm 100", mps_norm(100, 8, seed=1)
    yield "circuit 12x10", circuit(12, 10)
    yield "grid 12x12", bond2(grid(12))
    if not quick:
        # At the default cap a sweep over 2,000 tensors takes minutes; a small cap shows the reach.
        yield "chain 2000 (cap 8)", chain(2000), 8


def large(quick):
    print("1. plenexa_paths.optimize with the default caps (hash_map_cap 500)")
    print(
        f"{'network':<15}{'tensors':>8}{'time s':>9}{'peak MiB':>10}{'search MiB':>12}"
        f"{'/oe greedy':>12}{'/ctg greedy':>13}{'/ctg rgreedy':>14}{'rgreedy s':>11}"
    )
    rows = []
    for name, (inputs, output, sizes), *cap in networks(quick):
        case = json.dumps({"inputs": inputs, "output": output, "sizes": sizes, "cap": cap[0] if cap else DEFAULT_HASH_MAP_CAP})
        run = subprocess.run([sys.executable, "-c", CHILD], input=case, capture_output=True, text=True)
        if run.returncode != 0:
            # A failed search is a row of the table, not the end of the run.
            reason = (run.stderr.strip().splitlines() or [f"exit {run.returncode}"])[-1]
            rows.append({"network": name, "tensors": len(inputs), "failed": reason})
            print(f"{name:<15}{len(inputs):>8}  failed: {reason[:90]}")
            continue
        network = (inputs, output, sizes)
        row = bounded_row(name, network, json.loads(run.stdout))
        syms, sym_out, sym_sizes = symbols(network)
        rg_time = timeit.default_timer()
        rg_path = cotengrust.optimize_random_greedy_track_flops(syms, sym_out, sym_sizes, ntrials=128, seed=0, simplify=False)
        rg_time = timeit.default_timer() - rg_time
        rg = replay(inputs, output, sizes, rg_path[0] if isinstance(rg_path, tuple) else rg_path)
        row["vs_ctg_rgreedy"] = row["cost"] / rg
        row["rgreedy_s"] = rg_time
        rows.append(row)
        print(f"{name:<15}{len(inputs):>8}{row['time_s']:>9.3f}{row['peak_mib']:>10.1f}{row['search_mib']:>12.1f}"
              f"{row['vs_oe_greedy']:>12.3g}{row['vs_ctg_greedy']:>13.3g}{row['vs_ctg_rgreedy']:>14.3g}{row['rgreedy_s']:>11.3f}")
    print("   cost ratios below 1: our path is cheaper; search MiB: peak resident memory above the")
    print("   resident memory before the call; rgreedy s: the random greedy's own time")
    return rows


def overhead():
    import plenexa_paths
    from plenexa import EinsumSpec

    print("2. Per-call overhead, 'ab,bc,cd->ad' with sizes 2, 3, 4, 5")
    inputs, output = [("a", "b"), ("b", "c"), ("c", "d")], ("a", "d")
    size_dict = {"a": 2, "b": 3, "c": 4, "d": 5}
    sizes = {0: 2, 1: 3, 2: 4, 3: 5}
    number = 20000

    def per_call(fn, n):
        return min(timeit.repeat(fn, number=n, repeat=5)) / n

    paths = per_call(lambda: plenexa_paths.optimize(inputs, output, size_dict), number)
    spec = per_call(lambda: EinsumSpec([[0, 1], [1, 2], [2, 3]], [0, 3], sizes).optimize_dp(), number)
    shapes = [(2, 3), (3, 4), (4, 5)]
    oe = per_call(lambda: opt_einsum.contract_path("ab,bc,cd->ad", *shapes, shapes=True), number // 10)
    print(f"   plenexa_paths.optimize: {paths * 1e6:.2f} us; EinsumSpec(...) + optimize_dp(): {spec * 1e6:.2f} us;"
          f" opt_einsum.contract_path: {oe * 1e6:.2f} us")
    return paths, spec, oe


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="skip the 256-tensor graph and the 2,000-tensor chain")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE, for bench/plot.py")
    args = parser.parse_args()
    print(f"python {platform.python_version()} on {platform.machine()}, {platform.processor() or platform.platform()}")
    print()
    rows = large(args.quick)
    print()
    paths_s, spec_s, oe_s = overhead()
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"large": rows, "overhead": {"paths_s": paths_s, "spec_dp_s": spec_s, "oe_s": oe_s}}, f, indent=1)


if __name__ == "__main__":
    main()
