// The elimination builder: a priority queue of the axes by their buckets' scores, with lazy
// deletion of scores taken before a bucket changed.
#include "trees/eliminate.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "trees/random.hpp"

namespace plenexa::trees {

namespace {

// A bucket of more operands joins its two smallest at a time instead of scoring every pair.
constexpr size_t most_paired_bucket = 16;

// An axis's score as it was when pushed; stale once the axis has been scored again.
struct Entry {
    double key;
    Axis axis;
    uint32_t version;
};

// The priority queue's comparison: the lowest key, then the lowest axis, on top.
struct RanksAfter {
    bool operator()(const Entry& a, const Entry& b) const { return a.key != b.key ? a.key > b.key : a.axis > b.axis; }
};

// The state of one elimination build. Every axis with two or more live holders has an entry of
// its latest score in the queue; holder lists drop dead operands lazily.
class Eliminator {
public:
    Eliminator(const Network& network, const EliminationParams& params)
        : network_(network), params_(params), sizes_(size_weights(network)),
          n_(static_cast<uint32_t>(network.inputs.size())),
          fill_(params.fill > 0 && network.sizes.size() <= fill_most_axes) {
        tree_ = unjoined(network, sizes_);
        for (const double size : sizes_) bits_.push_back(portable_log(size) * inverse_ln2);
        alive_.assign(2 * size_t{n_} - 1, 0);
        std::fill(alive_.begin(), alive_.begin() + n_, 1);
        count_.assign(sizes_.size(), 0);
        holders_.assign(sizes_.size(), {});
        version_.assign(sizes_.size(), 0);
        mark_.assign(sizes_.size(), 0);
        if (fill_) together_.assign(sizes_.size() * sizes_.size(), 0);
        for (uint32_t i = 0; i < n_; ++i) {
            pair_up(tree_.nodes[i].axes, 1);
            node_bits_.push_back(bits_of(tree_.nodes[i].axes));
            for (const Axis axis : network.inputs[i]) {
                ++count_[axis];
                holders_[axis].push_back(i);
            }
        }
    }

    // The whole tree, or nothing when stopped.
    std::optional<Tree> run(const std::atomic<bool>* stop) {
        for (Axis axis = 0; axis < sizes_.size(); ++axis) push(axis);
        while (!queue_.empty()) {
            const Entry top = queue_.top();
            queue_.pop();
            if (top.version != version_[top.axis]) continue;
            // At every elimination, which may score afresh every axis of an operand of thousands.
            if (stop && stop->load(std::memory_order_relaxed)) return std::nullopt;
            eliminate(top.axis);
        }
        // What is left shares no axis that two operands hold: joined smallest two first.
        using Sized = std::pair<double, uint32_t>;
        std::priority_queue<Sized, std::vector<Sized>, std::greater<>> rest;
        for (uint32_t v = 0; v < tree_.nodes.size(); ++v)
            if (alive_[v]) rest.push({tree_.nodes[v].size, v});
        while (rest.size() > 1) {
            const uint32_t a = rest.top().second;
            rest.pop();
            const uint32_t b = rest.top().second;
            rest.pop();
            const uint32_t c = contract(a, b);
            rest.push({tree_.nodes[c].size, c});
        }
        tree_.root = rest.top().second;
        return std::move(tree_);
    }

private:
    // The summed log2 sizes of `axes`.
    double bits_of(const Axes& axes) const {
        double bits = 0;
        for (const Axis axis : axes) bits += bits_[axis];
        return bits;
    }

    // The live holders of `axis`, dead ones dropped.
    std::vector<uint32_t>& bucket(Axis axis) {
        std::vector<uint32_t>& list = holders_[axis];
        list.erase(std::remove_if(list.begin(), list.end(), [&](uint32_t v) { return !alive_[v]; }), list.end());
        return list;
    }

    // Scores `axis` afresh and queues it, when two or more live operands hold it (an axis of one
    // holder leaves at that holder's next step).
    void push(Axis axis) {
        const std::vector<uint32_t>& holders = bucket(axis);
        if (holders.size() < 2) return;
        if (++stamp_ == 0) {  // the stamps wrapped: forget every old mark
            std::fill(mark_.begin(), mark_.end(), 0);
            stamp_ = 1;
        }
        // Locals, so that the compiler need not reload them after every store to the marks.
        const uint32_t stamp = stamp_;
        uint32_t* const mark = mark_.data();
        const double* const axis_bits = bits_.data();
        const bool counting = fill_;
        double bits = 0, largest = 0;
        union_.clear();
        for (const uint32_t v : holders) {
            largest = std::max(largest, node_bits_[v]);
            for (const Axis other : tree_.nodes[v].axes)
                if (mark[other] != stamp) {
                    mark[other] = stamp;
                    bits += axis_bits[other];
                    if (counting && other != axis) union_.push_back(other);
                }
        }
        const uint32_t version = ++version_[axis];
        double key = bits - params_.beta * largest;
        if (fill_) key += params_.fill * portable_log(1 + fill()) * inverse_ln2;
        if (params_.temperature > 0)
            key -= params_.temperature * gumbel(mix64(params_.seed ^ mix64((uint64_t{axis} << 32) | version)));
        queue_.push({key, axis, version});
    }

    // Contracts the bucket of `axis` into one operand, then scores its axes afresh.
    void eliminate(Axis axis) {
        std::vector<uint32_t> operands = bucket(axis);
        if (operands.size() < 2) return;
        while (operands.size() > 1) {
            size_t first = 0, second = 1;
            if (operands.size() <= most_paired_bucket) {
                double best = std::numeric_limits<double>::infinity();
                for (size_t i = 0; i < operands.size(); ++i)
                    for (size_t j = i + 1; j < operands.size(); ++j) {
                        const double bits = result_bits(operands[i], operands[j]);
                        if (bits < best) {
                            best = bits;
                            first = i;
                            second = j;
                        }
                    }
            } else {
                const auto smaller = [&](uint32_t a, uint32_t b) {
                    return std::pair{tree_.nodes[a].size, a} < std::pair{tree_.nodes[b].size, b};
                };
                if (smaller(operands[1], operands[0])) std::swap(first, second);
                for (size_t k = 2; k < operands.size(); ++k) {
                    if (smaller(operands[k], operands[first])) {
                        second = first;
                        first = k;
                    } else if (smaller(operands[k], operands[second])) {
                        second = k;
                    }
                }
            }
            const uint32_t c = contract(operands[first], operands[second]);
            operands.erase(operands.begin() + static_cast<std::ptrdiff_t>(std::max(first, second)));
            operands.erase(operands.begin() + static_cast<std::ptrdiff_t>(std::min(first, second)));
            operands.push_back(c);
        }
        for (const Axis other : tree_.nodes[operands[0]].axes) push(other);
    }

    // The pairs of union_'s axes that no live operand holds together.
    double fill() {
        // Sorted, each row of the pair counts is read in ascending order: fewer cache misses.
        std::sort(union_.begin(), union_.end());
        const size_t m = sizes_.size();
        uint64_t pairs = 0;
        for (size_t i = 0; i < union_.size(); ++i) {
            const int32_t* const row = together_.data() + size_t{union_[i]} * m;
            for (size_t j = i + 1; j < union_.size(); ++j) pairs += row[union_[j]] == 0;
        }
        return static_cast<double>(pairs);
    }

    // Adds `change` to the count of live operands holding each pair of `axes`, while fill is counted.
    void pair_up(const Axes& axes, int32_t change) {
        if (!fill_) return;
        const size_t m = sizes_.size();
        for (const Axis x : axes)
            for (const Axis y : axes)
                if (x != y) together_[x * m + y] += change;
    }

    // Whether the join of live operands keeps `axis`, held by one of them or by both.
    bool kept(Axis axis, bool both) const { return network_.output[axis] || count_[axis] > (both ? 2u : 1u); }

    // The log2 size of the result of joining live operands a and b.
    double result_bits(uint32_t a, uint32_t b) const {
        Node node;
        join(sizes_, tree_.nodes[a], tree_.nodes[b], [&](Axis axis, bool both) { return kept(axis, both); }, node);
        return bits_of(node.axes);
    }

    // Joins live operands a and b into a new live operand; returns its number.
    uint32_t contract(uint32_t a, uint32_t b) {
        if (b < a) std::swap(a, b);
        const auto c = static_cast<uint32_t>(tree_.nodes.size());
        Node node;
        join(sizes_, tree_.nodes[a], tree_.nodes[b], [&](Axis axis, bool both) { return kept(axis, both); }, node);
        node.left = a;
        node.right = b;
        tree_.nodes[a].parent = tree_.nodes[b].parent = c;
        tree_.nodes.push_back(std::move(node));
        alive_[a] = alive_[b] = 0;
        alive_[c] = 1;
        for (const uint32_t gone : {a, b})
            for (const Axis axis : tree_.nodes[gone].axes) --count_[axis];
        if (tree_.nodes[c].axes.size() > fill_most_axes_held) fill_ = false;
        pair_up(tree_.nodes[a].axes, -1);
        pair_up(tree_.nodes[b].axes, -1);
        pair_up(tree_.nodes[c].axes, 1);
        for (const Axis axis : tree_.nodes[c].axes) {
            ++count_[axis];
            holders_[axis].push_back(c);
        }
        node_bits_.push_back(bits_of(tree_.nodes[c].axes));
        return c;
    }

    const Network& network_;
    const EliminationParams params_;
    const std::vector<double> sizes_;
    const uint32_t n_;
    Tree tree_;
    std::vector<double> bits_;                    // per axis its log2 size
    std::vector<double> node_bits_;               // per operand the log2 of its size
    std::vector<uint8_t> alive_;                  // per operand whether it is live
    std::vector<uint32_t> count_;                 // per axis its live holders
    std::vector<std::vector<uint32_t>> holders_;  // per axis its holders, dead ones dropped lazily
    std::vector<uint32_t> version_;               // per axis how many times it was scored
    std::vector<uint32_t> mark_;                  // per axis the stamp of the last union that counted it
    bool fill_;                                   // whether scores count fill (see fill_most_axes)
    std::vector<int32_t> together_;               // per pair of axes (x * axes + y) the live operands holding both
    std::vector<Axis> union_;                     // the axes of the bucket being scored, its own axis aside
    uint32_t stamp_ = 0;
    std::priority_queue<Entry, std::vector<Entry>, RanksAfter> queue_;
};

}  // namespace

std::optional<Tree> elimination_tree(const Network& network, const EliminationParams& params, const std::atomic<bool>* stop) {
    return Eliminator(network, params).run(stop);
}

}  // namespace plenexa::trees
