// The greedy tree builder: a priority queue holding each operand's best partner, with lazy
// deletion of entries whose operands have gone.
#include "trees/greedy.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <queue>
#include <set>
#include <utility>

#include "trees/random.hpp"

namespace plenexa::trees {

namespace {

// How often a build on the calling thread asks the caller's interrupt check.
constexpr auto interrupt_interval = std::chrono::milliseconds(4);

// An operand's best pair as it was when pushed; stale once either operand is gone or
// its owner has pushed a newer entry.
struct Entry {
    double key;
    uint32_t lo, hi;    // the pair, lo < hi
    uint32_t owner;     // the operand whose partners were searched
    uint32_t version;   // the owner's count of searches then
};

// The order of entries: lowest key first, then lowest operand numbers.
bool ranks_before(const Entry& a, const Entry& b) {
    if (a.key != b.key) return a.key < b.key;
    if (a.lo != b.lo) return a.lo < b.lo;
    return a.hi < b.hi;
}

// The priority queue's comparison, putting the entry that ranks first on top.
struct RanksAfter {
    bool operator()(const Entry& a, const Entry& b) const { return ranks_before(b, a); }
};

// Mixed into a build's seed for the jitter's draws, apart from the pairs' Gumbel noise.
constexpr uint64_t jitter_stream = 0x6a09e667f3bcc909ULL;

// The sizes the scores of a build with `params` see: each times 1 + jitter * e (see GreedyParams).
std::vector<double> scored_sizes(const Network& network, const GreedyParams& params) {
    std::vector<double> sizes = size_weights(network);
    if (params.jitter <= 0) return sizes;
    const uint64_t stream = mix64(params.seed ^ jitter_stream);
    for (size_t axis = 0; axis < sizes.size(); ++axis)
        sizes[axis] *= 1.0 - params.jitter * portable_log(unit_interval(mix64(stream ^ mix64(axis))));
    return sizes;
}

// sign(x) * log2(1 + |x|): the monotone score scale on which noise is added.
double signed_log2(double x) {
    return x >= 0 ? portable_log(1.0 + x) * inverse_ln2 : -(portable_log(1.0 - x) * inverse_ln2);
}

// The state of one greedy build.
//
// Invariant: every pair of live operands that are partners (share an axis held by at most
// `crowded_axis_holders` operands, or are both among the smallest holders of a crowded axis) was
// scored by at least one of them after both existed, and that operand's latest entry has a key no
// higher than the pair's. An entry whose partner has gone is refreshed when it surfaces. Scores
// never go stale: a pair's result depends on the other holders of its shared axes only through
// whether a shared axis has exactly two holders, and an axis drops to two holders only in a
// contraction, whose result then holds it and scores all its partners afresh.
class Builder {
public:
    Builder(const Network& network, const GreedyParams& params)
        : network_(network), params_(params), sizes_(scored_sizes(network, params)),
          n_(static_cast<uint32_t>(network.inputs.size())) {
        tree_ = unjoined(network, sizes_);
        const size_t total = 2 * size_t{n_} - 1;
        alive_.assign(total, 0);
        std::fill(alive_.begin(), alive_.begin() + n_, 1);
        version_.assign(total, 0);
        seen_.assign(total, 0);
        core_.assign(total, 1);
        holders_.assign(sizes_.size(), {});
        count_.assign(sizes_.size(), 0);
        for (uint32_t i = 0; i < n_; ++i)
            for (const Axis axis : network.inputs[i]) ++count_[axis];
        crowd_.assign(sizes_.size(), no_crowd);
        for (uint32_t i = 0; i < n_; ++i) {
            // An input's exclusive axes (held by it alone, not kept) vanish at its first step.
            double core = 1;
            for (const Axis axis : network.inputs[i]) {
                if (count_[axis] > crowded_axis_holders) {
                    if (crowd_[axis] == no_crowd) {
                        crowd_[axis] = static_cast<uint32_t>(crowds_.size());
                        crowds_.emplace_back();
                    }
                    crowds_[crowd_[axis]].insert({tree_.nodes[i].size, i});
                } else {
                    holders_[axis].push_back(i);
                }
                if (count_[axis] > 1 || network.output[axis]) core *= sizes_[axis];
            }
            core_[i] = core;
        }
    }

    // The pairs scored so far.
    uint64_t scored() const { return scored_; }

    // Runs the build to the end, or until `stop` turns true or `interrupt` answers true.
    std::optional<Tree> run(const std::atomic<bool>* stop, const Interrupt* interrupt) {
        for (uint32_t i = 0; i < n_; ++i) offer(i);
        uint32_t live = n_;
        Clock::time_point next_ask = Clock::now() + interrupt_interval;
        while (live > 1) {
            // At every step: on a crowded network one step may score thousands of partners of
            // operands holding thousands of axes, so a look every few hundred steps kept Ctrl-C
            // waiting for a minute; a relaxed load costs nothing beside a step.
            if (stop && stop->load(std::memory_order_relaxed)) return std::nullopt;
            if (interrupt && interrupt->check && Clock::now() >= next_ask) {
                if (interrupt->check(interrupt->context)) return std::nullopt;
                next_ask = Clock::now() + interrupt_interval;
            }
            if (queue_.empty()) {
                const auto [a, b] = smallest_two();
                contract(a, b);
                --live;
                continue;
            }
            const Entry entry = queue_.top();
            queue_.pop();
            if (!alive_[entry.owner] || entry.version != version_[entry.owner]) continue;
            if (!alive_[entry.lo] || !alive_[entry.hi]) {
                offer(entry.owner);
                continue;
            }
            contract(entry.lo, entry.hi);
            --live;
        }
        tree_.root = static_cast<uint32_t>(tree_.nodes.size() - 1);
        return std::move(tree_);
    }

private:
    static constexpr uint32_t no_crowd = no_node;

    // The ranking key of contracting live operands a and b now.
    double key(uint32_t a, uint32_t b) const {
        const Axes& x = tree_.nodes[a].axes;
        const Axes& y = tree_.nodes[b].axes;
        const Axes& small = x.size() <= y.size() ? x : y;
        const Axes& large = x.size() <= y.size() ? y : x;
        double shared = 1, removed = 1;
        const auto note = [&](Axis axis) {
            shared *= sizes_[axis];
            if (count_[axis] == 2 && !network_.output[axis]) removed *= sizes_[axis];
        };
        if (large.size() > 16 * small.size()) {
            for (const Axis axis : small)
                if (std::binary_search(large.begin(), large.end(), axis)) note(axis);
        } else {
            auto i = small.begin(), j = large.begin();
            while (i != small.end() && j != large.end()) {
                if (*i < *j) {
                    ++i;
                } else if (*j < *i) {
                    ++j;
                } else {
                    note(*i);
                    ++i;
                    ++j;
                }
            }
        }
        const double result = core_[a] * core_[b] / shared / removed;
        double score = result;
        if (params_.alpha != 0) score = result - params_.alpha * (tree_.nodes[a].size + tree_.nodes[b].size);
        if (std::isnan(score)) score = HUGE_VAL;
        if (params_.temperature <= 0) return score;
        const uint64_t pair = (uint64_t{std::min(a, b)} << 32) | std::max(a, b);
        return signed_log2(score) - params_.temperature * gumbel(mix64(params_.seed ^ mix64(pair)));
    }

    // Calls `visit(u)` for each live partner u of live operand v (possibly more than once).
    template <class Visit>
    void for_partners(uint32_t v, Visit&& visit) {
        for (const Axis axis : tree_.nodes[v].axes) {
            if (crowd_[axis] == no_crowd) {
                std::vector<uint32_t>& list = holders_[axis];
                size_t kept = 0;
                for (const uint32_t u : list) {
                    if (!alive_[u]) continue;
                    list[kept++] = u;
                    if (u != v) visit(u);
                }
                list.resize(kept);
            } else {
                const auto& crowd = crowds_[crowd_[axis]];
                auto end = crowd.begin();
                bool member = false;
                for (size_t k = 0; k < crowded_axis_holders && end != crowd.end(); ++k, ++end)
                    member = member || end->second == v;
                if (!member) continue;
                for (auto it = crowd.begin(); it != end; ++it)
                    if (it->second != v) visit(it->second);
            }
        }
    }

    // Scores every partner of live operand v and queues v's best pair.
    void offer(uint32_t v) {
        const uint32_t version = ++version_[v];
        if (++stamp_ == 0) {  // the stamps wrapped: forget every old mark
            std::fill(seen_.begin(), seen_.end(), 0);
            stamp_ = 1;
        }
        const uint32_t stamp = stamp_;
        seen_[v] = stamp;
        bool found = false;
        Entry best{};
        for_partners(v, [&](uint32_t u) {
            if (seen_[u] == stamp) return;
            seen_[u] = stamp;
            ++scored_;
            const Entry candidate{key(v, u), std::min(u, v), std::max(u, v), v, version};
            if (!found || ranks_before(candidate, best)) best = candidate;
            found = true;
        });
        if (found) queue_.push(best);
    }

    // The smallest holders of a crowded axis, by (size, number).
    std::vector<uint32_t> front(uint32_t crowd) const {
        std::vector<uint32_t> ids;
        for (const auto& [size, id] : crowds_[crowd]) {
            if (ids.size() == crowded_axis_holders) break;
            ids.push_back(id);
        }
        return ids;
    }

    // Contracts live operands a < b into a new operand and offers it and every operand
    // that has become a partner of another.
    void contract(uint32_t a, uint32_t b) {
        const auto c = static_cast<uint32_t>(tree_.nodes.size());
        Node node;
        join(
            sizes_, tree_.nodes[a], tree_.nodes[b],
            [&](Axis axis, bool both) { return network_.output[axis] || count_[axis] > (both ? 2u : 1u); }, node);
        node.left = a;
        node.right = b;
        tree_.nodes[a].parent = tree_.nodes[b].parent = c;
        tree_.nodes.push_back(std::move(node));
        alive_[a] = alive_[b] = 0;
        alive_[c] = 1;
        core_[c] = tree_.nodes[c].size;
        if (!by_size_.empty()) by_size_.push({tree_.nodes[c].size, c});

        std::vector<uint32_t> entrants;
        const auto update_crowd = [&](Axis axis, bool held) {
            const uint32_t crowd = crowd_[axis];
            const std::vector<uint32_t> before = front(crowd);
            crowds_[crowd].erase({tree_.nodes[a].size, a});
            crowds_[crowd].erase({tree_.nodes[b].size, b});
            if (held) crowds_[crowd].insert({tree_.nodes[c].size, c});
            for (const uint32_t id : front(crowd))
                if (id != c && std::find(before.begin(), before.end(), id) == before.end()) entrants.push_back(id);
        };
        for (const uint32_t gone : {a, b})
            for (const Axis axis : tree_.nodes[gone].axes) {
                --count_[axis];
                // A crowded axis in both a and b is updated once, on a's pass.
                if (crowd_[axis] != no_crowd && !(gone == b && std::binary_search(tree_.nodes[a].axes.begin(),
                                                                                  tree_.nodes[a].axes.end(), axis)))
                    update_crowd(axis, std::binary_search(tree_.nodes[c].axes.begin(), tree_.nodes[c].axes.end(), axis));
            }
        for (const Axis axis : tree_.nodes[c].axes) {
            ++count_[axis];
            if (crowd_[axis] == no_crowd) holders_[axis].push_back(c);
        }
        offer(c);
        std::sort(entrants.begin(), entrants.end());
        entrants.erase(std::unique(entrants.begin(), entrants.end()), entrants.end());
        for (const uint32_t id : entrants) offer(id);
    }

    // The two smallest live operands, by (size, number): the pair for an outer product.
    std::pair<uint32_t, uint32_t> smallest_two() {
        if (by_size_.empty())
            for (uint32_t v = 0; v < tree_.nodes.size(); ++v)
                if (alive_[v]) by_size_.push({tree_.nodes[v].size, v});
        uint32_t pair[2];
        for (uint32_t& slot : pair) {
            while (!alive_[by_size_.top().second]) by_size_.pop();
            slot = by_size_.top().second;
            by_size_.pop();
        }
        return {std::min(pair[0], pair[1]), std::max(pair[0], pair[1])};
    }

    const Network& network_;
    const GreedyParams params_;
    const std::vector<double> sizes_;
    const uint32_t n_;
    Tree tree_;
    std::vector<uint8_t> alive_;
    std::vector<uint32_t> version_;
    std::vector<uint32_t> seen_;  // per operand the stamp of the last offer that scored it
    uint32_t stamp_ = 0;
    uint64_t scored_ = 0;  // pairs scored so far: the build's work
    std::vector<double> core_;    // per operand its size without exclusive axes
    std::vector<uint32_t> count_; // per axis its live holders
    std::vector<std::vector<uint32_t>> holders_;  // per uncrowded axis its holders, dead ones dropped lazily
    std::vector<uint32_t> crowd_;                 // per axis its index in crowds_, or no_crowd
    std::vector<std::set<std::pair<double, uint32_t>>> crowds_;  // live holders of crowded axes by size
    std::priority_queue<Entry, std::vector<Entry>, RanksAfter> queue_;
    std::priority_queue<std::pair<double, uint32_t>, std::vector<std::pair<double, uint32_t>>,
                        std::greater<>> by_size_;  // live operands by size, built on the first outer product
};

}  // namespace

std::optional<Tree> greedy(const Network& network, const GreedyParams& params, const std::atomic<bool>* stop,
                           uint64_t* work, const Interrupt* interrupt) {
    Builder builder(network, params);
    std::optional<Tree> tree = builder.run(stop, interrupt);
    if (work) *work += builder.scored();
    // A jittered build priced its nodes with the jittered sizes.
    if (tree && params.jitter > 0) return tree_from_steps(network, steps_of(*tree));
    return tree;
}

}  // namespace plenexa::trees
