"""What plenexa_paths' interrupt check costs a search, and how fast Ctrl-C ends one.

Run with `python bench/interrupt.py` (part of `make bench`). Three figures, each the best of a
few runs in this process or a child:
  1. an exhaustive search alone, and beside a busy Python thread (the check takes the
     interpreter lock only when a signal may be pending, so the busy thread costs it little);
  2. the same search on a worker thread beside a busy main thread (no signal checks at all);
  3. the time from SIGINT to KeyboardInterrupt for a search on the main thread;
  4. how long calls with `max_time=T` take against T + 10% + 50 ms (the bound the search aims
     at), on networks whose search runs far longer: a 2,000-vertex graph (the tree search) and
     400 components of 62 tensors (tables and windows per component).
"""

import argparse
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import plenexa_paths
from networks import regular_graph

INPUTS = regular_graph(40, 3, 40)
SIZES = {x: 2 for term in INPUTS for x in term}


def search_seconds(runs: int) -> float:
    """The best time of `runs` capped searches of the 40-vertex graph."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        plenexa_paths.optimize(INPUTS, [], SIZES, hash_map_cap=3000)
        best = min(best, time.perf_counter() - start)
    return best


def beside_busy_thread(runs: int, on_worker: bool) -> float:
    """The best search time with a Python thread spinning meanwhile (the search on a worker
    thread when `on_worker`, the spinning on the main thread then)."""
    stop = threading.Event()

    def spin() -> None:
        x = 0
        while not stop.is_set():
            x += 1

    result: list[float] = []
    if on_worker:
        worker = threading.Thread(target=lambda: result.append(search_seconds(runs)))
        worker.start()
        while worker.is_alive():
            for _ in range(10_000):
                pass
        return result[0]
    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        return search_seconds(runs)
    finally:
        stop.set()
        spinner.join()


def ctrl_c_latency() -> float:
    """Seconds from SIGINT to the KeyboardInterrupt of an exhaustive search in a child."""
    code = textwrap.dedent("""
        import sys, time
        sys.path.insert(0, sys.argv[1])
        import plenexa_paths
        from networks import regular_graph
        inputs = regular_graph(40, 3, 40)
        sizes = {x: 2 for term in inputs for x in term}
        print("searching", flush=True)
        try:
            plenexa_paths.optimize(inputs, [], sizes, hash_map_cap=None)
        except KeyboardInterrupt:
            print(time.time(), flush=True)
    """)
    bench = os.path.dirname(os.path.abspath(__file__))  # where the child finds bench/networks.py
    child = subprocess.Popen([sys.executable, "-c", code, bench], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline() == "searching\n"
        time.sleep(0.5)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    return float(out) - sent


# The networks of the budget rows, by name.
BUDGET_NETWORKS = {
    "3-regular 2000": regular_graph(2000, 3, 5),
    "400 x 62": [[(c, x) for x in term] for c in range(400) for term in regular_graph(62, 3, 1)],
}


def budget_rows(runs: int) -> list[tuple[str, float, float]]:
    """(network, T, the slowest of `runs` calls with max_time=T) for a few budgets."""
    rows = []
    for name, inputs in BUDGET_NETWORKS.items():
        sizes = {x: 2 for term in inputs for x in term}
        for budget in (0.01, 0.1, 0.5):
            slowest = 0.0
            for _ in range(runs):
                start = time.perf_counter()
                plenexa_paths.optimize(inputs, [], sizes, max_time=budget)
                slowest = max(slowest, time.perf_counter() - start)
            rows.append((name, budget, slowest))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="one run of each figure")
    runs = 1 if parser.parse_args().quick else 3
    alone = search_seconds(runs)
    busy = beside_busy_thread(runs, on_worker=False)
    worker = beside_busy_thread(runs, on_worker=True)
    latency = min(ctrl_c_latency() for _ in range(runs))
    print(f"search alone                         {alone:7.3f} s")
    print(f"beside a busy Python thread          {busy:7.3f} s  ({busy / alone - 1:+.1%})")
    print(f"on a worker, main thread busy        {worker:7.3f} s  ({worker / alone - 1:+.1%})")
    print(f"Ctrl-C to KeyboardInterrupt          {latency * 1000:7.1f} ms")
    for name, budget, slowest in budget_rows(runs):
        bound = budget * 1.1 + 0.05
        print(f"max_time={budget:<5} {name:<15} {slowest:7.3f} s  (bound {bound:.3f} s{'' if slowest <= bound else ', OVER'})")


if __name__ == "__main__":
    main()
