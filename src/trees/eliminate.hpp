// The elimination builder of contraction trees, for networks whose axes are held by many inputs
// (hypergraphs, as in model counting): the axes are summed one at a time, each by contracting
// every operand that holds it (its bucket) into one, the next axis chosen by the size of its
// bucket's union with seeded Gumbel noise. This is variable elimination: its orders follow a tree
// decomposition of the axes, where pairwise greedy choices see two operands at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// An axis scores log2 size(the union of its bucket's axes) - beta * log2 size(the bucket's
// largest operand), plus fill * log2(1 + its fill: the pairs of the union's other axes that no
// live operand holds together, min-fill's count in variable elimination), less temperature times
// a standard Gumbel variate drawn from (seed, axis, the number of times its score was taken); the
// lowest score is summed next.
struct EliminationParams {
    double beta = 0.5;
    double temperature = 0;
    uint64_t seed = 0;
    double fill = 0;
};

// Fill is counted on networks of at most this many axes (the builder keeps a count per pair of
// axes: 16 MiB at most), and only while no operand holds more than `fill_most_axes_held` axes
// (each join updates the pairs of its operands' axes); past that the build goes on without it.
// A weighted model count of 1,000 variables and 4,200 clauses, default settings: 10^201.29 in
// 64.6 s without fill trials (a bound of 512 axes), 10^200.05 in 75.5 s with them.
constexpr size_t fill_most_axes = 2048;
constexpr size_t fill_most_axes_held = 128;

// The elimination tree of a checked network. A bucket's operands are joined smallest result
// first (the two smallest operands when it holds more than 16), and the operands left when every
// axis outside the output is summed (the output's holders, unconnected parts) smallest two first.
// Deterministic for the parameters. Returns nothing when `stop` turns true before the end.
std::optional<Tree> elimination_tree(const Network& network, const EliminationParams& params,
                                     const std::atomic<bool>* stop = nullptr);

}  // namespace plenexa::trees
