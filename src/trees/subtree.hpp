// Subtrees of a tree as networks of their own, for the search's rebuilds of a tree's costliest
// parts: the choice of subtrees, the network of a window, and the grafting of a new tree in its
// place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "trees/network.hpp"
#include "trees/tree.hpp"

namespace plenexa::trees {

// A window of a tree: an internal node, its root, and internal nodes below it, down to its
// leaves (inputs or internal nodes whose subtrees the window leaves as they are).
struct Window {
    uint32_t root = no_node;
    std::vector<uint32_t> inside;  // the window's internal nodes, root first
    std::vector<uint32_t> leaves;  // ascending
};

// Up to `count` subtrees of more than `least` and at most `most` leaves costing at least `floor`,
// sharing no node, as windows down to the inputs; costliest first (ties: earlier in post-order first).
std::vector<Window> costliest_subtrees(const Tree& tree, uint32_t least, uint32_t most, size_t count,
                                       double floor);

// Up to `count` windows of more than `least` and at most `most` leaves whose steps cost at least
// `floor`, sharing no internal node: from the roots of the costliest subtrees first (ties: earlier
// in post-order first), each grown towards the largest tensors, as refine's windows at even places
// of its cycle, and stopping at the nodes of windows taken before.
std::vector<Window> costliest_windows(const Tree& tree, uint32_t least, uint32_t most, size_t count,
                                      double floor);

// The network of a window of a tree over a checked network: an input per leaf (its kept axes),
// the root's kept axes as the output; its axes renumbered in ascending order.
struct Subnetwork {
    Network network;  // checked
    Axes axes;        // axis k of `network` is axes[k] of the whole network
};

// The network of `window`, a window of `tree`.
Subnetwork subnetwork(const Network& network, const Tree& tree, const Window& window);

// Replaces the window's internal nodes by those of `built`, a tree over `sub` =
// subnetwork(..., tree, window), reusing the window's nodes (its root stays its root), and updates
// the costs above it.
void graft(Tree& tree, const Window& window, const Subnetwork& sub, const Tree& built);

}  // namespace plenexa::trees
