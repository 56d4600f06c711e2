// The window dynamic program over subsets of a window's leaves, and the sweeps of windows
// over a tree that splice in cheaper orders.
#include "trees/refine.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <string>
#include <tuple>

#include "trees/random.hpp"
#include "util/failure.hpp"

namespace plenexa::trees {

namespace {

// A window's order replaces the current one only when cheaper by more than this fraction,
// so that rounding never makes sweeps trade equal orders back and forth.
constexpr double improvement_margin = 1e-12;
// Refinement sweeps cycle through window_cycle window sizes: the largest, then window_step fewer
// leaves, and so on. Windows at even places of the cycle grow towards the largest tensors, at odd
// places towards the costliest subtrees: each shape gets stuck where the other may not. Measured
// against growing every window by cost (bench/large.py's networks, 2 seeds each): MPS norm 100
// and circuit 12 x 10 cost 12 and 16% less, the 5^3 cube 1.5 to 1.7 times less, chains 2-3% less;
// the others moved by at most 6%, mostly down (the tree of 200 went 2% up).
constexpr unsigned window_cycle = 3;
constexpr unsigned window_step = 2;

// How a window's orders are priced: each step at flops_weight x its flops + write_weight x the size
// of its result, or with `largest` the order at its largest result; orders with a result above
// `cap` are ruled out.
struct Pricing {
    double flops_weight = 1;
    double write_weight = 0;
    bool largest = false;
    double cap = HUGE_VAL;
};

// The pricing of the objective's sums (all but "size", which refine prices apart).
Pricing pricing_of(const Objective& objective) {
    switch (objective.measure) {
        case Measure::write: return {0, 1};
        case Measure::combo: return {1, objective.factor};
        default: return {};
    }
}

// Whether a set of leaves holds exactly one.
bool one_leaf(uint32_t set) { return set != 0 && (set & (set - 1)) == 0; }

// The exact optimiser of one window, reusing its buffers from window to window.
//
// Axes are grouped by (the set of leaves holding them, whether the window's result keeps them);
// each group acts as one axis whose size is the product of its members'. For a set S of two or
// more leaves, kept(S) holds the groups present in S that the result keeps or that a leaf outside
// S holds; a single leaf keeps all its groups. Contracting S1 and S2 into S costs the product of
// the groups in kept(S1) ∪ kept(S2), which is size(kept(S)) times the groups that leave at this
// step: inner(S) / (inner(S1) * inner(S2)), where inner(X) is the product of the groups not kept
// and held only inside X, for two or more leaves; 1 for a single leaf, which still holds its own
// axes (an input's exclusive axes count in its first step's cost).
class WindowSolver {
public:
    explicit WindowSolver(size_t n_axes) : local_of_(n_axes, no_node) {}

    // Takes the window's leaves (their axes) and whether the window's result keeps each axis.
    template <class Kept>
    void load(const std::vector<const Axes*>& leaves, Kept&& kept) {
        width_ = static_cast<unsigned>(leaves.size());
        for (unsigned i = 0; i < width_; ++i)
            for (const Axis axis : *leaves[i]) {
                if (local_of_[axis] == no_node) {
                    local_of_[axis] = static_cast<uint32_t>(locals_.size());
                    locals_.push_back({axis, 0, kept(axis)});
                }
                locals_[local_of_[axis]].mask |= uint32_t{1} << i;
            }
    }

    // The cheapest cost over the loaded leaves under `pricing` (infinite when a product overflows
    // or no order keeps within the cap).
    double solve(const std::vector<double>& sizes, bool outer, const Pricing& pricing = {}) {
        std::vector<Local> sorted = locals_;
        std::sort(sorted.begin(), sorted.end(), [](const Local& a, const Local& b) {
            return std::tie(a.mask, a.kept, a.axis) < std::tie(b.mask, b.kept, b.axis);
        });
        groups_.clear();
        double all = 1;
        for (const Local& local : sorted) {
            if (groups_.empty() || groups_.back().mask != local.mask || groups_.back().kept != local.kept)
                groups_.push_back({local.mask, local.kept, 1});
            groups_.back().size *= sizes[local.axis];
            all *= sizes[local.axis];
        }
        if (!std::isfinite(all)) return HUGE_VAL;  // then no split is recorded

        const uint32_t full = (uint32_t{1} << width_) - 1;
        const size_t count = size_t{full} + 1;
        adjacent_.assign(count, 0);
        connected_.assign(count, 0);
        kept_size_.assign(count, 1);
        inner_.assign(count, 1);
        best_.assign(count, HUGE_VAL);
        split_.assign(count, 0);
        splits_.resize(count / 2);
        std::vector<uint32_t> neighbours(width_, 0);
        for (const Group& group : groups_)
            if (!one_leaf(group.mask))
                for (unsigned i = 0; i < width_; ++i)
                    if (group.mask >> i & 1) neighbours[i] |= group.mask & ~(uint32_t{1} << i);
        for (uint32_t set = 1; set <= full; ++set) {
            adjacent_[set] = adjacent_[set & (set - 1)] | neighbours[std::countr_zero(set)];
            uint32_t reach = set & -set;
            for (uint32_t next = (reach | adjacent_[reach]) & set; next != reach; next = (reach | adjacent_[reach]) & set)
                reach = next;
            connected_[set] = reach == set;
        }
        outer = outer || !connected_[full];
        // The sets the program visits, in increasing order: all, or only the connected ones.
        sets_.clear();
        for (uint32_t set = 1; set <= full; ++set)
            if (outer || connected_[set]) sets_.push_back(set);
        // Group by group over the sets, without branches (they mispredicted): a factor of 1 leaves
        // a product as it is, so each set's products are those of its groups in group order.
        for (const Group& group : groups_) {
            for (const uint32_t set : sets_) {
                const bool touches = (group.mask & set) != 0, inside = (group.mask & ~set) == 0;
                kept_size_[set] *= touches && (group.kept || !inside) ? group.size : 1.0;
                inner_[set] *= touches && !group.kept && inside ? group.size : 1.0;
            }
        }
        for (unsigned i = 0; i < width_; ++i) {  // a single leaf's inner product stays 1
            kept_size_[uint32_t{1} << i] = 1;
            inner_[uint32_t{1} << i] = 1;
        }

        for (const uint32_t set : sets_) {
            if (one_leaf(set)) {
                best_[set] = 0;
                continue;
            }
            if (kept_size_[set] > pricing.cap) {
                best_[set] = HUGE_VAL;
                continue;
            }
            const uint32_t low = set & -set, rest = set ^ low;
            const double scale = kept_size_[set] * inner_[set];
            double best = HUGE_VAL;
            uint32_t best_split = 0;
            // Each split once: the first side holds the lowest leaf, and `sub` runs over the
            // proper subsets of the other leaves. The splits to price are gathered first, without
            // branches (the checks mispredicted); two connected sides of a connected set always
            // share an axis.
            size_t splits = 0;
            for (uint32_t sub = (rest - 1) & rest;; sub = (sub - 1) & rest) {
                const uint32_t one = low | sub;
                splits_[splits] = one;
                splits += outer || (connected_[one] & connected_[set ^ one]);
                if (sub == 0) break;
            }
            for (size_t k = 0; k < splits; ++k) {
                const uint32_t one = splits_[k], two = set ^ one;
                double cost;
                if (pricing.largest) {
                    cost = std::max({best_[one], best_[two], kept_size_[set]});
                } else {
                    double step = scale / (inner_[one] * inner_[two]);
                    if (pricing.write_weight != 0)
                        step = pricing.flops_weight * step + pricing.write_weight * kept_size_[set];
                    cost = best_[one] + best_[two] + step;
                }
                if (best_split == 0 || cost < best) {
                    best = cost;
                    best_split = one;
                }
            }
            best_[set] = best;
            split_[set] = best_split;
        }
        return best_[full];
    }

    // The side holding the lowest leaf in the best split of `set` (two or more leaves).
    uint32_t split(uint32_t set) const { return split_[set]; }

    // The largest result of the best order of `set`.
    double largest(uint32_t set) const {
        if (one_leaf(set)) return 0;
        return std::max({kept_size_[set], largest(split_[set]), largest(set ^ split_[set])});
    }

    // Whether the contraction of leaf set `set` keeps `axis` (an axis of some leaf).
    bool keeps(Axis axis, uint32_t set) const {
        const Local& local = locals_[local_of_[axis]];
        return local.kept || (local.mask & ~set) != 0;
    }

    // Forgets the loaded leaves.
    void clear() {
        for (const Local& local : locals_) local_of_[local.axis] = no_node;
        locals_.clear();
    }

private:
    struct Local {
        Axis axis;
        uint32_t mask;  // the leaves holding it
        bool kept;      // the window's result keeps it
    };
    struct Group {
        uint32_t mask;
        bool kept;
        double size;
    };

    unsigned width_ = 0;
    std::vector<uint32_t> local_of_;  // per axis its entry in locals_, or no_node
    std::vector<Local> locals_;
    std::vector<Group> groups_;
    // Per leaf set: the leaves sharing an axis with it, whether it is connected, the size it
    // keeps, its inner product, its cheapest cost and that order's split.
    std::vector<uint32_t> adjacent_;
    std::vector<uint8_t> connected_;
    std::vector<double> kept_size_, inner_, best_;
    std::vector<uint32_t> split_;
    std::vector<uint32_t> sets_;
    std::vector<uint32_t> splits_;  // one set's splits to price, by the side holding its lowest leaf
};

// When the subtrees of a refined tree last changed: per node the clock at the latest splice that
// rebuilt it or a node below it.
struct Changes {
    uint64_t clock = 0;
    std::vector<uint64_t> stamp;
};

// How a window grows below its root: towards the internal node of the largest tensor, or of
// the costliest subtree.
enum class Growth : uint8_t { by_size, by_flops };

// The sweeps of windows of one size and growth over one tree.
class Refiner {
public:
    // Windows whose root's stamp is below `seen` count as found best already.
    Refiner(const Network& network, Tree& tree, unsigned window, Growth growth, Changes& changes, uint64_t seen,
            const Objective& objective, WindowMemo* memo)
        : tree_(tree), sizes_(size_weights(network)), solver_(sizes_.size()),
          window_(std::clamp(window, 3u, max_window)), growth_(growth), changes_(changes),
          seen_(tree.nodes.size(), seen), by_size_(objective.measure == Measure::size),
          pricing_(pricing_of(objective)), memo_(by_size_ ? nullptr : memo) {}

    // One sweep; true when some window improved. Stops early (returning false) on `stop` or the deadline. Skips the
    // windows that this refiner found no better order for and whose subtree has not changed since:
    // a window looks only down from its root, so it would find none again.
    bool sweep(const std::atomic<bool>* stop, const Deadline& deadline, bool& stopped) {
        bool improved = false;
        if (by_size_) tally();
        for (const uint32_t root : internal_post_order(tree_)) {
            if ((stop && stop->load(std::memory_order_relaxed)) || (deadline && Clock::now() >= *deadline)) {
                stopped = true;
                return improved;
            }
            if (seen_[root] > changes_.stamp[root]) continue;
            if (improve(root)) {
                improved = true;
            } else {
                seen_[root] = changes_.clock + 1;
            }
        }
        return improved;
    }

private:
    // Re-optimises the window rooted at internal node `root`; true when it spliced a cheaper order.
    bool improve(uint32_t root) {
        std::vector<Node>& nodes = tree_.nodes;
        inside_.assign(1, root);
        frontier_.clear();
        leaves_.clear();
        const auto take = [&](uint32_t at) {
            for (const uint32_t child : {nodes[at].left, nodes[at].right})
                (nodes[child].left == no_node ? leaves_ : frontier_).push_back(child);
        };
        take(root);
        while (inside_.size() + 1 < window_ && !frontier_.empty()) {
            const auto weight = [&](uint32_t at) {
                return growth_ == Growth::by_size ? nodes[at].size : nodes[at].flops;
            };
            auto pick = frontier_.begin();
            for (auto it = frontier_.begin(); it != frontier_.end(); ++it)
                if (weight(*it) > weight(*pick) || (weight(*it) == weight(*pick) && *it < *pick)) pick = it;
            const uint32_t at = *pick;
            frontier_.erase(pick);
            inside_.push_back(at);
            take(at);
        }
        leaves_.insert(leaves_.end(), frontier_.begin(), frontier_.end());
        if (leaves_.size() < 3) return false;
        std::sort(leaves_.begin(), leaves_.end());

        leaf_axes_.clear();
        for (const uint32_t leaf : leaves_) leaf_axes_.push_back(&nodes[leaf].axes);
        const Axes& result = nodes[root].axes;
        const WindowMemo::Key key = memo_ ? key_of(result) : WindowMemo::Key{};
        if (memo_) {
            const std::optional<double> known = memo_->find(key);
            if (known && !(*known < current_cost() * (1 - improvement_margin))) return false;
        }
        solver_.load(leaf_axes_, [&](Axis axis) { return std::binary_search(result.begin(), result.end(), axis); });
        const bool better = by_size_ ? narrower() : cheaper(key);
        if (better) {
            splice(root);
            if (by_size_) tally();
        }
        solver_.clear();
        return better;
    }

    // The window's own order's cost under the pricing of a sum.
    double current_cost() const {
        double current = 0;
        for (const uint32_t at : inside_) {
            const Node& node = tree_.nodes[at];
            current += pricing_.write_weight == 0 ? node.step
                                                  : pricing_.flops_weight * node.step + pricing_.write_weight * node.size;
        }
        return current;
    }

    // The memo's key of the window of leaf_axes_ whose result keeps `result`: two independent
    // 64-bit digests of its axes, leaf by leaf, and of its pricing.
    WindowMemo::Key key_of(const Axes& result) const {
        WindowMemo::Key key{mix64(std::bit_cast<uint64_t>(pricing_.flops_weight)),
                            mix64(~std::bit_cast<uint64_t>(pricing_.write_weight))};
        const auto add = [&](uint64_t word) {
            key[0] = mix64(key[0] ^ word);
            key[1] = mix64(key[1] + (word ^ 0x5851f42d4c957f2dULL));
        };
        for (const Axes* axes : leaf_axes_) {
            for (const Axis axis : *axes) add(axis);
            add(~uint64_t{0});  // the end of a leaf
        }
        for (const Axis axis : result) add(uint64_t{axis} << 32);
        return key;
    }

    // Whether the loaded window (`key` in the memo) has an order cheaper under the pricing of a
    // sum than its own.
    bool cheaper(const WindowMemo::Key& key) {
        const double best = solver_.solve(sizes_, false, pricing_);
        if (memo_) memo_->store(key, best);
        return best < current_cost() * (1 - improvement_margin);
    }

    // For "size": whether the loaded window has an order that lowers the tree's largest
    // intermediate, or keeps it and costs fewer flops; the solver holds that order.
    bool narrower() {
        const std::vector<Node>& nodes = tree_.nodes;
        double flops = 0, inside_largest = 0;
        size_t inside_at_largest = 0;
        for (const uint32_t at : inside_) {
            flops += nodes[at].step;
            inside_largest = std::max(inside_largest, nodes[at].size);
            inside_at_largest += nodes[at].size == largest_;
        }
        // The largest intermediate outside the window: the tree's, unless the window holds all of those.
        double outside = largest_;
        if (inside_at_largest == at_largest_) {
            outside = 0;
            for (uint32_t at = tree_.inputs; at < nodes.size(); ++at)
                if (std::find(inside_.begin(), inside_.end(), at) == inside_.end()) outside = std::max(outside, nodes[at].size);
        }
        double cap = outside;
        if (inside_largest > outside) cap = std::max(cap, solver_.solve(sizes_, false, {0, 0, true}));
        const double best = solver_.solve(sizes_, false, {1, 0, false, cap});
        if (!(best < HUGE_VAL)) return false;
        const uint32_t full = (uint32_t{1} << leaves_.size()) - 1;
        const double before = std::max(outside, inside_largest), after = std::max(outside, solver_.largest(full));
        return after < before || (after == before && best < flops * (1 - improvement_margin));
    }

    // Counts the tree's largest intermediate and how many internal nodes have that size.
    void tally() {
        largest_ = 0;
        at_largest_ = 0;
        for (uint32_t at = tree_.inputs; at < tree_.nodes.size(); ++at) {
            const double size = tree_.nodes[at].size;
            if (size > largest_) largest_ = size, at_largest_ = 0;
            at_largest_ += size == largest_;
        }
    }

    // Rebuilds the window at `root` in the solver's best order, reusing its internal nodes.
    void splice(uint32_t root) {
        std::vector<Node>& nodes = tree_.nodes;
        struct Piece {
            uint32_t set, node;
            uint32_t children[2];
        };
        std::sort(inside_.begin() + 1, inside_.end());
        auto next_slot = inside_.begin() + 1;
        const uint32_t full = (uint32_t{1} << leaves_.size()) - 1;
        std::vector<Piece> pieces{{full, root, {no_node, no_node}}};
        for (size_t i = 0; i < pieces.size(); ++i) {
            const uint32_t one = solver_.split(pieces[i].set);
            const uint32_t sides[2] = {one, pieces[i].set ^ one};
            for (int side = 0; side < 2; ++side) {
                uint32_t child;
                if (one_leaf(sides[side])) {
                    child = leaves_[std::countr_zero(sides[side])];
                } else {
                    child = *next_slot++;
                    pieces.push_back({sides[side], child, {no_node, no_node}});
                }
                pieces[i].children[side] = child;
            }
        }
        // Children before parents: pieces were listed parents first.
        for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
            Node& node = nodes[piece->node];
            node.left = piece->children[0];
            node.right = piece->children[1];
            nodes[node.left].parent = nodes[node.right].parent = piece->node;
            const uint32_t set = piece->set;
            join(
                sizes_, nodes[node.left], nodes[node.right],
                [&](Axis axis, bool) { return solver_.keeps(axis, set); }, node);
        }
        const uint64_t now = ++changes_.clock;
        for (const uint32_t at : inside_) changes_.stamp[at] = now;
        for (uint32_t at = nodes[root].parent; at != no_node; at = nodes[at].parent) {
            nodes[at].flops = nodes[nodes[at].left].flops + nodes[nodes[at].right].flops + nodes[at].step;
            changes_.stamp[at] = now;
        }
    }

    Tree& tree_;
    const std::vector<double> sizes_;
    WindowSolver solver_;
    const unsigned window_;
    const Growth growth_;
    Changes& changes_;
    std::vector<uint64_t> seen_;  // per node: above the stamp of its subtree when its window was found best
    const bool by_size_;          // the objective is "size"
    const Pricing pricing_;       // the objective's pricing otherwise
    double largest_ = 0;          // with by_size_: the tree's largest intermediate
    size_t at_largest_ = 0;       // and the number of internal nodes of that size
    WindowMemo* const memo_;      // windows solved before on this network (never for "size")
    std::vector<uint32_t> inside_, frontier_, leaves_;  // the window: internal nodes (root first), leaves
    std::vector<const Axes*> leaf_axes_;
};

// Appends the post-order steps of the best order of `set` to `steps`; returns its number.
uint32_t number_order(const WindowSolver& solver, uint32_t set, uint32_t width, Steps& steps) {
    if (one_leaf(set)) return static_cast<uint32_t>(std::countr_zero(set));
    const uint32_t one = solver.split(set);
    const uint32_t left = number_order(solver, one, width, steps);
    const uint32_t right = number_order(solver, set ^ one, width, steps);
    steps.push_back({left, right});
    return static_cast<uint32_t>(width + steps.size() - 1);
}

}  // namespace

std::optional<double> WindowMemo::find(const Key& key) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = best_.find(key);
    if (found == best_.end()) return std::nullopt;
    return found->second;
}

void WindowMemo::store(const Key& key, double best) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (best_.size() < most_windows) best_.emplace(key, best);
}

Order best_order(const std::vector<Axes>& leaves, const std::vector<double>& sizes,
                 const std::vector<uint8_t>& kept, bool outer) {
    if (leaves.empty() || leaves.size() > max_window)
        throw util::InvalidValue("a window holds 1 to " + std::to_string(max_window) + " operands, not " +
                                 std::to_string(leaves.size()));
    for (const Axes& axes : leaves)
        for (const Axis axis : axes)
            if (axis >= sizes.size() || axis >= kept.size())
                throw util::InvalidValue("axis " + std::to_string(axis) + " has no size");
    WindowSolver solver(sizes.size());
    std::vector<const Axes*> pointers;
    for (const Axes& axes : leaves) pointers.push_back(&axes);
    solver.load(pointers, [&](Axis axis) { return kept[axis] != 0; });
    Order order;
    order.cost = solver.solve(sizes, outer);
    if (!std::isfinite(order.cost)) throw util::InvalidValue("the operands' costs overflow a double");
    const auto width = static_cast<uint32_t>(leaves.size());
    number_order(solver, (uint32_t{1} << width) - 1, width, order.steps);
    return order;
}

unsigned refine(const Network& network, Tree& tree, const RefineSettings& settings, const std::atomic<bool>* stop,
                const std::vector<uint32_t>* changed) {
    if (tree.inputs < 3) return 0;
    // Sweeps cycle through window sizes, since each size gets stuck where another may not.
    const unsigned largest = std::clamp(settings.window, 3u, max_window);
    Changes changes{0, std::vector<uint64_t>(tree.nodes.size(), 0)};
    if (changed) {
        // The changed nodes and those above them get a stamp of 1; the others keep 0, below the
        // refiners' `seen` of 1, so that their windows are skipped until something below them changes.
        changes.clock = 1;
        for (const uint32_t node : *changed)
            for (uint32_t at = node; at != no_node && changes.stamp[at] == 0; at = tree.nodes[at].parent)
                changes.stamp[at] = 1;
    }
    std::vector<Refiner> refiners;
    refiners.reserve(window_cycle);
    for (unsigned k = 0; k < window_cycle && largest >= 3 + window_step * k; ++k)
        refiners.emplace_back(network, tree, largest - window_step * k, k % 2 == 0 ? Growth::by_size : Growth::by_flops,
                              changes, changes.clock, settings.objective, settings.memo);
    unsigned done = 0, idle = 0;
    bool stopped = false;
    while (done < settings.sweeps && idle < refiners.size()) {
        const bool improved = refiners[done % refiners.size()].sweep(stop, settings.deadline, stopped);
        if (stopped) break;
        ++done;
        idle = improved ? 0 : idle + 1;
    }
    return done;
}

}  // namespace plenexa::trees
