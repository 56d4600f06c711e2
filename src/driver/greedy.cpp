// The greedy bound of the driver's tables searches: a greedy tree per component, which answers
// when the tables cannot complete or run out of work, and whose cost ends a wide search early.
#include <algorithm>
#include <functional>
#include <iterator>
#include <queue>
#include <tuple>
#include <utility>

#include "driver/run.hpp"
#include "optimiser/bits.hpp"

namespace plenexa::driver {

using optimiser::add_saturating;
using optimiser::mul_saturating;
using optimiser::push_node;

// No offer has queued this operand yet.
constexpr uint32_t no_offer = ~uint32_t{0};

std::optional<Solved> greedy(Call& call, const Component& comp) {
    struct Operand {
        std::vector<uint32_t> axes;  // ascending local axes
        double size;
        uint32_t node;
        bool live;
    };
    std::vector<Operand> ops;
    std::vector<uint32_t> holders(comp.n_axes, 0);            // live operands holding each axis
    std::vector<std::vector<uint32_t>> holding(comp.n_axes);  // operands holding each axis, dead ones dropped lazily
    auto add = [&](std::vector<uint32_t> axes, uint32_t node) {
        double size = 1;
        for (uint32_t a : axes) {
            size *= static_cast<double>(comp.sizes[a]);
            ++holders[a];
            holding[a].push_back(static_cast<uint32_t>(ops.size()));
        }
        ops.push_back({std::move(axes), size, node, true});
    };
    for (size_t j = 0; j < comp.inputs.size(); ++j) {
        std::vector<uint32_t> axes(comp.axes.begin() + comp.axis_start[j], comp.axes.begin() + comp.axis_start[j + 1]);
        std::sort(axes.begin(), axes.end());
        add(std::move(axes), push_node(call.tree, {Node::leaf, comp.inputs[j]}));
    }
    // The axes of a and b together, and those the output or another live operand still needs.
    auto merge = [&](const Operand& a, const Operand& b, std::vector<uint32_t>& both, std::vector<uint32_t>& kept) {
        both.clear();
        kept.clear();
        std::set_union(a.axes.begin(), a.axes.end(), b.axes.begin(), b.axes.end(), std::back_inserter(both));
        for (uint32_t x : both) {
            const uint32_t inside = std::binary_search(a.axes.begin(), a.axes.end(), x) +
                                    std::binary_search(b.axes.begin(), b.axes.end(), x);
            if (comp.in_output[x] || holders[x] > inside) kept.push_back(x);
        }
    };
    struct Pair {
        double score;
        uint32_t a, b;
        bool operator>(const Pair& o) const { return score != o.score ? score > o.score : std::tie(a, b) > std::tie(o.a, o.b); }
    };
    std::priority_queue<Pair, std::vector<Pair>, std::greater<>> queue;
    std::vector<uint32_t> both, kept;
    std::vector<uint32_t> seen;  // per operand the last offer that queued it
    // Queues operand i with every live operand sharing an axis with it, once each (a pair
    // sharing many axes was merged once per axis: on crowded networks, most of the work), and
    // drops the dead operands from the lists it reads. The pairs queued are the same, so the
    // tree is too.
    auto offer = [&](uint32_t i) {
        seen.resize(ops.size(), no_offer);
        for (uint32_t x : ops[i].axes) {
            std::vector<uint32_t>& list = holding[x];
            std::erase_if(list, [&](uint32_t j) { return !ops[j].live; });
            for (uint32_t j : list) {
                if (j == i || seen[j] == i) continue;
                seen[j] = i;
                call.pulse.poll();
                merge(ops[i], ops[j], both, kept);
                double size = 1;
                for (uint32_t a : kept) size *= static_cast<double>(comp.sizes[a]);
                queue.push({size - ops[i].size - ops[j].size, std::min(i, j), std::max(i, j)});
            }
        }
    };
    for (uint32_t i = 0; i < ops.size(); ++i) offer(i);

    uint64_t cost = 0;
    size_t live = ops.size();
    while (live > 1) {
        call.pulse.tick(1);
        if (queue.empty()) return std::nullopt;  // cannot happen in a connected component
        const Pair pick = queue.top();
        queue.pop();
        if (!ops[pick.a].live || !ops[pick.b].live) continue;
        merge(ops[pick.a], ops[pick.b], both, kept);
        uint64_t step = 1, kept_size = 1;
        for (uint32_t x : both) step = mul_saturating(step, comp.sizes[x]);
        for (uint32_t x : kept) kept_size = mul_saturating(kept_size, comp.sizes[x]);
        // Only a fixed cap refuses the greedy tree: a growing one is a starting point, and an
        // intermediate of 2^64 or more elements saturates to the unset cap itself.
        if (call.caps.fixed_mem_cap && kept_size >= call.caps.mem_cap) return std::nullopt;
        cost = add_saturating(cost, step);
        for (uint32_t i : {pick.a, pick.b}) {
            ops[i].live = false;
            for (uint32_t x : ops[i].axes) --holders[x];
        }
        const uint32_t node = push_node(call.tree, {ops[pick.a].node, ops[pick.b].node});
        add(kept, node);
        offer(static_cast<uint32_t>(ops.size() - 1));
        --live;
    }
    const Operand& root = ops.back();
    uint64_t size = 1;
    for (uint32_t x : root.axes) size = mul_saturating(size, comp.sizes[x]);
    return Solved{size, size, root.node, cost};
}

}  // namespace plenexa::driver
