// Simulated annealing by rotations: for a node p = (c, s) whose child c = (a, b) is internal, the
// rotation makes p = (b, (a, s)) or p = (a, (b, s)); only c and p change, so a move costs the
// axes of three operands, and the total flops are kept by their difference.
#include "trees/anneal.hpp"

#include <algorithm>
#include <iterator>
#include <vector>

#include "trees/random.hpp"

namespace plenexa::trees {

namespace {

// Moves between two looks at the stop flag and two updates of the temperature.
constexpr uint64_t moves_per_check = 1024;

// The union of two sorted axis sets.
Axes union_of(const Axes& x, const Axes& y) {
    Axes out;
    out.reserve(x.size() + y.size());
    std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(out));
    return out;
}

// The product of the sizes of `axes`.
double product(const std::vector<double>& sizes, const Axes& axes) {
    double p = 1;
    for (const Axis axis : axes) p *= sizes[axis];
    return p;
}

}  // namespace

bool anneal(const Network& network, Tree& tree, const AnnealSettings& settings, const std::atomic<bool>* stop) {
    const std::vector<double> sizes = size_weights(network);
    std::vector<uint32_t> internal;
    for (uint32_t v = tree.inputs; v < tree.nodes.size(); ++v) internal.push_back(v);
    if (internal.size() < 2) return true;
    double total = 0;
    for (const uint32_t v : internal) total += tree.nodes[v].step;
    Rng rng(settings.seed);
    const uint64_t moves = uint64_t{settings.moves_per_node} * internal.size();
    const double octaves = portable_log(settings.end_temperature / settings.start_temperature) * inverse_ln2;
    double temperature = settings.start_temperature;
    std::vector<Node>& nodes = tree.nodes;
    bool finished = true;
    for (uint64_t move = 0; move < moves; ++move) {
        if (move % moves_per_check == 0) {
            if (stop && stop->load(std::memory_order_relaxed)) {
                finished = false;
                break;
            }
            temperature = settings.start_temperature * portable_exp2(octaves * static_cast<double>(move) / static_cast<double>(moves));
        }
        const uint64_t bits = rng.next();
        const uint32_t p = internal[bits % internal.size()];
        const bool left = (bits >> 40) & 1;
        const uint32_t c = left ? nodes[p].left : nodes[p].right;
        if (c < tree.inputs) continue;
        const uint32_t s = left ? nodes[p].right : nodes[p].left;
        const bool first = (bits >> 41) & 1;
        const uint32_t moved = first ? nodes[c].left : nodes[c].right;  // joins s in the new c
        const uint32_t stays = first ? nodes[c].right : nodes[c].left;  // joins the new c at p
        // The new c keeps the axes that p keeps or that `stays` holds: only those reach beyond it.
        const Axes touched = union_of(nodes[moved].axes, nodes[s].axes);
        const Axes beyond = union_of(nodes[p].axes, nodes[stays].axes);
        Axes kept;
        std::set_intersection(touched.begin(), touched.end(), beyond.begin(), beyond.end(), std::back_inserter(kept));
        const double c_step = product(sizes, touched);
        const double p_step = product(sizes, union_of(nodes[stays].axes, kept));
        const double after = total + (c_step + p_step - nodes[c].step - nodes[p].step);
        if (!(after <= total)) {
            if (!(after < HUGE_VAL)) continue;
            const double rise = (portable_log(after) - portable_log(total)) * inverse_ln2;
            if (!(rng.uniform() < portable_exp2(-rise / temperature))) continue;
        }
        Node& new_c = nodes[c];
        new_c.left = moved;
        new_c.right = s;
        new_c.axes = kept;
        new_c.size = product(sizes, kept);
        new_c.step = c_step;
        nodes[moved].parent = nodes[s].parent = c;
        nodes[p].left = stays;
        nodes[p].right = c;
        nodes[stays].parent = p;
        nodes[p].step = p_step;
        total = after;
    }
    fill(network, sizes, tree);
    return finished;
}

}  // namespace plenexa::trees
