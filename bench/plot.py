"""Draws bench/speed.png from the figures that bench/paths.py and bench/large.py write with --json.

Run by `make bench` (or `python bench/plot.py PATHS_JSON LARGE_JSON -o PNG`). Top: the exact
search's speed-up over opt_einsum's DynamicProgramming and cotengrust's optimize_optimal on every
network of the exact table. Bottom: the cost of the bounded search's path relative to the greedy
paths, on the 40- to 63-tensor networks and on bench/large.py's networks, there also relative to
cotengra's HyperOptimizer. A missing file, a
missing table or a failed row leaves a gap (marked in the picture) rather than stopping.
"""

from __future__ import annotations

import argparse
import json
from pathlib import Path
from typing import Any

import matplotlib

matplotlib.use("Agg")  # files only, no display
import matplotlib.pyplot as plt
from matplotlib.axes import Axes

# The speed-ups that the exact search is expected to reach against each peer.
TARGETS = {"opt_einsum DP": 100, "cotengrust optimal": 10}
COLOURS = {"opt_einsum DP": "tab:blue", "cotengrust optimal": "tab:orange", "cotengrust greedy": "tab:orange",
           "opt_einsum greedy": "tab:blue", "cotengrust random greedy": "tab:green",
           "cotengra HyperOptimizer": "tab:red"}


def load(path: str) -> dict[str, Any]:
    """The figures in `path`, or none when the file is missing or unreadable."""
    try:
        return json.loads(Path(path).read_text())
    except (OSError, ValueError):
        return {}


def bars(ax: Axes, labels: list[str], series: dict[str, list[float]], hatched: dict[str, list[bool]]) -> None:
    """Grouped bars on a log scale, one group per label; hatched bars are lower bounds."""
    width = 0.8 / max(len(series), 1)
    for k, (name, values) in enumerate(series.items()):
        for i, value in enumerate(values):
            x = i + (k - (len(series) - 1) / 2) * width
            hatch = "//" if hatched.get(name, [False] * len(values))[i] else None
            ax.bar(x, value, width, color=COLOURS[name], hatch=hatch, edgecolor="white" if hatch else None,
                   label=name if i == 0 else None)
    ax.set_yscale("log")
    ax.set_xticks(range(len(labels)), labels, rotation=60, ha="right", fontsize=8)
    ax.set_xlim(-0.6, max(len(labels), 1) - 0.4)


def speed(ax: Axes, exact: list[dict[str, Any]]) -> None:
    labels = [row["network"] for row in exact]
    # A search that opt_einsum did not finish within its budget is drawn at the budget, hatched.
    stopped = [row["oe_s"] is None for row in exact]
    oe = [(row["oe_budget_s"] if stop else row["oe_s"]) / row["ours_s"] for row, stop in zip(exact, stopped)]
    ctg = [row["ctg_s"] / row["ours_s"] for row in exact]
    bars(ax, labels, {"opt_einsum DP": oe, "cotengrust optimal": ctg}, {"opt_einsum DP": stopped})
    for name, target in TARGETS.items():
        ax.axhline(target, color=COLOURS[name], linestyle="--", linewidth=0.8, label=f"{target}x against {name}")
    ax.set_ylim(top=max(oe + ctg, default=10) * 8)  # headroom for the legend
    ax.set_ylabel("their time / ours")
    ax.set_title("Exact search: speed-up over the peers' exhaustive searches (hatched: opt_einsum stopped at its budget, a lower bound)",
                 fontsize=9)
    ax.legend(fontsize=8, loc="upper center", ncol=4)


def costs(ax: Axes, bounded: list[dict[str, Any]], large: list[dict[str, Any]]) -> None:
    rows = bounded + large
    labels = [f"{row['network']}{' (failed)' if 'failed' in row else ''}" for row in rows]
    series = {
        "opt_einsum greedy": [row.get("vs_oe_greedy") for row in rows],
        "cotengrust greedy": [row.get("vs_ctg_greedy") for row in rows],
        "cotengrust random greedy": [row.get("vs_ctg_rgreedy") for row in rows],
        "cotengra HyperOptimizer": [row.get("vs_ctg_hyper") for row in rows],
    }
    # The bounded table has no random-greedy or HyperOptimizer column: leave those slots empty.
    width = 0.8 / len(series)
    for k, (name, values) in enumerate(series.items()):
        for i, value in enumerate(values):
            x = i + (k - (len(series) - 1) / 2) * width
            if value is not None:
                ax.bar(x, value, width, color=COLOURS[name], label=name if name not in ax.get_legend_handles_labels()[1] else None)
            elif "failed" in rows[i] and k == 1:
                ax.text(x, 1, "failed", rotation=90, ha="center", va="bottom", fontsize=7, color="red")
    ax.set_yscale("log")
    ax.set_xticks(range(len(labels)), labels, rotation=60, ha="right", fontsize=8)
    ax.set_xlim(-0.6, max(len(labels), 1) - 0.4)
    ax.axhline(1, color="black", linewidth=0.8)
    if bounded and large:
        ax.axvline(len(bounded) - 0.5, color="grey", linewidth=0.8)
    ax.set_ylabel("our path's cost / the peer's")
    ax.set_title("Default caps: cost relative to the peers' paths (below 1: ours is cheaper); left of the line 40-63 tensors, right 64+",
                 fontsize=9)
    ax.legend(fontsize=8, loc="lower left")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths_json")
    parser.add_argument("large_json")
    parser.add_argument("-o", "--output", default="bench/speed.png")
    args = parser.parse_args()
    paths, large = load(args.paths_json), load(args.large_json)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(13, 10))
    speed(top, paths.get("exact", []))
    costs(bottom, paths.get("bounded", []), large.get("large", []))
    fig.text(0.01, 0.005, paths.get("machine", ""), fontsize=7, color="grey")
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    fig.savefig(args.output, dpi=90)


if __name__ == "__main__":
    main()
