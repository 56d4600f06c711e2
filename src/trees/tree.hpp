// A contraction tree over the inputs of a network: its nodes with their kept axes, sizes and
// costs, the conversions between trees and numbered step lists, and the step that joins two
// nodes under the cost model shared by every builder of trees.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "vocabulary/vocabulary.hpp"
#include "trees/network.hpp"

namespace plenexa::trees {

// The absent child or parent.
inline constexpr uint32_t no_node = std::numeric_limits<uint32_t>::max();

// One node: an input (a leaf, no children) or the contraction of its two children.
struct Node {
    uint32_t left = no_node;
    uint32_t right = no_node;
    uint32_t parent = no_node;
    Axes axes;         // kept axes: a leaf keeps all of its input's axes
    double size = 1;   // product of the kept axes' sizes
    double step = 0;   // cost of the contraction that makes this node: 0 for a leaf
    double flops = 0;  // total cost of the subtree below and at this node
};

// Contraction steps as pairs of node numbers: numbers below N are inputs, step k makes N + k.
using Steps = std::vector<std::array<uint32_t, 2>>;

// A contraction tree over N inputs: nodes 0..N-1 are the inputs, the other N - 1 nodes are
// internal, in any order; `root` is the one node without a parent.
struct Tree {
    uint32_t inputs = 0;
    uint32_t root = 0;
    std::vector<Node> nodes;

    // The total cost: the flops of the root's subtree.
    double cost() const { return nodes.empty() ? 0.0 : nodes[root].flops; }
};

// What a tree's path measures under an objective, then its flops (which break the ties of
// "size"); the lower the better. Doubles, which never saturate.
struct Score {
    double measure = 0;
    double flops = 0;

    bool operator<(const Score& other) const {
        return measure != other.measure ? measure < other.measure : flops < other.flops;
    }
};

// The tree's score under `objective` (see Measure), from its nodes' sizes and steps.
Score score(const Tree& tree, const Objective& objective);

// The leaves of a checked network: one node per input, keeping all of its axes.
std::vector<Node> leaves_of(const Network& network, const std::vector<double>& sizes);

// The start of a builder's tree: the network's leaves, with room for every internal node.
Tree unjoined(const Network& network, const std::vector<double>& sizes);

// The tree that `steps` describe over a checked network, kept axes and costs filled in.
// Throws util::InvalidValue unless the steps use every node exactly once and leave one root.
Tree tree_from_steps(const Network& network, const Steps& steps);

// The tree's steps in post-order, left child before right.
Steps steps_of(const Tree& tree);

// The tree's internal nodes, children before parents, left before right.
std::vector<uint32_t> internal_post_order(const Tree& tree);

// Recomputes the kept axes, sizes and costs of every internal node from the tree's shape.
void fill(const Network& network, const std::vector<double>& sizes, Tree& tree);

// Sets `node` to the contraction of `left` and `right`: its step costs the product of the sizes of
// their axes' union, and it keeps the axes of the union for which `keep(axis, in_both)` holds.
// Products run in ascending axis order, so that every builder gets the same bits for a node.
template <class Keep>
void join(const std::vector<double>& sizes, const Node& left, const Node& right, Keep&& keep, Node& node) {
    node.axes.clear();
    double step = 1, size = 1;
    auto a = left.axes.begin(), b = right.axes.begin();
    const auto a_end = left.axes.end(), b_end = right.axes.end();
    while (a != a_end || b != b_end) {
        Axis axis;
        bool both = false;
        if (b == b_end || (a != a_end && *a < *b)) {
            axis = *a++;
        } else if (a == a_end || *b < *a) {
            axis = *b++;
        } else {
            axis = *a++;
            ++b;
            both = true;
        }
        step *= sizes[axis];
        if (keep(axis, both)) {
            node.axes.push_back(axis);
            size *= sizes[axis];
        }
    }
    node.size = size;
    node.step = step;
    node.flops = left.flops + right.flops + step;
}

}  // namespace plenexa::trees
