// Contraction trees: building one from numbered steps, numbering one in post-order, listing its
// internal nodes in post-order, and recomputing kept axes and costs from a tree's shape.
#include "trees/tree.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "util/failure.hpp"

namespace plenexa::trees {

Score score(const Tree& tree, const Objective& objective) {
    const double flops = tree.cost();
    if (objective.measure == Measure::flops) return {flops, flops};
    double largest = 0, write = 0;
    for (uint32_t i = tree.inputs; i < tree.nodes.size(); ++i) {
        largest = std::max(largest, tree.nodes[i].size);
        write += tree.nodes[i].size;
    }
    switch (objective.measure) {
        case Measure::size: return {largest, flops};
        case Measure::write: return {write, flops};
        default: return {flops + objective.factor * write, flops};
    }
}

std::vector<Node> leaves_of(const Network& network, const std::vector<double>& sizes) {
    std::vector<Node> leaves(network.inputs.size());
    for (size_t i = 0; i < leaves.size(); ++i) {
        leaves[i].axes = network.inputs[i];
        for (const Axis axis : leaves[i].axes) leaves[i].size *= sizes[axis];
    }
    return leaves;
}

Tree unjoined(const Network& network, const std::vector<double>& sizes) {
    Tree tree;
    tree.inputs = static_cast<uint32_t>(network.inputs.size());
    tree.nodes = leaves_of(network, sizes);
    tree.nodes.reserve(2 * size_t{tree.inputs} - 1);
    return tree;
}

Tree tree_from_steps(const Network& network, const Steps& steps) {
    using util::InvalidValue;
    const auto n = static_cast<uint32_t>(network.inputs.size());
    if (steps.size() + 1 != n)
        throw InvalidValue(std::to_string(steps.size()) + " steps for " + std::to_string(n) + " inputs");
    const std::vector<double> sizes = size_weights(network);
    Tree tree{n, 2 * n - 2, leaves_of(network, sizes)};
    tree.nodes.resize(2 * size_t{n} - 1);
    for (size_t k = 0; k < steps.size(); ++k) {
        const auto made = static_cast<uint32_t>(n + k);
        for (const uint32_t child : steps[k]) {
            if (child >= made)
                throw InvalidValue("step " + std::to_string(k) + " uses node " + std::to_string(child) +
                                   ", which does not exist yet");
            if (tree.nodes[child].parent != no_node)
                throw InvalidValue("step " + std::to_string(k) + " uses node " + std::to_string(child) + " again");
            tree.nodes[child].parent = made;
        }
        tree.nodes[made].left = steps[k][0];
        tree.nodes[made].right = steps[k][1];
    }
    // N - 1 steps each consuming two fresh nodes leave exactly one node unused: the last one.
    fill(network, sizes, tree);
    return tree;
}

Steps steps_of(const Tree& tree) {
    Steps steps;
    steps.reserve(tree.nodes.size() / 2);
    std::vector<uint32_t> number(tree.nodes.size(), no_node);
    for (uint32_t i = 0; i < tree.inputs; ++i) number[i] = i;
    // An explicit stack: chains make trees as deep as they have inputs.
    std::vector<uint32_t> stack{tree.root};
    while (!stack.empty()) {
        const uint32_t at = stack.back();
        const Node& node = tree.nodes[at];
        if (number[at] != no_node) {
            stack.pop_back();
        } else if (number[node.left] == no_node) {
            stack.push_back(node.left);
        } else if (number[node.right] == no_node) {
            stack.push_back(node.right);
        } else {
            steps.push_back({number[node.left], number[node.right]});
            number[at] = static_cast<uint32_t>(tree.inputs + steps.size() - 1);
            stack.pop_back();
        }
    }
    return steps;
}

std::vector<uint32_t> internal_post_order(const Tree& tree) {
    std::vector<uint32_t> order;
    order.reserve(tree.nodes.size() - tree.inputs);
    // An explicit stack: chains make trees as deep as they have inputs.
    std::vector<std::pair<uint32_t, bool>> stack{{tree.root, false}};
    while (!stack.empty()) {
        const auto [at, expanded] = stack.back();
        stack.pop_back();
        if (at < tree.inputs) continue;
        if (expanded) {
            order.push_back(at);
        } else {
            stack.push_back({at, true});
            stack.push_back({tree.nodes[at].right, false});
            stack.push_back({tree.nodes[at].left, false});
        }
    }
    return order;
}

void fill(const Network& network, const std::vector<double>& sizes, Tree& tree) {
    // An axis leaves a subtree's kept set when the subtree holds every input that has it and the
    // output does not keep it. A depth-first order puts each subtree's leaves in one contiguous
    // range [first, last], so the test is whether the axis's holders all fall in that range.
    const size_t n_axes = sizes.size();
    std::vector<uint32_t> first_holder(n_axes, no_node), last_holder(n_axes, 0);
    std::vector<uint32_t> first(tree.nodes.size()), last(tree.nodes.size());
    std::vector<uint32_t> order;  // internal nodes, children before parents
    order.reserve(tree.nodes.size());
    uint32_t position = 0;
    std::vector<std::pair<uint32_t, bool>> stack{{tree.root, false}};
    while (!stack.empty()) {
        const auto [at, expanded] = stack.back();
        stack.pop_back();
        const Node& node = tree.nodes[at];
        if (node.left == no_node) {
            first[at] = last[at] = position;
            for (const Axis axis : network.inputs[at]) {
                if (first_holder[axis] == no_node) first_holder[axis] = position;
                last_holder[axis] = position;
            }
            ++position;
        } else if (expanded) {
            first[at] = first[node.left];
            last[at] = last[node.right];
            order.push_back(at);
        } else {
            stack.push_back({at, true});
            stack.push_back({node.right, false});
            stack.push_back({node.left, false});
        }
    }
    for (const uint32_t at : order) {
        Node& node = tree.nodes[at];
        const uint32_t lo = first[at], hi = last[at];
        join(
            sizes, tree.nodes[node.left], tree.nodes[node.right],
            [&](Axis axis, bool) {
                return network.output[axis] || first_holder[axis] < lo || last_holder[axis] > hi;
            },
            node);
    }
}

}  // namespace plenexa::trees
