"""Seeded tensor networks shared by the optimiser tests: one input per vertex, one axis per edge."""

import random


def edges_to_inputs(n, edges):
    """One input per vertex holding the axes of its edges, edge e being axis e."""
    inputs = [[] for _ in range(n)]
    for e, (a, b) in enumerate(edges):
        inputs[a].append(e)
        inputs[b].append(e)
    return inputs


def regular_graph(n, degree, seed):
    """A random simple `degree`-regular graph on n vertices."""
    rng = random.Random(seed)
    while True:
        stubs = [v for v in range(n) for _ in range(degree)]
        rng.shuffle(stubs)
        edges = {tuple(sorted(stubs[k : k + 2])) for k in range(0, len(stubs), 2)}
        if len(edges) == len(stubs) // 2 and all(a != b for a, b in edges):
            return edges_to_inputs(n, sorted(edges))


def grid(rows, cols):
    """A rows x cols square lattice."""
    edges = [(r * cols + c, r * cols + c + 1) for r in range(rows) for c in range(cols - 1)]
    edges += [(r * cols + c, (r + 1) * cols + c) for r in range(rows - 1) for c in range(cols)]
    return edges_to_inputs(rows * cols, edges)
