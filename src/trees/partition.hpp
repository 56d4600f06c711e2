// The partition builder of contraction trees: top-down recursive bisection of a network's
// hypergraph (inputs as vertices, axes as hyperedges weighted by the log of their size), each
// split a multilevel min-cut bisection, and small parts ordered exactly by the window program.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "trees/network.hpp"
#include "trees/tree.hpp"
#include "trees/tuning.hpp"

namespace plenexa::trees {

// Largest imbalance a split accepts.
inline constexpr double max_imbalance = 0.99;

// Splits a partition build keeps from another tree: at depth k < `depth` (0 at the root) input
// i goes to side (path[i] >> k) & 1, its branch (0 left, 1 right) k steps below the root.
struct KeptSplits {
    std::vector<uint32_t> path;
    unsigned depth = 0;
};

// The parameters of one partition build.
struct PartitionParams {
    double imbalance = 0.2;       // the first split's sides hold (1 ± imbalance) / 2 of the inputs: see side_bounds
    double deep_imbalance = 0.9;  // the same for the later splits
    unsigned leaf_part = 8;       // parts of at most this many inputs (2 to max_window) are ordered exactly
    uint64_t seed = 0;
    PartitionTuning tuning;       // how each part is bisected
};

// The least and most inputs one side may hold when `count` inputs are split with `imbalance`
// (clamped to [0, max_imbalance]): [(1 - imbalance) count / 2, (1 + imbalance) count / 2],
// widened to [floor(count / 2), ceil(count / 2)] when narrower. The two bounds add up to `count`.
std::pair<uint32_t, uint32_t> side_bounds(uint32_t count, double imbalance);

// Splits `members`, two or more distinct inputs of a checked network, into sides 0 and 1 (one
// entry per member) within side_bounds, keeping low the cut: the summed log2 sizes of the axes
// that members on both sides hold. Each of `vcycles` V-cycles re-coarsens without merging across
// the sides and refines back up, never raising the cut. Deterministic for a seed and tuning.
std::vector<uint8_t> bisect(const Network& network, const std::vector<uint32_t>& members, double imbalance,
                            uint64_t seed, const PartitionTuning& tuning, unsigned vcycles = 0);

// The tree of a checked network built by recursive bisection: a part of more than
// `params.leaf_part` inputs is split by `bisect` (the whole network with `imbalance`, later parts
// with `deep_imbalance`, either narrowed so that no side holds fewer than `leaf_part` inputs, the
// first with V-cycles; of a few such bisections, the one whose larger side has the lightest
// boundary) and its tree joins its sides' trees; a smaller part gets its cheapest order (keeping
// the axes that the output or the other inputs need). Given `kept`, taken from a tree of the
// network, the parts of its first `kept->depth` levels are split as in that tree instead.
// Deterministic for the parameters. Returns nothing when `stop` turns true before the end.
std::optional<Tree> partition_tree(const Network& network, const PartitionParams& params,
                                   const std::atomic<bool>* stop = nullptr, const KeptSplits* kept = nullptr);

}  // namespace plenexa::trees
