#include "driver/absorb.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "trees/refine.hpp"
#include "util/failure.hpp"

namespace plenexa::driver {

namespace {

// Most a step may cost, in multiples of the neighbour's size: a vector's step costs the neighbour's
// size, a gate on a qubit line twice that. A matrix whose new axis is larger is left to the search:
// absorbing the first matrix of a chain 'ij,jk,kl->il' of sizes d, d, d, 2 costs (d + 2) / 4 times
// the chain's best path (1 at d = 2, 250 at d = 1000).
constexpr uint64_t max_step_factor = 2;

constexpr uint64_t saturated = std::numeric_limits<uint64_t>::max();

// Most operands (a tensor and its leaf vectors) ordered together by the exact window program.
constexpr size_t max_batch_operands = 12;

// a x b, or `saturated` when that does not fit.
uint64_t times(uint64_t a, uint64_t b) {
    uint64_t product;
    return __builtin_mul_overflow(a, b, &product) ? saturated : product;
}

// One live tensor's place in the holder list of one of its axes.
struct Holder {
    uint64_t node;
    uint32_t slot;  // the axis's index in the node's axis list
};

// What absorbing a small tensor into a neighbour leaves (the result's elements) and costs.
struct Absorption {
    uint64_t into;
    uint64_t result;  // elements of the result
    uint64_t cost;

    // Smaller result first, then cheaper, then into the lower node number.
    bool operator<(const Absorption& other) const {
        return std::tie(result, cost, into) < std::tie(other.result, other.cost, other.into);
    }
};

// The absorption's state: live nodes, their distinct axes, and each axis's live holders.
class Absorber {
public:
    Absorber(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
             const std::vector<uint64_t>& sizes)
        : sizes_(sizes), n_inputs_(inputs.size()), holders_(sizes.size()), kept_(sizes.size(), 0) {
        for (const uint64_t id : output) kept_[id] = 1;
        std::vector<uint64_t> seen(sizes.size(), saturated);  // the last input that listed each id
        for (uint64_t t = 0; t < n_inputs_; ++t) {
            std::vector<uint64_t> distinct;
            for (const uint64_t id : inputs[t])
                if (seen[id] != t) {
                    seen[id] = t;
                    distinct.push_back(id);
                }
            add_node(std::move(distinct));
        }
    }

    // Absorbs until no tensor qualifies, the absorption that leaves the smallest result first:
    // vectors around one tensor go in largest axis first, which leaves the smallest tensors for
    // the rest (in input order, bench/large.py's tree of 200 cost 1.42 times the raw search;
    // smallest result first, 1.20 times, for which the raw search answers now). An entry whose
    // absorption has changed since it was queued is queued again with the new one.
    void run() {
        for (uint64_t t = 0; t < n_inputs_; ++t) enqueue(t);
        while (!queue_.empty()) {
            std::pop_heap(queue_.begin(), queue_.end(), later);
            const auto [queued, a] = queue_.back();
            queue_.pop_back();
            queued_[a] = 0;
            if (!alive_[a] || !small(a)) continue;
            const std::optional<Absorption> now = best_absorption(a);
            if (!now) continue;
            if (now->result != queued.result || now->cost != queued.cost || now->into != queued.into) {
                push(a, *now);
                continue;
            }
            if (axes_[a].size() == 1) {
                absorb_vectors(a, now->into);
            } else {
                absorb_into(a, now->into);
            }
        }
    }

    NumberedPath steps;

    // The live nodes in increasing number, with their axis lists (an untouched input's as given).
    void reduced(const std::vector<std::vector<uint64_t>>& inputs, Absorbed& out) const {
        for (uint64_t node = 0; node < axes_.size(); ++node) {
            if (!alive_[node]) continue;
            out.inputs.push_back(node < n_inputs_ ? inputs[node] : axes_[node]);
            out.nodes.push_back(node);
        }
    }

private:
    // Whether a node has one or two distinct axes.
    bool small(uint64_t node) const { return axes_[node].size() == 1 || axes_[node].size() == 2; }

    // Queues a small node with its best absorption, unless it is queued already or has none.
    void enqueue(uint64_t node) {
        if (queued_[node] || !small(node)) return;
        if (const std::optional<Absorption> best = best_absorption(node)) push(node, *best);
    }

    // Queues `node` with `absorption`.
    void push(uint64_t node, const Absorption& absorption) {
        queued_[node] = 1;
        queue_.push_back({absorption, node});
        std::push_heap(queue_.begin(), queue_.end(), later);
    }

    // The heap's order: the smallest absorption on top, then the lowest node.
    static bool later(const std::pair<Absorption, uint64_t>& x, const std::pair<Absorption, uint64_t>& y) {
        return y.first < x.first || (!(x.first < y.first) && y.second < x.second);
    }

    // A new live node holding `axes` (distinct ids).
    uint64_t add_node(std::vector<uint64_t> axes) {
        const uint64_t node = axes_.size();
        uint64_t elements = 1;
        for (uint32_t slot = 0; slot < axes.size(); ++slot) {
            auto& list = holders_[axes[slot]];
            slot_positions_.push_back(list.size());
            list.push_back({node, slot});
            elements = times(elements, sizes_[axes[slot]]);
        }
        first_position_.push_back(slot_positions_.size() - axes.size());
        axes_.push_back(std::move(axes));
        elements_.push_back(elements);
        alive_.push_back(1);
        queued_.push_back(0);
        return node;
    }

    // Takes a node out of its axes' holder lists, moving each list's last entry into its place.
    void remove_node(uint64_t node) {
        alive_[node] = 0;
        for (uint32_t slot = 0; slot < axes_[node].size(); ++slot) {
            auto& list = holders_[axes_[node][slot]];
            const uint64_t position = slot_positions_[first_position_[node] + slot];
            const Holder moved = list.back();
            list[position] = moved;
            slot_positions_[first_position_[moved.node] + moved.slot] = position;
            list.pop_back();
        }
    }

    // Whether `id` is in a node's axes.
    bool holds(uint64_t node, uint64_t id) const {
        return std::find(axes_[node].begin(), axes_[node].end(), id) != axes_[node].end();
    }

    // Whether a pair's result keeps `id`, which `pair_holders` (1 or 2) of the pair hold.
    bool keeps(uint64_t id, uint64_t pair_holders) const {
        return kept_[id] || holders_[id].size() > pair_holders;
    }

    // The absorption of the small node `a` into `b`, when it qualifies.
    std::optional<Absorption> absorption(uint64_t a, uint64_t b) const {
        // A matrix goes only into a tensor of three or more axes (a gate into a two-qubit gate):
        // matrices merged into matrices and vectors ahead of the vectors' sweeps cost bench/large.py's
        // chain of 2,000 (bonds 2-5) 1.9 times, its tree of 200 1.4 times the search of the raw network.
        if (axes_[a].size() == 2 && axes_[b].size() < 3) return std::nullopt;
        uint64_t added = 1;    // sizes of a's axes that b lacks
        uint64_t gained = 1;   // ... of those the result keeps
        uint64_t result_axes = 0;
        for (const uint64_t id : axes_[a]) {
            if (holds(b, id)) continue;
            added = times(added, sizes_[id]);
            if (keeps(id, 1)) {
                gained = times(gained, sizes_[id]);
                ++result_axes;
            }
        }
        if (added > max_step_factor) return std::nullopt;  // checked first: it bounds `gained`
        uint64_t lost = 1;  // sizes of b's axes the result drops
        for (const uint64_t id : axes_[b]) {
            if (keeps(id, holds(a, id) ? 2 : 1))
                ++result_axes;
            else
                lost = times(lost, sizes_[id]);
        }
        if (result_axes > axes_[b].size() || gained > lost) return std::nullopt;
        return Absorption{b, times(elements_[b] / lost, gained), times(elements_[b], added)};
    }

    // The absorption of the small node `a` that leaves the smallest result, if any qualifies.
    std::optional<Absorption> best_absorption(uint64_t a) const {
        std::optional<Absorption> best;
        for (const uint64_t id : axes_[a])
            for (const Holder& h : holders_[id]) {
                if (h.node == a) continue;
                const auto found = absorption(a, h.node);
                if (found && (!best || *found < *best)) best = found;
            }
        return best;
    }

    // Contracts `a` and `b` into a new node, which keeps the axes that the output or another
    // tensor holds (b's first, in its order), and returns it.
    uint64_t contract(uint64_t a, uint64_t b) {
        std::vector<uint64_t> result;
        for (const uint64_t id : axes_[b])
            if (keeps(id, holds(a, id) ? 2 : 1)) result.push_back(id);
        for (const uint64_t id : axes_[a])
            if (!holds(b, id) && keeps(id, 1)) result.push_back(id);
        remove_node(a);
        remove_node(b);
        steps.push_back({std::min(a, b), std::max(a, b)});
        return add_node(std::move(result));
    }

    // Absorbs the vector `a` into `b` together with b's other leaf vectors (each holding one axis
    // that only it and b hold), in their cheapest order, outer products among them allowed: a
    // tensor of size H takes vectors of sizes 5 and 5 for H + H / 5 one by one, but for 25 + H
    // joined first (a star's hub of ten arms cost 1.15 times cotengra's path one by one).
    void absorb_vectors(uint64_t a, uint64_t b) {
        std::vector<uint64_t> batch{a};
        for (const uint64_t id : axes_[b]) {
            if (batch.size() + 1 >= max_batch_operands) break;
            if (kept_[id] || holders_[id].size() != 2) continue;
            for (const Holder& h : holders_[id])
                if (h.node != a && h.node != b && axes_[h.node].size() == 1) batch.push_back(h.node);
        }
        if (batch.size() == 1) return absorb_into(a, b);
        // Operand 0 is b, its axes numbered by their slots; then the vectors, each holding one of them.
        const std::vector<uint64_t>& ids = axes_[b];
        std::vector<trees::Axes> operands(batch.size() + 1);
        std::vector<uint64_t> holding(ids.size(), 1);  // per slot, its holders among the operands
        for (trees::Axis slot = 0; slot < ids.size(); ++slot) operands[0].push_back(slot);
        for (size_t k = 0; k < batch.size(); ++k) {
            const auto slot = static_cast<trees::Axis>(std::find(ids.begin(), ids.end(), axes_[batch[k]][0]) - ids.begin());
            operands[k + 1].push_back(slot);
            ++holding[slot];
        }
        std::vector<double> weights;
        std::vector<uint8_t> kept;
        for (size_t slot = 0; slot < ids.size(); ++slot) {
            weights.push_back(static_cast<double>(sizes_[ids[slot]]));
            kept.push_back(keeps(ids[slot], holding[slot]));
        }
        const trees::Order order = trees::best_order(operands, weights, kept, true);
        std::vector<uint64_t> node_of{b};
        node_of.insert(node_of.end(), batch.begin(), batch.end());
        for (const auto& [x, y] : order.steps) node_of.push_back(contract(node_of[x], node_of[y]));
        after_absorption(node_of.back());
    }

    // Absorbs `a` into `b` and queues what may now qualify.
    void absorb_into(uint64_t a, uint64_t b) { after_absorption(contract(a, b)); }

    // Queues the result of an absorption and what may now qualify.
    void after_absorption(uint64_t node) {
        enqueue(node);
        // A matrix's partner may now qualify where an axis is down to two holders.
        for (const uint64_t id : axes_[node])
            if (holders_[id].size() <= 2)
                for (const Holder& h : holders_[id]) enqueue(h.node);
    }

    const std::vector<uint64_t>& sizes_;
    uint64_t n_inputs_;
    std::vector<std::vector<Holder>> holders_;  // per axis its live holders
    std::vector<uint8_t> kept_;                 // per axis 1 when the output keeps it
    std::vector<std::vector<uint64_t>> axes_;   // per node its distinct axes
    std::vector<uint64_t> first_position_;      // per node the index of its first entry in slot_positions_
    std::vector<uint64_t> slot_positions_;      // per node and slot the entry's index in the axis's list
    std::vector<uint64_t> elements_;            // per node its size, saturated
    std::vector<uint8_t> alive_;
    std::vector<uint8_t> queued_;
    std::vector<std::pair<Absorption, uint64_t>> queue_;  // a heap (see `later`)
};

}  // namespace

Absorbed absorb(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                const std::vector<uint64_t>& sizes) {
    using util::InvalidValue;
    if (inputs.size() >= (uint64_t{1} << 62)) throw InvalidValue("the network has 2^62 inputs or more");
    for (uint64_t id = 0; id < sizes.size(); ++id)
        if (sizes[id] == 0) throw InvalidValue("axis " + std::to_string(id) + " has size 0");
    auto check_id = [&](uint64_t id, const std::string& where) {
        if (id >= sizes.size())
            throw InvalidValue(where + " names axis " + std::to_string(id) + ", which has no size");
    };
    for (size_t t = 0; t < inputs.size(); ++t)
        for (const uint64_t id : inputs[t]) check_id(id, "input " + std::to_string(t));
    for (const uint64_t id : output) check_id(id, "the output");

    Absorber absorber(inputs, output, sizes);
    absorber.run();
    Absorbed out;
    out.steps = std::move(absorber.steps);
    absorber.reduced(inputs, out);
    return out;
}

NumberedPath splice(const Absorbed& absorbed, uint64_t n_inputs, const NumberedPath& reduced) {
    const uint64_t m = absorbed.nodes.size();
    const uint64_t first_new = n_inputs + absorbed.steps.size();  // the number of reduced step 0
    NumberedPath path = absorbed.steps;
    path.reserve(path.size() + reduced.size());
    std::vector<uint8_t> consumed(m + reduced.size(), 0);
    for (size_t k = 0; k < reduced.size(); ++k) {
        std::array<uint64_t, 2> step;
        for (int side = 0; side < 2; ++side) {
            const uint64_t x = reduced[k][side];
            if (x >= m + k || consumed[x])
                throw util::Panic("reduced step " + std::to_string(k) + " names node " + std::to_string(x) +
                                  ", which is not available");
            consumed[x] = 1;
            step[side] = x < m ? absorbed.nodes[x] : first_new + (x - m);
        }
        path.push_back(step);
    }
    return path;
}

}  // namespace plenexa::driver
