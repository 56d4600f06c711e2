// Simulated annealing on a contraction tree: random rotations of a node and its child, accepted
// by the Metropolis rule on the log of the tree's flops, the temperature falling geometrically.
// Windows and rebuilds only ever accept a cheaper tree; annealing walks through costlier ones to
// leave the valleys that stop them.
#pragma once

#include <atomic>
#include <cstdint>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// The schedule of one annealing run.
struct AnnealSettings {
    unsigned moves_per_node{};  // rotations tried per internal node of the tree
    double start_temperature{};  // in log2 units of the total flops: a move that doubles the
    double end_temperature{};    // cost is accepted with probability 2^(-1 / temperature)
    uint64_t seed{};
};

// Anneals `tree` (over a checked network) in place for flops and leaves it complete and consistent,
// whether or not it is cheaper than before (the caller keeps the cheaper). Stops early when `stop`
// turns true, and then answers false: a run cut short ends hot, on a tree that the whole run need
// not reach. The result depends only on the tree, the network and the settings.
bool anneal(const Network& network, Tree& tree, const AnnealSettings& settings, const std::atomic<bool>* stop = nullptr);

}  // namespace plenexa::trees
