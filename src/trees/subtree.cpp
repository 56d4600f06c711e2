// Choosing, extracting and replacing subtrees (and windows) of a contraction tree.
#include "trees/subtree.hpp"

#include <algorithm>
#include <utility>

namespace plenexa::trees {

std::vector<Window> costliest_subtrees(const Tree& tree, uint32_t least, uint32_t most, size_t count, double floor) {
    // Leaf counts, children before parents.
    std::vector<uint32_t> leaves(tree.nodes.size(), 1), sized;
    for (const uint32_t at : internal_post_order(tree)) {
        leaves[at] = leaves[tree.nodes[at].left] + leaves[tree.nodes[at].right];
        if (leaves[at] > least && leaves[at] <= most) sized.push_back(at);
    }
    std::stable_sort(sized.begin(), sized.end(),
                     [&](uint32_t a, uint32_t b) { return tree.nodes[a].flops > tree.nodes[b].flops; });
    std::vector<uint8_t> taken(tree.nodes.size(), 0);
    std::vector<Window> subtrees;
    std::vector<uint32_t> below;
    for (const uint32_t root : sized) {
        if (subtrees.size() >= count || tree.nodes[root].flops < floor) break;
        Window subtree{root, {}, {}};
        bool free = true;
        below.assign(1, root);
        while (!below.empty() && free) {
            const uint32_t at = below.back();
            below.pop_back();
            if (at < tree.inputs) {
                subtree.leaves.push_back(at);
            } else {
                free = !taken[at];
                subtree.inside.push_back(at);
                below.push_back(tree.nodes[at].left);
                below.push_back(tree.nodes[at].right);
            }
        }
        for (uint32_t at = tree.nodes[root].parent; at != no_node && free; at = tree.nodes[at].parent)
            free = !taken[at];
        if (!free) continue;
        for (const uint32_t at : subtree.inside) taken[at] = 1;
        std::sort(subtree.leaves.begin(), subtree.leaves.end());
        subtrees.push_back(std::move(subtree));
    }
    return subtrees;
}

std::vector<Window> costliest_windows(const Tree& tree, uint32_t least, uint32_t most, size_t count, double floor) {
    std::vector<uint32_t> roots = internal_post_order(tree);
    std::stable_sort(roots.begin(), roots.end(),
                     [&](uint32_t a, uint32_t b) { return tree.nodes[a].flops > tree.nodes[b].flops; });
    std::vector<uint8_t> taken(tree.nodes.size(), 0);
    std::vector<Window> windows;
    std::vector<uint32_t> frontier;
    for (const uint32_t root : roots) {
        if (windows.size() >= count || tree.nodes[root].flops < floor) break;
        if (taken[root]) continue;
        Window window{root, {root}, {}};
        frontier.clear();
        const auto take = [&](uint32_t at) {
            for (const uint32_t child : {tree.nodes[at].left, tree.nodes[at].right})
                (child < tree.inputs || taken[child] ? window.leaves : frontier).push_back(child);
        };
        take(root);
        while (window.inside.size() + 1 < most && !frontier.empty()) {
            auto pick = frontier.begin();
            for (auto it = frontier.begin(); it != frontier.end(); ++it)
                if (tree.nodes[*it].size > tree.nodes[*pick].size ||
                    (tree.nodes[*it].size == tree.nodes[*pick].size && *it < *pick))
                    pick = it;
            const uint32_t at = *pick;
            frontier.erase(pick);
            window.inside.push_back(at);
            take(at);
        }
        window.leaves.insert(window.leaves.end(), frontier.begin(), frontier.end());
        double cost = 0;
        for (const uint32_t at : window.inside) cost += tree.nodes[at].step;
        if (window.leaves.size() <= least || cost < floor) continue;
        std::sort(window.leaves.begin(), window.leaves.end());
        for (const uint32_t at : window.inside) taken[at] = 1;
        windows.push_back(std::move(window));
    }
    return windows;
}

Subnetwork subnetwork(const Network& network, const Tree& tree, const Window& window) {
    Subnetwork sub;
    for (const uint32_t leaf : window.leaves)
        sub.axes.insert(sub.axes.end(), tree.nodes[leaf].axes.begin(), tree.nodes[leaf].axes.end());
    std::sort(sub.axes.begin(), sub.axes.end());
    sub.axes.erase(std::unique(sub.axes.begin(), sub.axes.end()), sub.axes.end());
    // Renumbering in ascending order keeps every leaf's axes sorted.
    const auto local = [&](Axis axis) {
        return static_cast<Axis>(std::lower_bound(sub.axes.begin(), sub.axes.end(), axis) - sub.axes.begin());
    };
    for (const Axis axis : sub.axes) sub.network.sizes.push_back(network.sizes[axis]);
    sub.network.output.assign(sub.axes.size(), 0);
    for (const Axis axis : tree.nodes[window.root].axes) sub.network.output[local(axis)] = 1;
    for (const uint32_t leaf : window.leaves) {
        Axes axes;
        for (const Axis axis : tree.nodes[leaf].axes) axes.push_back(local(axis));
        sub.network.inputs.push_back(std::move(axes));
    }
    sub.network = checked(std::move(sub.network));
    return sub;
}

void graft(Tree& tree, const Window& window, const Subnetwork& sub, const Tree& built) {
    std::vector<uint32_t> number(built.nodes.size(), no_node);
    for (uint32_t k = 0; k < built.inputs; ++k) number[k] = window.leaves[k];
    number[built.root] = window.root;
    auto next = window.inside.begin() + 1;
    for (uint32_t at = built.inputs; at < built.nodes.size(); ++at)
        if (at != built.root) number[at] = *next++;
    const uint32_t above = tree.nodes[window.root].parent;
    for (uint32_t at = built.inputs; at < built.nodes.size(); ++at) {
        const Node& from = built.nodes[at];
        Node& to = tree.nodes[number[at]];
        to.left = number[from.left];
        to.right = number[from.right];
        to.parent = at == built.root ? above : number[from.parent];
        to.axes.clear();
        for (const Axis axis : from.axes) to.axes.push_back(sub.axes[axis]);
        to.size = from.size;
        to.step = from.step;
        tree.nodes[to.left].parent = tree.nodes[to.right].parent = number[at];
    }
    // The flops of the window's nodes, children before parents (`built` may number a parent first).
    std::vector<std::pair<uint32_t, bool>> stack{{window.root, false}};
    while (!stack.empty()) {
        const auto [at, expanded] = stack.back();
        stack.pop_back();
        Node& node = tree.nodes[at];
        if (expanded) {
            node.flops = tree.nodes[node.left].flops + tree.nodes[node.right].flops + node.step;
        } else if (!std::binary_search(window.leaves.begin(), window.leaves.end(), at)) {
            stack.push_back({at, true});
            stack.push_back({node.right, false});
            stack.push_back({node.left, false});
        }
    }
    for (uint32_t at = above; at != no_node; at = tree.nodes[at].parent) {
        Node& node = tree.nodes[at];
        node.flops = tree.nodes[node.left].flops + tree.nodes[node.right].flops + node.step;
    }
}

}  // namespace plenexa::trees
