// The joins of a call's solved components by outer products: the order of least cost (exact for
// up to max_exact_join results, smallest first beyond), and scalars attached where they cost
// least inside another component's tree.
#include <algorithm>
#include <limits>
#include <utility>

#include "driver/run.hpp"
#include "optimiser/detail.hpp"
#include "util/failure.hpp"

namespace plenexa::driver {

using optimiser::push_node;

namespace {

// Walks the tree under `root` of `nodes` (a component's), calling `visit(node, size, step)` with
// each node's operand size (a leaf keeps all of its input's axes, a step the axes that the output
// or an input outside it holds) and the cost of the step that makes it (0 for a leaf): the product
// of the sizes of its operands' axes, without saturation.
template <class Visit>
void walk_tree(const std::vector<Node>& nodes, uint32_t root, const Component& comp, Visit&& visit) {
    std::vector<uint32_t> holders(comp.n_axes, 0);
    for (uint32_t a : comp.axes) ++holders[a];
    // Per node on the stack: its axes with how many of its inputs hold each, ascending by axis.
    using Counted = std::vector<std::pair<uint32_t, uint32_t>>;
    std::vector<Counted> values;
    std::vector<std::pair<uint32_t, bool>> stack{{root, false}};
    Counted both;
    while (!stack.empty()) {
        const auto [index, expanded] = stack.back();
        stack.pop_back();
        const Node node = nodes[index];
        if (node.left == Node::leaf) {
            const size_t j = static_cast<size_t>(
                std::lower_bound(comp.inputs.begin(), comp.inputs.end(), node.right) - comp.inputs.begin());
            Counted axes;
            double size = 1;
            for (uint32_t p = comp.axis_start[j]; p < comp.axis_start[j + 1]; ++p) {
                axes.push_back({comp.axes[p], 1});
                size *= static_cast<double>(comp.sizes[comp.axes[p]]);
            }
            std::sort(axes.begin(), axes.end());
            values.push_back(std::move(axes));
            visit(index, size, 0.0);
        } else if (!expanded) {
            stack.push_back({index, true});
            stack.push_back({node.right, false});
            stack.push_back({node.left, false});
        } else {
            Counted right = std::move(values.back());
            values.pop_back();
            Counted& left = values.back();
            both.clear();
            size_t i = 0, r = 0;
            while (i < left.size() || r < right.size()) {
                if (r == right.size() || (i < left.size() && left[i].first < right[r].first)) both.push_back(left[i++]);
                else if (i == left.size() || right[r].first < left[i].first) both.push_back(right[r++]);
                else {
                    both.push_back({left[i].first, left[i].second + right[r].second});
                    ++i, ++r;
                }
            }
            double step = 1, size = 1;
            left.clear();
            for (const auto& [axis, count] : both) {
                step *= static_cast<double>(comp.sizes[axis]);
                if (comp.in_output[axis] || count < holders[axis]) {
                    left.push_back({axis, count});
                    size *= static_cast<double>(comp.sizes[axis]);
                }
            }
            visit(index, size, step);
        }
    }
}

// The order in which to join component results of these sizes (see cheapest_join),
// and what it costs without saturation.
std::pair<Numbered, double> join_order(const std::vector<std::array<uint64_t, 2>>& sizes) {
    Numbered steps = sizes.size() <= max_exact_join ? cheapest_join(sizes) : optimiser::detail::combine_order(sizes);
    std::vector<double> size, kept;
    for (const auto& [all, out] : sizes) {
        size.push_back(static_cast<double>(all));
        kept.push_back(static_cast<double>(out));
    }
    double cost = 0;
    for (const auto& [a, b] : steps) {
        cost += size[a] * size[b];
        size.push_back(kept[a] * kept[b]);
        kept.push_back(kept[a] * kept[b]);
    }
    return {std::move(steps), cost};
}

// Adds the steps `order` over `items` to the call's tree; returns the last one's node.
uint32_t add_joins(Call& call, std::vector<uint32_t> items, const Numbered& order) {
    for (const auto& [a, b] : order) items.push_back(push_node(call.tree, {items[a], items[b]}));
    return items.back();
}

// Where the scalars, joined into one operand of `joined` elements, meet another component's tree:
// the operand `at` of component `at_comp`'s tree, of `size` elements, whose join with the scalars
// costs joined x size less `saving`.
struct Site {
    double cost = std::numeric_limits<double>::infinity();
    double size = 0;
    double saving = 0;
    uint32_t at = 0;
    uint32_t at_comp = 0;
};

// The operand of the `others` components' trees where the scalars, joined, cost least: the
// product of both sizes, less what contracting the operand first saves its parent's step when it
// is an input with axes that no other input holds and the output drops.
Site scalar_site(const Call& call, const std::vector<Component>& comps, const std::vector<Solved>& solved,
                 const std::vector<uint32_t>& others, double joined) {
    Site site;
    std::vector<double> size_at(call.tree.size(), 0);
    for (uint32_t c : others) {
        const Component& comp = comps[c];
        std::vector<uint32_t> holders(comp.n_axes, 0);
        for (uint32_t a : comp.axes) ++holders[a];
        // The product of the sizes of a leaf's axes that leave at its first step.
        const auto dropped = [&](const Node& leaf) {
            const size_t j = static_cast<size_t>(
                std::lower_bound(comp.inputs.begin(), comp.inputs.end(), leaf.right) - comp.inputs.begin());
            double product = 1;
            for (uint32_t p = comp.axis_start[j]; p < comp.axis_start[j + 1]; ++p) {
                const uint32_t a = comp.axes[p];
                if (holders[a] == 1 && !comp.in_output[a]) product *= static_cast<double>(comp.sizes[a]);
            }
            return product;
        };
        const auto consider = [&](uint32_t node, double size, double saved) {
            if (joined * size - saved < site.cost) site = {joined * size - saved, size, saved, node, c};
        };
        walk_tree(call.tree, solved[c].root, comp, [&](uint32_t node, double size, double step) {
            size_at[node] = size;
            consider(node, size, 0);
            const Node& n = call.tree[node];
            if (n.left == Node::leaf) return;
            for (uint32_t child : {n.left, n.right})
                if (call.tree[child].left == Node::leaf) consider(child, size_at[child], step - step / dropped(call.tree[child]));
        });
    }
    return site;
}

// Puts node `attached` in the place of node `at` in the tree whose root is `item`.
void replace_node(Call& call, uint32_t& item, uint32_t at, uint32_t attached) {
    if (item == at) {
        item = attached;
        return;
    }
    // The parent of `at`, found by a walk of its component's tree (leaves hold input numbers).
    std::vector<uint32_t> stack{item};
    while (!stack.empty()) {
        Node& node = call.tree[stack.back()];
        stack.pop_back();
        if (node.left == Node::leaf) continue;
        if (node.left == at) node.left = attached;
        else if (node.right == at) node.right = attached;
        else {
            stack.push_back(node.left);
            stack.push_back(node.right);
        }
    }
}

}  // namespace

Numbered cheapest_join(const std::vector<std::array<uint64_t, 2>>& sizes) {
    const size_t k = sizes.size();
    if (k > max_exact_join) util::panic_index(max_exact_join, k);
    const size_t full = (size_t{1} << k) - 1;
    // Per set of results: the least cost of joining them, the split that gets it, and the size
    // of the joined operand (a single result keeps all of its axes until it is joined).
    std::vector<double> cost(full + 1, 0), size(full + 1, 1);
    std::vector<size_t> split(full + 1, 0);
    for (size_t s = 1; s <= full; ++s) {
        if ((s & (s - 1)) == 0) {
            size[s] = static_cast<double>(sizes[__builtin_ctzll(s)][0]);
            continue;
        }
        const size_t low = s & -s;
        double kept = 1;
        for (size_t x = s; x != 0; x &= x - 1) kept *= static_cast<double>(sizes[__builtin_ctzll(x)][1]);
        size[s] = kept;
        cost[s] = std::numeric_limits<double>::infinity();
        // Splits whose first part holds the lowest result, each met once.
        for (size_t a = (s - 1) & s; a != 0; a = (a - 1) & s) {
            if ((a & low) == 0) continue;
            const size_t b = s & ~a;
            const double c = cost[a] + cost[b] + size[a] * size[b];
            if (c < cost[s]) {
                cost[s] = c;
                split[s] = a;
            }
        }
    }
    Numbered steps;
    const auto emit = [&](auto& self, size_t s) -> uint64_t {
        if ((s & (s - 1)) == 0) return static_cast<uint64_t>(__builtin_ctzll(s));
        const uint64_t left = self(self, split[s]);
        const uint64_t right = self(self, s & ~split[s]);
        steps.push_back({left, right});
        return k + steps.size() - 1;
    };
    if (k > 1) emit(emit, full);
    return steps;
}

uint32_t join_cheaply(Run& run, const std::vector<Component>& comps, const std::vector<Solved>& solved) {
    Call& call = run.call;
    std::vector<std::array<uint64_t, 2>> sizes;
    std::vector<uint32_t> items, scalars, others;
    for (size_t c = 0; c < solved.size(); ++c) {
        sizes.push_back({solved[c].size, solved[c].output_size});
        items.push_back(solved[c].root);
        (solved[c].output_size == 1 ? scalars : others).push_back(static_cast<uint32_t>(c));
    }
    auto [order, cost] = join_order(sizes);
    // Attaching scalars inside a tree is priced in flops alone: other measures join them in order.
    if (scalars.empty() || others.empty() || run.settings.objective.measure != Measure::flops)
        return add_joins(call, items, order);

    const double joined = scalars.size() == 1 ? static_cast<double>(sizes[scalars[0]][0]) : 1;
    const Site site = scalar_site(call, comps, solved, others, joined);
    std::vector<std::array<uint64_t, 2>> scalar_sizes, other_sizes;
    std::vector<uint32_t> scalar_items, other_items;
    for (uint32_t c : scalars) {
        scalar_sizes.push_back(sizes[c]);
        scalar_items.push_back(items[c]);
    }
    // A leaf operand joined with a scalar is contracted: its summed axes go.
    const bool at_leaf = call.tree[site.at].left == Node::leaf;
    for (uint32_t c : others) {
        other_sizes.push_back(c == site.at_comp && at_leaf ? std::array<uint64_t, 2>{sizes[c][1], sizes[c][1]} : sizes[c]);
        other_items.push_back(items[c]);
    }
    const auto [scalar_order, scalar_cost] = join_order(scalar_sizes);
    const auto [other_order, other_cost] = join_order(other_sizes);
    if (!(scalar_cost + joined * site.size - site.saving + other_cost < cost)) return add_joins(call, items, order);

    const uint32_t scalar = add_joins(call, scalar_items, scalar_order);
    const uint32_t attached = push_node(call.tree, {site.at, scalar});
    const size_t other_at = static_cast<size_t>(std::find(others.begin(), others.end(), site.at_comp) - others.begin());
    replace_node(call, other_items[other_at], site.at, attached);
    return add_joins(call, other_items, other_order);
}

}  // namespace plenexa::driver
