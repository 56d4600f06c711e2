// The bounded dynamic-programming contraction-order search.
//
// Overview. The inputs are split into connected components (inputs sharing an axis id,
// transitively); each is solved alone and the results are joined by outer products,
// the two smallest first. One component of k inputs is solved by dynamic programming
// over its subsets, as opt_einsum's DynamicProgramming does it:
//
// - Tables. tables[n] holds, for each subset (subgraph) of n inputs found so far, the
//   cheapest contraction of it seen: its cost (the sum over its pairwise steps of the
//   product of the sizes of every axis involved), the axes its result keeps (those the
//   output or an input outside it still needs), their size, and its tree. tables[1]
//   holds the inputs; the component is solved once tables[k] holds the full set. Entries
//   stay in insertion order; a cheaper contraction of a held subgraph replaces it in place.
// - A sweep. For n = 2..k and m = 1..n/2, every entry A of tables[m] meets every entry B of
//   tables[n - m] (opt_einsum's loops over subgraph sizes and their pairs): disjoint
//   subgraphs that share an axis (or any, with check_outer) merge into tables[n] when the
//   merge costs less than cost_cap, its result is smaller than mem_cap, and tables[n] has
//   room (fewer than hash_map_cap entries) or already holds the subgraph at a higher
//   cost. Tables persist from sweep to sweep.
// - Caps. cost_cap starts at the size of the component's output axes (at least 2) and is
//   multiplied by the strategy's growth (4, as opt_einsum raises its cost cap; plenexa_paths
//   grows exhaustive searches by 2) after each sweep that leaves tables[k] empty; once that
//   would overflow, mem_cap doubles (unless the caller fixed it),
//   then one last sweep runs with cost_cap at the largest value. hash_map_cap is what
//   opt_einsum lacks: it bounds every table, hence every sweep, whatever the network. A
//   sweep under an unchanged mem_cap leaves the entries held before it as they are, so it
//   passes over tables that are full.
//
// Membership blocks and cost floors (table.hpp) let a sweep skip 64 partners at a time.
// A merge's size is |A| |B| / |overlap|, so a block's smallest size and cost tell how many
// axes a partner must share with A to pass the cap (exactly when every axis has one
// power-of-two size, bounded by A's largest axis sizes otherwise); partners that share
// fewer are dropped by counting their membership words in bit slices, before pricing.
// Components of 64 or more inputs, which only wide searches take, also get a greedy tree:
// the search stops once a sweep above the greedy cost fails, and the cheaper tree wins.
// A strategy with greedy bounds (plenexa_paths') gives every component one: it answers when
// the search cannot complete or runs out of work, and costs compare without saturation.
// Such a strategy also joins the components at the least cost, scalars where they are cheapest,
// hands components of `anytime_from` inputs or more to the tree search of src/trees, and
// improves the others' trees with that folder's exact windows.
//
// Objectives. The costs above are flops; a strategy may minimise another measure (Objective):
// the tables then hold that measure's cost, the cap schedule is the same, and every merge is
// priced in full by `Sweep::measured`, since floors and shared-axis counts bound flops only
// (combo, which costs at least the flops, keeps the floors). "write" adds the size of each
// result, "combo" flops plus factor x write, "size" keeps the largest result; for "size" a
// second, flops search under a fixed mem_cap of that largest result breaks its ties. Greedy
// trees, tree searches and windows are compared by the objective (a replay of the tree), calls
// of few inputs take the general search, and components are joined in the order of fewest
// flops, scalars among the other results rather than inside a tree.
// In the code: `sweep_tables` is one sweep, `grow_caps` the caps' schedule, `Sweep::partners`
// the scan of one entry's partners and `Sweep::admit` their entry into a table.
// Calls of at most eight inputs over at most 64 ids take the same steps in small.cpp, in
// fixed arrays: there allocation, not the search, would cost the most.
#include "optimiser/optimiser.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <queue>
#include <string>
#include <tuple>
#include <iterator>

#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/small.hpp"
#include "optimiser/table.hpp"
#include "trees/anytime.hpp"
#include "trees/refine.hpp"
#include "util/failure.hpp"

namespace plenexa::optimiser {

using detail::Node;
using detail::Numbered;

namespace {

// Widest subgraph and axis bitmaps compiled in for wide searches, in 64-bit words.
constexpr int max_wide_subgraph_words = 64;
constexpr int max_wide_axis_words = 128;

// A quick tree search (Strategy::quick) refines this many trees with at most this many sweeps
// each, and skips the rebuilds. Measured as plan's re-searches on bench/sliced.py's 14 rows: a
// third to a quarter of the time of a full search; the plans' flops the same on 10 rows and
// 2-8% higher on four (the 3-regular graph of 128 tensors and the 7 x 7 circuit); 2 trees of
// 12 sweeps and 16 trials of each kind took less time, but cost 3 times more on the circuit.
constexpr unsigned quick_refine_trees = 4;
constexpr unsigned quick_sweeps = 6;

// Components of more inputs than this get fewer tree-search trials and refinements.
constexpr size_t large_component = 1000;

// Work the tables may spend on one part of a tree-search tree (see trees::Settings::exact): parts
// of up to 35 leaves of the benchmark's networks take a few milliseconds; 2^20 left most of them
// to the greedy order, 2^25 found no cheaper trees than 2^22.
constexpr uint64_t exact_order_work = uint64_t{1} << 22;

// Left entries looked at between two counts of the interrupt check's work.
constexpr size_t entries_per_tick = 1024;

// One connected group of inputs, with its axes renumbered 0, 1, ... in order of first use.
struct Component {
    std::vector<uint32_t> inputs;               // input indices, ascending
    std::vector<uint32_t> axis_start;           // input j's axes are axes[axis_start[j] .. axis_start[j + 1])
    std::vector<uint32_t> axes;                 // per input, its distinct local axes
    std::vector<uint64_t> sizes;                // per local axis, its size
    std::vector<uint8_t> in_output;             // per local axis, 1 when the output keeps it
    size_t n_axes = 0;                          // number of local axes

    // Per local axis, the positions j of the inputs that hold it, as `axis_start`/`axes` do per input.
    void users(std::vector<uint32_t>& start, std::vector<uint32_t>& list) const {
        start.assign(n_axes + 1, 0);
        for (uint32_t a : axes) ++start[a + 1];
        for (size_t a = 0; a < n_axes; ++a) start[a + 1] += start[a];
        list.resize(axes.size());
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        for (uint32_t j = 0; j + 1 < axis_start.size(); ++j)
            for (uint32_t p = axis_start[j]; p < axis_start[j + 1]; ++p) list[next[axes[p]]++] = j;
    }
};

// A solved component: the sizes of its result with and without summed axes, its tree and
// what the tree costs (saturating).
struct Solved {
    uint64_t size;
    uint64_t output_size;
    uint32_t root;
    uint64_t cost = 0;
};

// Thrown when a call has done the work its strategy allows; its greedy trees then answer.
struct WorkSpent {};

// Asks the caller's interrupt check every `interval` of search work. Reading the clock
// costs about as much as pricing a few partners, so it is read once per `stride` units of
// work (one unit: an operand whose partners are scanned, or one block of 64 partners).
class Pulse {
public:
    explicit Pulse(const Interrupt& interrupt) : interrupt_(interrupt), last_(Clock::now()) {}

    // Makes `tick` throw WorkSpent once the work counted since the call began reaches `limit`,
    // or once `deadline` has passed.
    void limit_work(uint64_t limit, Deadline deadline) {
        work_limit_ = limit;
        deadline_ = deadline;
    }

    // Counts `work` units; now and then reads the clock, and asks the caller once `interval`
    // has passed; throws WorkSpent once the work limit or the deadline is reached.
    void tick(uint64_t work) {
        if (work < budget_) {
            budget_ -= work;
            return;
        }
        done_ += stride - budget_ + work;
        budget_ = stride;
        if (done_ >= work_limit_) throw WorkSpent();
        if (!interrupt_.check && !deadline_) return;
        const auto now = Clock::now();
        if (deadline_ && now >= *deadline_) throw WorkSpent();
        if (!interrupt_.check || now - last_ < interval) return;
        last_ = now;
        if (interrupt_.check(interrupt_.context)) throw util::Interrupted();
    }

private:
    static constexpr auto interval = std::chrono::milliseconds(10);
    static constexpr uint64_t stride = 4096;
    Interrupt interrupt_;
    Clock::time_point last_;
    uint64_t budget_ = stride;
    uint64_t done_ = 0;  // work counted before the current stride
    uint64_t work_limit_ = max_u64;
    Deadline deadline_;
};

// State shared by the components of one call.
struct Call {
    const Options& options;
    Pulse pulse;
    uint64_t mem_cap;
    std::vector<Node> tree;   // nodes of the finished trees, children before parents
    std::vector<Node> arena;  // nodes made by the current component's search
    uint64_t enough = max_u64;  // a failed sweep at a cost cap above this ends the search
    Measure measure = Measure::flops;  // what the tables' costs measure
    bool fixed_mem_cap = false;        // mem_cap is a hard bound: it never grows
};

// A double as a saturating 64-bit count.
uint64_t saturated(double value) {
    return value >= 18446744073709551615.0 ? max_u64 : static_cast<uint64_t>(value);
}

// Appends `node` to `nodes`, refusing to outgrow 32-bit node numbers.
uint32_t push_node(std::vector<Node>& nodes, Node node) {
    if (nodes.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    nodes.push_back(node);
    return static_cast<uint32_t>(nodes.size() - 1);
}

// Copies the tree under arena node `root` into the call's tree and returns its new root.
uint32_t keep_tree(Call& call, uint32_t root) {
    constexpr uint32_t unused = UINT32_MAX;
    std::vector<uint32_t> moved(root + 1, unused);
    std::vector<uint32_t> stack{root};
    moved[root] = 0;
    while (!stack.empty()) {
        const Node node = call.arena[stack.back()];
        stack.pop_back();
        if (node.left == Node::leaf) continue;
        for (uint32_t child : {node.left, node.right}) {
            if (moved[child] == unused) {
                moved[child] = 0;
                stack.push_back(child);
            }
        }
    }
    // Children precede parents in the arena, so one ascending pass maps every child first.
    for (uint32_t i = 0; i <= root; ++i) {
        if (moved[i] == unused) continue;
        Node node = call.arena[i];
        if (node.left != Node::leaf) node = {moved[node.left], moved[node.right]};
        moved[i] = push_node(call.tree, node);
    }
    return moved[root];
}

// The bits of `candidates` set in at least `need` (2, or 3 when more) of the words that
// `each` passes to its argument, counted in bit slices: set once, twice, three times.
template <class Each>
[[gnu::always_inline]] inline uint64_t sharing(int need, uint64_t candidates, Each&& each) {
    uint64_t once = 0, twice = 0, thrice = 0;
    each([&](uint64_t word) {
        word &= candidates;
        thrice |= twice & word;
        twice |= once & word;
        once |= word;
    });
    return candidates & (need == 2 ? twice : thrice);
}

// What the merges of one sweep share: the caps, the component's axes and the node arena.
template <int W, bool Native, int S = 1>
struct Sweep {
    const Sizer<W, Native>& sizer;
    const std::vector<Bits<W>>& input_axes;
    const Bits<W>& output;
    const Bits<W>& shared;  // axes that two or more inputs hold: the only ones partners can share
    const Bits<S>& everything;
    uint64_t cost_cap;
    uint64_t mem_cap;
    uint64_t hash_map_cap;
    bool check_outer;
    bool uniform;
    Objective objective;  // with a measure other than flops, `measured` scans the partners
    // With such a measure and S = 1: per axis, the inputs that hold it (bit j: input j).
    const std::vector<uint64_t>& holder_masks;
    std::vector<Node>& arena;
    // Wide searches only: per axis, the inputs that hold it (see Component::users), and
    // room for the partner features.
    const std::vector<uint32_t>& user_start;
    const std::vector<uint32_t>& users;
    std::vector<uint32_t>& feature_room;

    // The axes of `a` and `b` that the output or an input outside `s` still needs.
    Bits<W> kept_axes(const Bits<W>& a, const Bits<W>& b, const Bits<S>& s) const {
        if constexpr (S == 1) {
            Bits<W> needed = output;
            for (uint64_t x = everything.w[0] & ~s.w[0]; x != 0; x &= x - 1) needed |= input_axes[__builtin_ctzll(x)];
            return (a | b) & needed;
        } else {
            // Summing over the few axes of the pair beats a union over thousands of inputs.
            Bits<W> kept = a | b;
            for (int i = 0; i < W; ++i) {
                for (uint64_t x = kept.w[i] & ~output.w[i]; x != 0; x &= x - 1) {
                    const size_t axis = i * 64 + __builtin_ctzll(x);
                    bool inside = true;
                    for (uint32_t p = user_start[axis]; p < user_start[axis + 1] && inside; ++p) inside = s.has(users[p]);
                    if (inside) kept.w[i] &= ~(x & -x);
                }
            }
            return kept;
        }
    }

    // Prices `a` with each candidate partner of block `blk` and lists those that pass the
    // caps in `picks`, their costs in `pick_costs`; returns how many. Costs come first and
    // without branches: most partners are too costly, and which ones is hard to predict.
    // With `Uniform` (every axis of one power-of-two size) a size is a shift: A's size is
    // not MAX then (its floor is below the cap), a B whose size is MAX has floor MAX and
    // fails `b.floor < limit`, and a cost below the cap did not saturate, so it bounds B's
    // cost plus A's size from above.
    template <bool Uniform>
    [[gnu::always_inline]] inline size_t price(const Entry<W, S>& a, const Table<W, S>& right, size_t blk,
                                               uint64_t candidates, uint32_t* picks, uint64_t* pick_costs) const {
        const uint64_t limit = cost_cap - a.cost;
        // Mixed sizes take a product and a division per partner: partners whose floor or cost
        // alone rules them out are dropped first. (A shift prices uniform sizes; there the extra
        // pass costs more than it saves.)
        if constexpr (!Uniform) {
            const uint64_t b_cost_limit = limit - a.size;
            for (uint64_t x = candidates; x != 0; x &= x - 1) {
                const Entry<W, S>& b = right.entries[blk * 64 + __builtin_ctzll(x)];
                const bool out = (b.floor >= limit) | (b.cost >= b_cost_limit);
                candidates &= ~(static_cast<uint64_t>(out) << __builtin_ctzll(x));
            }
        }
        size_t count = 0;
        for (; candidates != 0; candidates &= candidates - 1) {
            const uint32_t j = static_cast<uint32_t>(blk * 64 + __builtin_ctzll(candidates));
            const Entry<W, S>& b = right.entries[j];
            uint64_t pair_size = max_u64;
            bool fits;
            if constexpr (Uniform)
                fits = sizer.of_union_uniform(a.axes, a.size, b.axes, b.size, pair_size);
            else
                fits = sizer.of_union(a.axes, a.size, b.axes, b.size, pair_size);
            const uint64_t cost = add_saturating(add_saturating(a.cost, b.cost), pair_size);
            picks[count] = j;
            pick_costs[count] = cost;
            // Mixed sizes had their floors and costs checked above.
            count += (!Uniform || b.floor < limit) & fits & (cost < cost_cap);
        }
        return count;
    }

    // Merges `a` into `held` with each entry of `right` from position `first` on that passes
    // the caps, in entry order. With `Count` (one power-of-two size above 1 for every axis, no
    // outer products) partners are first filtered by the number of axes they share with `a`.
    template <bool Count>
    [[gnu::always_inline]] inline void partners(const Entry<W, S>& a, const Table<W, S>& right, size_t first,
                                                Table<W, S>& held) const {
        const size_t n_right = right.size();
        const size_t n_blocks = (n_right + 63) / 64;
        const uint64_t limit = cost_cap - a.cost;
        const uint64_t b_cost_limit = limit - a.size;
        uint32_t stack_features[Table<W, S>::compact ? 1 : 64 + 64 * W];
        uint32_t* const features = Table<W, S>::compact ? feature_room.data() : stack_features;
        uint32_t picks[64];
        uint64_t pick_costs[64];

        // Partners must avoid A's inputs and, unless outer products are allowed, share an axis.
        size_t n_features = 0;
        for (int w = 0; w < S; ++w)
            for (uint64_t x = a.subgraph.w[w]; x != 0; x &= x - 1)
                features[n_features++] = static_cast<uint32_t>(Table<W, S>::input_feature(w * 64 + __builtin_ctzll(x)));
        const size_t n_input_features = n_features;
        if (!check_outer) {
            for (int w = 0; w < W; ++w)
                for (uint64_t x = a.axes.w[w] & shared.w[w]; x != 0; x &= x - 1)
                    features[n_features++] = static_cast<uint32_t>(
                        Table<W, S>::compact ? w * 64 + __builtin_ctzll(x) : right.axis_feature(w * 64 + __builtin_ctzll(x)));
        }
        const int a_shared = static_cast<int>(n_features - n_input_features);
        // Mixed sizes: a merge with B is |A| |B| / |overlap| in size and must stay below the
        // room that B's cost leaves, so |overlap| room > |A| |B| >= |A| (smallest |B| in the
        // block). The overlap of ov shared axes is at most the product of the ov largest sizes
        // of A's shared axes: partners need as many as it takes to get there (4 when three do
        // not, more than A has when all of them do not). Worked out for the first block that
        // asks.
        uint64_t overlap_most[4] = {0, 0, 0, 0};
        const auto need_by_size = [&](const typename Table<W, S>::Bounds& bounds) {
            if (overlap_most[0] == 0) {
                uint64_t largest[3] = {1, 1, 1}, all = 1;
                for (size_t f = n_input_features; f < n_features; ++f) {
                    uint64_t size = sizer.size(Table<W, S>::compact ? features[f] : features[f] - right.axis_feature(0));
                    all *= size;  // at most |A|, which is not MAX
                    for (uint64_t& top : largest)
                        if (size > top) std::swap(size, top);
                }
                overlap_most[0] = largest[0];
                overlap_most[1] = largest[0] * largest[1];
                overlap_most[2] = overlap_most[1] * largest[2];
                overlap_most[3] = all;
            }
            const unsigned __int128 room = limit - bounds.cost;
            const unsigned __int128 product = static_cast<unsigned __int128>(a.size) * bounds.size;
            int need = 1;
            while (need <= 3 && overlap_most[need - 1] * room <= product) ++need;
            return need <= 3 || overlap_most[3] * room > product ? need : a_shared + 1;
        };
        for (size_t blk = first / 64; blk < n_blocks; ++blk) {
            // No partner in the block can pass when every floor or every cost is too high.
            const auto& bounds = right.block_bounds(blk);
            if (bounds.floor >= limit || bounds.cost >= b_cost_limit) continue;
            // With uniform sizes a merge with B sharing `ov` axes has 2^(shift (|A| + |B| - ov))
            // elements, which must stay below the room that B's cost leaves: partners need at
            // least `need` shared axes, or none can pass.
            int need = 1;
            if constexpr (Count) {
                need = sizer.axes_of(a.size) + sizer.axes_of(bounds.size) - sizer.axes_below(limit - bounds.cost);
                if (need > a_shared) continue;
            }
            // The block's entries that this scan covers.
            uint64_t in_range = ~uint64_t{0};
            if (blk == first / 64) in_range &= ~uint64_t{0} << (first % 64);
            if (blk == n_blocks - 1 && n_right % 64 != 0) in_range &= (uint64_t{1} << (n_right % 64)) - 1;
            // Entries that hold one of A's inputs clash with it; a block where all of them do
            // is passed over without reading its axis words.
            uint64_t clash = 0;
            uint64_t meet = check_outer ? ~uint64_t{0} : 0;
            if constexpr (Table<W, S>::compact) {
                // Features come in ascending order: only those within the block's spans can be set.
                const auto gather = [&](typename Table<W, S>::Span span, const uint32_t* from, const uint32_t* to) {
                    uint64_t any = 0;
                    for (const uint32_t* f = std::lower_bound(from, to, span.lo); f != to && *f < span.hi; ++f)
                        any |= span.words[*f - span.lo];
                    return any;
                };
                clash = gather(right.block_inputs(blk), features, features + n_input_features);
                if ((in_range & ~clash) == 0) continue;
                if (!check_outer) meet = gather(right.block_axes(blk), features + n_input_features, features + n_features);
            } else {
                const uint64_t* block = right.block(blk);
                for (size_t f = 0; f < n_input_features; ++f) clash |= block[features[f]];
                if ((in_range & ~clash) == 0) continue;
                for (size_t f = n_input_features; f < n_features; ++f) meet |= block[features[f]];
            }
            uint64_t candidates = meet & ~clash & in_range;
            // Partners that share fewer than `need` axes are dropped before they are priced, when
            // there are enough candidates to pay for a second pass over A's axis words (and, with
            // mixed sizes, for working `need` out).
            const auto refine = [&](int need) {
                if constexpr (Table<W, S>::compact) {
                    const auto span = right.block_axes(blk);
                    const uint32_t* const to = features + n_features;
                    const uint32_t* const from = std::lower_bound(to - a_shared, to, span.lo);
                    return sharing(need, candidates, [&](auto&& add) {
                        for (const uint32_t* f = from; f != to && *f < span.hi; ++f) add(span.words[*f - span.lo]);
                    });
                } else {
                    const uint64_t* block = right.block(blk);
                    return sharing(need, candidates, [&](auto&& add) {
                        for (size_t f = n_input_features; f < n_features; ++f) add(block[features[f]]);
                    });
                }
            };
            if constexpr (Count) {
                if (need >= 2 && candidates != 0 && 4 * count_bits<Native>(candidates) > a_shared) candidates = refine(need);
            } else if (!uniform && !check_outer && candidates != 0 && count_bits<Native>(candidates) >= std::max(8, a_shared / 4)) {
                need = need_by_size(bounds);
                candidates = need > a_shared ? 0 : need >= 2 ? refine(need) : candidates;
            }
            const size_t count = Count || uniform ? price<true>(a, right, blk, candidates, picks, pick_costs)
                                                  : price<false>(a, right, blk, candidates, picks, pick_costs);
            admit(a, right, picks, pick_costs, count, held);
        }
    }

    // Enters the merges of `a` with the `count` partners `picks` of `right` (at `costs`) into
    // `held`, in order: a held subgraph when cheaper, a new one when the table has room and
    // its result fits under mem_cap.
    [[gnu::always_inline]] inline void admit(const Entry<W, S>& a, const Table<W, S>& right, const uint32_t* picks,
                                             const uint64_t* costs, size_t count, Table<W, S>& held) const {
        for (size_t t = 0; t < count; ++t) {
            const Entry<W, S>& b = right.entries[picks[t]];
            const uint64_t cost = costs[t];
            const Bits<S> s = a.subgraph | b.subgraph;
            const int64_t pos = held.find(s);
            if (pos >= 0) {
                // The kept axes depend on s alone, so a held subgraph's axes and
                // size, already below an earlier (never larger) mem_cap, still fit.
                if (cost >= held.entries[pos].cost) continue;
                held.replace(pos, cost, push_node(arena, {a.node, b.node}));
                continue;
            }
            if (held.size() >= hash_map_cap) continue;
            const Bits<W> kept = kept_axes(a.axes, b.axes, s);
            uint64_t kept_size;
            if (!sizer.of(kept, kept_size) || kept_size >= mem_cap) continue;
            held.append(s, kept, cost, kept_size, push_node(arena, {a.node, b.node}));
        }
    }

    // What merging `a` and `b` into `s` costs under a measure other than flops (saturating; combo's
    // write term rounded to a whole number), with the merge's kept axes and their size (MAX on overflow).
    [[gnu::always_inline]] inline uint64_t measured_cost(const Entry<W, S>& a, const Entry<W, S>& b, const Bits<S>& s,
                                                         Bits<W>& kept, uint64_t& kept_size) const {
        if constexpr (S == 1) {
            // An axis leaves when s holds every input that has it and the output drops it: an
            // axis of one input at its first merge, else only an axis that both a and b keep.
            for (int i = 0; i < W; ++i) {
                kept.w[i] = (a.axes.w[i] | b.axes.w[i]) & (shared.w[i] | output.w[i]);
                for (uint64_t x = a.axes.w[i] & b.axes.w[i] & ~output.w[i]; x != 0; x &= x - 1)
                    if ((holder_masks[i * 64 + __builtin_ctzll(x)] & ~s.w[0]) == 0) kept.w[i] &= ~(x & -x);
            }
        } else {
            kept = kept_axes(a.axes, b.axes, s);
        }
        if (!sizer.of(kept, kept_size)) kept_size = max_u64;
        if (objective.measure == Measure::size) return std::max({a.cost, b.cost, kept_size});
        const uint64_t both = add_saturating(a.cost, b.cost);
        if (objective.measure == Measure::write) return add_saturating(both, kept_size);
        uint64_t pair_size;
        if (!sizer.of_union(a.axes, a.size, b.axes, b.size, pair_size)) pair_size = max_u64;
        const uint64_t write = saturated(std::round(objective.factor * static_cast<double>(kept_size)));
        return add_saturating(add_saturating(both, pair_size), write);
    }

    // `partners` under a measure other than flops: merges `a` into `held` with each entry of `right`
    // from position `first` on that passes the caps, in entry order, each priced in full. Blocks are
    // passed over by their smallest cost (no merge costs less than either operand; with write or
    // combo, less than both together) and, for combo, which costs at least the flops, by their floors.
    [[gnu::always_inline]] inline void measured(const Entry<W, S>& a, const Table<W, S>& right, size_t first,
                                                Table<W, S>& held) const {
        const size_t n_right = right.size();
        const bool largest = objective.measure == Measure::size;
        const uint64_t limit = largest ? cost_cap : cost_cap - a.cost;
        for (size_t blk = first / 64; blk * 64 < n_right; ++blk) {
            const auto& bounds = right.block_bounds(blk);
            if (bounds.cost >= limit) continue;
            if (objective.measure == Measure::combo && (bounds.floor >= limit || bounds.cost >= limit - a.size)) continue;
            const size_t end = std::min(n_right, blk * 64 + 64);
            for (size_t j = std::max(first, blk * 64); j < end; ++j) {
                const Entry<W, S>& b = right.entries[j];
                if (b.cost >= limit) continue;
                if (!((a.subgraph & b.subgraph) == Bits<S>{})) continue;
                if (!check_outer && (a.axes & b.axes & shared) == Bits<W>{}) continue;
                const Bits<S> s = a.subgraph | b.subgraph;
                Bits<W> kept;
                uint64_t kept_size;
                const uint64_t cost = measured_cost(a, b, s, kept, kept_size);
                if (cost >= cost_cap) continue;
                const int64_t pos = held.find(s);
                if (pos >= 0) {
                    if (cost < held.entries[pos].cost) held.replace(pos, cost, push_node(arena, {a.node, b.node}));
                    continue;
                }
                if (held.size() >= hash_map_cap || kept_size >= mem_cap) continue;
                held.append(s, kept, cost, kept_size, push_node(arena, {a.node, b.node}));
            }
        }
    }
};

// Sweep::partners out of line, so that its loops get the registers: once compiled for any
// x86-64 processor, once with the population-count instruction.
template <bool Count, int W, int S>
[[gnu::noinline]] void partners_portable(const Sweep<W, false, S>& sweep, const Entry<W, S>& a,
                                         const Table<W, S>& right, size_t first, Table<W, S>& held) {
    sweep.template partners<Count>(a, right, first, held);
}

#if defined(__x86_64__) || defined(__i386__)
template <bool Count, int W, int S>
[[gnu::noinline, gnu::target("popcnt")]] void partners_popcnt(const Sweep<W, true, S>& sweep, const Entry<W, S>& a,
                                                               const Table<W, S>& right, size_t first,
                                                               Table<W, S>& held) {
    sweep.template partners<Count>(a, right, first, held);
}
#else
template <bool Count, int W, int S>
[[gnu::noinline]] void partners_popcnt(const Sweep<W, true, S>& sweep, const Entry<W, S>& a, const Table<W, S>& right,
                                       size_t first, Table<W, S>& held) {
    sweep.template partners<Count>(a, right, first, held);
}
#endif

// Raises the caps after a sweep that left a component incomplete: cost_cap by `growth` while
// that fits in 64 bits, then mem_cap by 2 (unless it cannot grow) until it is MAX, then cost_cap
// to MAX for one last sweep. `settled` tells whether the next sweep runs under the same mem_cap.
inline void grow_caps(uint64_t& cost_cap, uint64_t& mem_cap, uint64_t growth, bool mem_can_grow, bool& last_sweep,
                      bool& settled) {
    settled = true;
    if (cost_cap <= max_u64 / growth) {
        cost_cap *= growth;
    } else if (mem_can_grow && mem_cap != max_u64) {
        mem_cap = mem_cap == 0 ? 1 : mul_saturating(mem_cap, 2);
        settled = false;
    } else {
        cost_cap = max_u64;
        last_sweep = true;
    }
}

// One sweep (see the overview): for n = 2..k, merges the entries of tables m and n - m into
// table n. With `settled`, full tables are passed over.
template <int W, int S, bool Native>
[[gnu::always_inline]] inline void sweep_tables(Call& call, const Component& comp, std::vector<Table<W, S>>& tables,
                                                const Sweep<W, Native, S>& sweep, bool by_count, bool settled) {
    const size_t k = comp.inputs.size();
    const uint64_t cost_cap = sweep.cost_cap;
    for (size_t n = 2; n <= k; ++n) {
        Table<W, S>& held = tables[n];
        call.pulse.tick(1);
        if (settled && held.size() >= sweep.hash_map_cap) continue;
        for (size_t m = 1; m <= n / 2; ++m) {
            const Table<W, S>& left = tables[m];
            const Table<W, S>& right = tables[n - m];
            // Large components spend much of a sweep here, even when every pair is skipped.
            call.pulse.tick(1);
            if (left.empty() || right.empty()) continue;
            const size_t n_left = left.size();
            // A unit per operand and per block of partners, each block costing a word per feature.
            const uint64_t work = (1 + right.size() / 64) * (S == 1 ? 1 : 1 + (n + comp.n_axes) / 64);
            const auto partner_bounds = right.bounds();
            // Left entries go in runs, so that the interrupt check's counting stays out
            // of the loop that skips them.
            for (size_t run = 0; run < n_left; run += entries_per_tick) {
                const size_t run_end = std::min(n_left, run + entries_per_tick);
                call.pulse.tick(run_end - run);
                for (size_t i = run; i < run_end; ++i) {
                    const Entry<W, S>& a = left.entries[i];
                    // A pair of equal halves is met twice; the second orientation ties and never wins.
                    const size_t first = (m == n - m) ? i + 1 : 0;
                    // Write and size merges cost at least the operand's own cost, and are priced apart.
                    if (sweep.objective.measure == Measure::write || sweep.objective.measure == Measure::size) {
                        if (a.cost >= cost_cap) continue;
                        call.pulse.tick(work);
                        sweep.measured(a, right, first, held);
                        continue;
                    }
                    // Every merge costs at least both operands' costs plus the larger operand size.
                    if (a.floor >= cost_cap) continue;
                    // Nor can any partner pass when every floor or every cost is too high.
                    const uint64_t limit = cost_cap - a.cost;
                    if (partner_bounds.floor >= limit || partner_bounds.cost >= limit - a.size) continue;
                    call.pulse.tick(work);
                    if (sweep.objective.measure == Measure::combo) {
                        sweep.measured(a, right, first, held);
                        continue;
                    }
                    if constexpr (Native)
                        (by_count ? partners_popcnt<true, W, S>
                                  : partners_popcnt<false, W, S>)(sweep, a, right, first, held);
                    else
                        (by_count ? partners_portable<true, W, S>
                                  : partners_portable<false, W, S>)(sweep, a, right, first, held);
                }
            }
        }
    }
}

// Searches one component of two or more inputs with S-word subgraphs (S = 1 for up to 63
// inputs) and W-word axis bitmaps. Returns nothing when neither cap can grow any further
// and the call must fall back. `Native` says whether the caller is compiled with a
// population-count instruction.
template <int W, int S, bool Native>
[[gnu::always_inline]] inline std::optional<Solved> search(Call& call, const Component& comp) {
    const size_t k = comp.inputs.size();
    const uint64_t* sizes = comp.sizes.data();
    const Sizer<W, Native> sizer(sizes, comp.n_axes);
    Bits<S> everything;
    for (size_t j = 0; j < k; ++j) everything.set(j);
    const bool check_outer = call.options.caps.check_outer;
    const uint64_t hash_map_cap = call.options.caps.hash_map_cap;
    const bool uniform = sizer.uniform();
    // Partners are counted by shared axes when every axis has one power-of-two size above 1.
    const bool by_count = uniform && !check_outer && sizer.counts_axes();

    std::vector<Bits<W>> input_axes(k);
    Bits<W> output, all, shared;
    for (size_t j = 0; j < k; ++j) {
        for (uint32_t p = comp.axis_start[j]; p < comp.axis_start[j + 1]; ++p) input_axes[j].set(comp.axes[p]);
        shared |= all & input_axes[j];
        all |= input_axes[j];
    }
    for (size_t a = 0; a < comp.n_axes; ++a)
        if (comp.in_output[a]) output.set(a);
    std::vector<uint32_t> user_start, users, feature_room;
    if constexpr (Table<W, S>::compact) feature_room.resize(k + comp.n_axes);
    std::vector<uint64_t> holder_masks;
    if (S == 1 && call.measure != Measure::flops) {
        holder_masks.assign(comp.n_axes, 0);
        for (size_t j = 0; j < k; ++j)
            for (uint32_t p = comp.axis_start[j]; p < comp.axis_start[j + 1]; ++p) holder_masks[comp.axes[p]] |= uint64_t{1} << j;
    }
    if constexpr (S > 1) comp.users(user_start, users);

    uint64_t cost_cap;
    if (!size_of(all & output, sizes, cost_cap)) cost_cap = max_u64;
    cost_cap = std::max<uint64_t>(cost_cap, 2);

    // tables[n] holds, per subgraph of n inputs (bit j = j-th input of the component),
    // the cheapest contraction of it that has passed the caps so far, in insertion order.
    std::vector<Table<W, S>> tables;
    tables.reserve(k + 1);
    for (size_t n = 0; n <= k; ++n) tables.emplace_back(k, comp.n_axes);
    call.arena.clear();
    call.arena.reserve(4 * k);
    for (size_t j = 0; j < k; ++j) {
        uint64_t size;
        if (!size_of(input_axes[j], sizes, size)) size = max_u64;
        Bits<S> single;
        single.set(j);
        tables[1].append(single, input_axes[j], 0, size, push_node(call.arena, {Node::leaf, comp.inputs[j]}));
    }

    // Caps grow until table k holds the component: cost_cap by `growth` while that fits in 64 bits,
    // then mem_cap by 2 (unless the caller fixed it) until it is MAX. After that one last
    // sweep with cost_cap = MAX admits every merge whose cost did not saturate; if even that
    // leaves the component incomplete, the search gives up.
    const bool mem_can_grow = !call.fixed_mem_cap;
    const uint64_t growth = call.options.strategy.growth;
    bool last_sweep = false;
    // True when the previous sweep ran under the same mem_cap. Such a sweep changes no entry
    // held before it: a pair of unchanged entries met in the previous sweep, and either cost
    // less than its cap (its subgraph is held at that cost or less, or was refused for room or
    // memory and still is) or costs at least that cap, more than any entry held then; a pair
    // with a changed entry costs more than that entry, by induction at least that cap too.
    // So a table that is already full gains nothing in the sweep and is passed over.
    bool settled = false;
    while (true) {
        // A component whose output alone overflows cannot complete with any merge below the cap.
        if (cost_cap == max_u64 && !last_sweep && (call.mem_cap == max_u64 || !mem_can_grow)) return std::nullopt;
        const Sweep<W, Native, S> sweep{sizer,        input_axes, output, shared, everything, cost_cap, call.mem_cap,
                                        hash_map_cap, check_outer, uniform, {call.measure, call.options.strategy.objective.factor},
                                        holder_masks, call.arena, user_start, users, feature_room};
        sweep_tables<W, S, Native>(call, comp, tables, sweep, by_count, settled);
        if (!tables[k].empty()) break;
        if (last_sweep || cost_cap > call.enough) return std::nullopt;
        grow_caps(cost_cap, call.mem_cap, growth, mem_can_grow, last_sweep, settled);
    }

    const Entry<W, S>& full = tables[k].entries[0];
    return Solved{full.size, full.size, keep_tree(call, full.node), full.cost};
}

// The search compiled for any x86-64 processor.
template <int W, int S>
std::optional<Solved> search_portable(Call& call, const Component& comp) {
    return search<W, S, false>(call, comp);
}

#if defined(__x86_64__) || defined(__i386__)
// The search compiled with the population-count instruction, for processors that have it.
template <int W, int S>
[[gnu::target("popcnt")]] std::optional<Solved> search_popcnt(Call& call, const Component& comp) {
    return search<W, S, true>(call, comp);
}

// True when this processor has the population-count instruction.
bool has_popcnt() {
    static const bool present = __builtin_cpu_supports("popcnt");
    return present;
}
#else
template <int W, int S>
std::optional<Solved> search_popcnt(Call& call, const Component& comp) {
    return search<W, S, true>(call, comp);
}

bool has_popcnt() { return true; }
#endif

// Set by tests to run the build for processors without a population-count instruction.
std::atomic<bool> portable_forced{false};

// Searches with S-word subgraphs and the first of the axis widths `Ws` (ascending, the
// last one at least `words`) that holds `words` words.
template <int S, int... Ws>
std::optional<Solved> search_widths(Call& call, const Component& comp, size_t words) {
    const bool native = has_popcnt() && !portable_forced.load(std::memory_order_relaxed);
    std::optional<Solved> result;
    bool done = false;
    (void)((!done && words <= static_cast<size_t>(Ws) &&
            (result = native ? search_popcnt<Ws, S>(call, comp) : search_portable<Ws, S>(call, comp), done = true)) ||
           ...);
    return result;
}

// Searches one component with the narrowest bitmaps that hold its inputs and axes: one
// subgraph word up to 63 inputs, then powers of two; for several subgraph words, axis
// sets of one, two or four times as many words, or the widest.
std::optional<Solved> search_any(Call& call, const Component& comp) {
    const size_t k = comp.inputs.size();
    const size_t words = std::max<size_t>(1, (comp.n_axes + 63) / 64);
    constexpr int A = max_wide_axis_words;
    if (k <= 63) return words <= max_narrow_words ? search_widths<1, 1, 2, 4, 8>(call, comp, words)
                                           : search_widths<1, 16, A>(call, comp, words);
    if (k <= 2 * 64) return search_widths<2, 2, 4, 8, A>(call, comp, words);
    if (k <= 4 * 64) return search_widths<4, 4, 8, 16, A>(call, comp, words);
    if (k <= 8 * 64) return search_widths<8, 8, 16, 32, A>(call, comp, words);
    if (k <= 16 * 64) return search_widths<16, 16, 32, 64, A>(call, comp, words);
    if (k <= 32 * 64) return search_widths<32, 32, 64, A>(call, comp, words);
    static_assert(max_wide_subgraph_words == 64 && A == 128, "the widths above assume these limits");
    return search_widths<64, 64, A>(call, comp, words);
}

// Solves a one-input component: the input itself, keeping all of its axes.
Solved single(Call& call, const Component& comp) {
    Solved solved{1, 1, 0};
    for (size_t a = 0; a < comp.n_axes; ++a) {
        solved.size = mul_saturating(solved.size, comp.sizes[a]);
        if (comp.in_output[a]) solved.output_size = mul_saturating(solved.output_size, comp.sizes[a]);
    }
    solved.root = push_node(call.tree, {Node::leaf, comp.inputs[0]});
    return solved;
}

// A greedy tree for a connected component, as a bound for the search on large components:
// again and again it contracts the pair of operands sharing an axis whose result grows the
// least (result size less both operand sizes; the pair of lowest operand numbers on ties).
// Nothing when an intermediate would not fit under the call's `mem_cap`.
std::optional<Solved> greedy(Call& call, const Component& comp) {
    struct Operand {
        std::vector<uint32_t> axes;  // ascending local axes
        double size;
        uint32_t node;
        bool live;
    };
    std::vector<Operand> ops;
    std::vector<uint32_t> holders(comp.n_axes, 0);            // live operands holding each axis
    std::vector<std::vector<uint32_t>> holding(comp.n_axes);  // operands that held each axis, live or not
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
    // Queues operand i with every live operand sharing an axis with it.
    auto offer = [&](uint32_t i) {
        for (uint32_t x : ops[i].axes) {
            for (uint32_t j : holding[x]) {
                if (j == i || !ops[j].live) continue;
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
        if (call.fixed_mem_cap && kept_size >= call.mem_cap) return std::nullopt;
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

// The component as a network for the tree search: its local axes, their sizes and output marks.
trees::Network network_of(const Component& comp) {
    trees::Network network;
    network.inputs.resize(comp.inputs.size());
    for (size_t j = 0; j < comp.inputs.size(); ++j) {
        network.inputs[j].assign(comp.axes.begin() + comp.axis_start[j], comp.axes.begin() + comp.axis_start[j + 1]);
        std::sort(network.inputs[j].begin(), network.inputs[j].end());
    }
    network.sizes = comp.sizes;
    network.output = comp.in_output;
    return network;
}

// The steps of the tree under `root` of the call's tree, numbered over the component's inputs
// (numbers below k are its inputs, step t makes k + t), in post-order.
trees::Steps local_steps(const Call& call, const Component& comp, uint32_t root) {
    // Numbered past every input number, the steps tell apart from the inputs' own numbers.
    constexpr uint64_t first_step = uint64_t{1} << 32;
    const uint32_t k = static_cast<uint32_t>(comp.inputs.size());
    const auto local = [&](uint64_t number) {
        if (number >= first_step) return k + static_cast<uint32_t>(number - first_step);
        return static_cast<uint32_t>(std::lower_bound(comp.inputs.begin(), comp.inputs.end(), number) -
                                     comp.inputs.begin());
    };
    trees::Steps steps;
    for (const auto& [a, b] : detail::number_tree(call.tree, root, first_step)) steps.push_back({local(a), local(b)});
    return steps;
}

// Adds a tree of the search of src/trees over the component's inputs to the call's tree.
Solved adopt(Call& call, const Component& comp, const trees::Tree& tree) {
    const uint32_t k = static_cast<uint32_t>(comp.inputs.size());
    std::vector<uint32_t> node_of;
    node_of.reserve(2 * k);
    for (uint32_t j = 0; j < k; ++j) node_of.push_back(push_node(call.tree, {Node::leaf, comp.inputs[j]}));
    for (const auto& [a, b] : trees::steps_of(tree)) node_of.push_back(push_node(call.tree, {node_of[a], node_of[b]}));
    uint64_t size = 1;
    for (trees::Axis axis : tree.nodes[tree.root].axes) size = mul_saturating(size, comp.sizes[axis]);
    return Solved{size, size, node_of.back(), saturated(tree.cost())};
}

// True when an intermediate of `tree` (its result included) is too large for a fixed mem_cap.
bool breaks_mem_cap(const Call& call, const trees::Tree& tree) {
    if (!call.options.caps.fixed_mem_cap) return false;
    for (uint32_t i = tree.inputs; i < tree.nodes.size(); ++i)
        if (tree.nodes[i].size >= static_cast<double>(call.mem_cap)) return true;
    return false;
}

// The tables' order of a part of a tree-search tree (the caller's hash_map_cap; the greedy order
// once exact_order_work units of work are spent), as steps over the part's inputs; nothing when
// the tree search halts or the part is beyond the tables' reach.
std::optional<trees::Steps> exact_order(void* context, const trees::Network& network, const std::atomic<bool>& halt) {
    const Call& call = *static_cast<const Call*>(context);
    std::vector<std::vector<uint64_t>> inputs;
    for (const trees::Axes& axes : network.inputs) inputs.emplace_back(axes.begin(), axes.end());
    std::vector<uint64_t> output;
    for (size_t axis = 0; axis < network.output.size(); ++axis)
        if (network.output[axis]) output.push_back(axis);
    Options options;
    options.caps.hash_map_cap = call.options.caps.hash_map_cap;
    options.strategy.wide = true;
    options.strategy.greedy_bound = true;
    options.strategy.work_limit = exact_order_work;
    options.strategy.deadline = call.options.strategy.deadline;
    options.interrupt = {[](void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); },
                         const_cast<std::atomic<bool>*>(&halt)};
    std::optional<Path> path;
    try {
        path = find_path(inputs, output, network.sizes, options);
    } catch (const util::Interrupted&) {
        return std::nullopt;
    } catch (const util::InvalidValue&) {
        return std::nullopt;  // too many axes for the tables: the part keeps the trials' order
    }
    if (!path) return std::nullopt;
    const auto n = static_cast<uint32_t>(inputs.size());
    std::vector<uint32_t> nodes(n);
    for (uint32_t i = 0; i < n; ++i) nodes[i] = i;
    trees::Steps steps;
    for (const Step& step : *path) {
        if (step.size() != 2) return std::nullopt;  // a lone input: no pair to order
        const uint32_t a = nodes[step[0]], b = nodes[step[1]];
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(std::max(step[0], step[1])));
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(std::min(step[0], step[1])));
        nodes.push_back(n + static_cast<uint32_t>(steps.size()));
        steps.push_back({a, b});
    }
    return steps;
}

// The anytime tree search's tree for a component, or nothing when it breaks a fixed mem_cap.
std::optional<Solved> anytime(Call& call, const Component& comp) {
    const Strategy& strategy = call.options.strategy;
    trees::Settings settings;
    settings.seed = strategy.seed;
    settings.threads = strategy.threads;
    settings.deadline = strategy.deadline;
    settings.interrupt = call.options.interrupt;
    settings.progress = strategy.progress.report;
    settings.progress_context = strategy.progress.context;
    settings.objective = strategy.objective;
    settings.exact = &exact_order;
    settings.exact_context = &call;
    if (strategy.quick) {
        settings.refine_trees = quick_refine_trees;
        settings.sweeps = quick_sweeps;
        settings.rebuild = false;
    }
    // Beyond a thousand tensors a trial and a refinement take long enough that fewer of each
    // keep a call within seconds.
    const size_t k = comp.inputs.size();
    if (k > large_component) {
        const unsigned scale = static_cast<unsigned>(std::min<size_t>(k / large_component, 8));
        settings.trials = std::max(settings.round, settings.trials / scale);
        settings.partition_trials = std::max(settings.round, settings.partition_trials / scale);
        settings.refine_trees = std::max(2u, settings.refine_trees / scale);
    }
    const trees::Tree tree = trees::search(network_of(comp), settings);
    if (breaks_mem_cap(call, tree)) return std::nullopt;
    return adopt(call, comp, tree);
}

// `solved` improved by the exact windows of src/trees, when they find a better tree under the
// call's objective that a fixed mem_cap allows.
Solved refined(Call& call, const Component& comp, const Solved& solved) {
    const trees::Network network = trees::checked(network_of(comp));
    trees::Tree tree = trees::tree_from_steps(network, local_steps(call, comp, solved.root));
    const Objective& objective = call.options.strategy.objective;
    const trees::Score before = trees::score(tree, objective);
    trees::RefineSettings settings;
    settings.objective = objective;
    trees::refine(network, tree, settings);
    if (!(trees::score(tree, objective) < before) || breaks_mem_cap(call, tree)) return solved;
    return adopt(call, comp, tree);
}

// The score of a solved component's tree under the call's objective, replayed in doubles.
trees::Score score_of(const Call& call, const Component& comp, const Solved& solved) {
    const trees::Network network = trees::checked(network_of(comp));
    return trees::score(trees::tree_from_steps(network, local_steps(call, comp, solved.root)),
                        call.options.strategy.objective);
}

// True when tree `a` is better than tree `b` under the call's objective: flops exactly while
// neither cost saturated, else (and any other measure) by a replay in doubles.
bool cheaper(const Call& call, const Solved& a, const Solved& b, const Component& comp) {
    if (call.options.strategy.objective.measure != Measure::flops) return score_of(call, comp, a) < score_of(call, comp, b);
    if (a.cost != max_u64 && b.cost != max_u64) return a.cost < b.cost;
    const trees::Network network = trees::checked(network_of(comp));
    const auto flops = [&](const Solved& s) {
        return trees::tree_from_steps(network, local_steps(call, comp, s.root)).cost();
    };
    return flops(a) < flops(b);
}

// For "size": the tree of fewest flops among those whose intermediates are no larger than
// `solved`'s largest, by a flops search of the tables under that memory cap, or `solved` when
// that search finds none better (or runs out of work).
Solved fewest_flops_within(Call& call, const Component& comp, const Solved& solved) {
    const trees::Score score = score_of(call, comp, solved);
    const uint64_t largest = saturated(score.measure);
    if (largest == max_u64) return solved;
    const auto kept = std::tuple(call.measure, call.mem_cap, call.fixed_mem_cap, call.enough);
    call.measure = Measure::flops;
    call.mem_cap = std::min(call.mem_cap, largest + 1);
    call.fixed_mem_cap = true;
    // No tree under the cap costs fewer flops once a sweep above `solved`'s flops fails.
    call.enough = saturated(score.flops);
    std::optional<Solved> within;
    try {
        within = search_any(call, comp);
    } catch (const WorkSpent&) {
        within.reset();
    } catch (...) {
        std::tie(call.measure, call.mem_cap, call.fixed_mem_cap, call.enough) = kept;
        throw;
    }
    std::tie(call.measure, call.mem_cap, call.fixed_mem_cap, call.enough) = kept;
    return within && cheaper(call, *within, solved, comp) ? *within : solved;
}

// Finds the root of `i` in the union-find forest, halving paths on the way.
uint32_t find_root(std::vector<uint32_t>& parent, uint32_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

// Groups inputs that share axis ids, transitively; components come in ascending order of
// their smallest input, and each one's axes are renumbered densely.
std::vector<Component> split(const std::vector<std::vector<uint64_t>>& input_ints,
                             const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes) {
    const size_t n = input_ints.size();
    if (n >= UINT32_MAX) throw std::bad_alloc();

    std::vector<uint64_t> ids;
    for (const auto& list : input_ints) ids.insert(ids.end(), list.begin(), list.end());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    auto dense = [&](uint64_t id) { return static_cast<size_t>(std::lower_bound(ids.begin(), ids.end(), id) - ids.begin()); };

    std::vector<uint8_t> in_output(ids.size(), 0);
    for (uint64_t id : output_ints) {
        const auto it = std::lower_bound(ids.begin(), ids.end(), id);
        if (it != ids.end() && *it == id) in_output[it - ids.begin()] = 1;
    }

    // Per input its distinct dense axes, in first-use order; then union-find over inputs.
    std::vector<uint32_t> dense_start(n + 1, 0);
    std::vector<uint32_t> dense_axes;
    dense_axes.reserve(ids.size() * 2);
    std::vector<uint32_t> first_user(ids.size(), UINT32_MAX);
    std::vector<uint32_t> parent(n);
    for (uint32_t i = 0; i < n; ++i) parent[i] = i;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint64_t id : input_ints[i]) {
            const size_t d = dense(id);
            if (first_user[d] == i) continue;
            dense_axes.push_back(static_cast<uint32_t>(d));
            if (first_user[d] != UINT32_MAX) {
                const uint32_t a = find_root(parent, first_user[d]), b = find_root(parent, i);
                if (a != b) parent[std::max(a, b)] = std::min(a, b);
            }
            first_user[d] = i;  // later repeats within input i are now recognised
        }
        dense_start[i + 1] = static_cast<uint32_t>(dense_axes.size());
    }

    std::vector<Component> comps;
    std::vector<uint32_t> comp_of(n, UINT32_MAX);
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t r = find_root(parent, i);
        if (comp_of[r] == UINT32_MAX) {
            comp_of[r] = static_cast<uint32_t>(comps.size());
            comps.emplace_back();
        }
        comps[comp_of[r]].inputs.push_back(i);
    }

    std::vector<uint32_t>& local = first_user;  // reused: dense axis -> local axis
    std::fill(local.begin(), local.end(), UINT32_MAX);
    for (Component& comp : comps) {
        comp.axis_start.reserve(comp.inputs.size() + 1);
        comp.axis_start.push_back(0);
        for (uint32_t i : comp.inputs) {
            for (uint32_t p = dense_start[i]; p < dense_start[i + 1]; ++p) {
                const uint32_t d = dense_axes[p];
                if (local[d] == UINT32_MAX) {
                    local[d] = static_cast<uint32_t>(comp.sizes.size());
                    comp.sizes.push_back(ids[d] < int_sizes.size() ? int_sizes[ids[d]] : 1);
                    comp.in_output.push_back(in_output[d]);
                }
                comp.axes.push_back(local[d]);
            }
            comp.axis_start.push_back(static_cast<uint32_t>(comp.axes.size()));
        }
        comp.n_axes = comp.sizes.size();
    }
    return comps;
}

// Refuses a component of k >= 2 inputs over `n_axes` axes that the caps or the compiled widths
// cannot take.
void check_component(size_t k, size_t n_axes, const Options& options) {
    if (options.caps.hash_map_cap == 0) throw util::InvalidValue(detail::zero_cap);
    if (!options.strategy.wide && k < 64 && n_axes > size_t{max_narrow_words} * 64)
        throw util::InvalidValue("optimize_dp handles at most " + std::to_string(max_narrow_words * 64) +
                                 " distinct axes in one connected group of inputs, got " + std::to_string(n_axes));
    if (options.strategy.wide && (k > max_wide_subgraph_words * 64 || n_axes > max_wide_axis_words * 64))
        throw util::InvalidValue("the search handles at most " + std::to_string(max_wide_subgraph_words * 64) +
                                 " inputs and " + std::to_string(max_wide_axis_words * 64) +
                                 " distinct axes in one connected group of inputs, got " + std::to_string(k) +
                                 " inputs and " + std::to_string(n_axes) + " axes");
}

// Joins the solved components by outer products, the two smallest first; returns the root.
uint32_t join_smallest_first(Call& call, const std::vector<Solved>& solved) {
    std::vector<std::array<uint64_t, 2>> sizes;
    std::vector<uint32_t> items;
    for (const Solved& s : solved) {
        sizes.push_back({s.size, s.output_size});
        items.push_back(s.root);
    }
    for (const auto& [a, b] : detail::combine_order(sizes)) items.push_back(push_node(call.tree, {items[a], items[b]}));
    return items.back();
}

// The order in which to join component results of these sizes (see detail::cheapest_join),
// and what it costs without saturation.
std::pair<Numbered, double> join_order(const std::vector<std::array<uint64_t, 2>>& sizes) {
    Numbered steps = sizes.size() <= detail::max_exact_join ? detail::cheapest_join(sizes) : detail::combine_order(sizes);
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

// Joins the solved components at the least cost found; returns the root. Results that keep no
// axis (scalars, and components whose axes are all summed) may instead be joined among
// themselves and then with the smallest operand of another component's tree, where they add
// to no later step: that is what a greedy path does with a scalar.
uint32_t join_cheaply(Call& call, const std::vector<Component>& comps, const std::vector<Solved>& solved) {
    std::vector<std::array<uint64_t, 2>> sizes;
    std::vector<uint32_t> items, scalars, others;
    for (size_t c = 0; c < solved.size(); ++c) {
        sizes.push_back({solved[c].size, solved[c].output_size});
        items.push_back(solved[c].root);
        (solved[c].output_size == 1 ? scalars : others).push_back(static_cast<uint32_t>(c));
    }
    auto [order, cost] = join_order(sizes);
    // Attaching scalars inside a tree is priced in flops alone: other measures join them in order.
    if (scalars.empty() || others.empty() || call.options.strategy.objective.measure != Measure::flops)
        return add_joins(call, items, order);

    // The operand of the other components' trees where the scalars, joined, cost least: the
    // product of both sizes, less what contracting the operand first saves its parent's step
    // when it is an input with axes that no other input holds and the output drops.
    const double joined = scalars.size() == 1 ? static_cast<double>(sizes[scalars[0]][0]) : 1;
    double best = std::numeric_limits<double>::infinity(), smallest = 0, saving = 0;
    uint32_t at = 0, at_comp = 0;
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
            if (joined * size - saved < best) best = joined * size - saved, smallest = size, saving = saved, at = node, at_comp = c;
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
    std::vector<std::array<uint64_t, 2>> scalar_sizes, other_sizes;
    std::vector<uint32_t> scalar_items, other_items;
    for (uint32_t c : scalars) {
        scalar_sizes.push_back(sizes[c]);
        scalar_items.push_back(items[c]);
    }
    // A leaf operand joined with a scalar is contracted: its summed axes go.
    const bool at_leaf = call.tree[at].left == Node::leaf;
    for (uint32_t c : others) {
        other_sizes.push_back(c == at_comp && at_leaf ? std::array<uint64_t, 2>{sizes[c][1], sizes[c][1]} : sizes[c]);
        other_items.push_back(items[c]);
    }
    const auto [scalar_order, scalar_cost] = join_order(scalar_sizes);
    const auto [other_order, other_cost] = join_order(other_sizes);
    if (!(scalar_cost + joined * smallest - saving + other_cost < cost)) return add_joins(call, items, order);

    const uint32_t scalar = add_joins(call, scalar_items, scalar_order);
    const uint32_t attached = push_node(call.tree, {at, scalar});
    const size_t other_at = static_cast<size_t>(std::find(others.begin(), others.end(), at_comp) - others.begin());
    if (other_items[other_at] == at) {
        other_items[other_at] = attached;
    } else {
        // The parent of `at`, found by a walk of its component's tree (leaves hold input numbers).
        std::vector<uint32_t> stack{other_items[other_at]};
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
    return add_joins(call, other_items, other_order);
}

}  // namespace

namespace detail {

void force_portable(bool on) { portable_forced.store(on, std::memory_order_relaxed); }

Numbered combine_order(const std::vector<std::array<uint64_t, 2>>& sizes) {
    struct Item {
        uint64_t size;
        uint64_t output_size;
        uint64_t number;
    };
    // Sorting the list stably by descending size and taking its last two, again and again,
    // takes the smallest size first and, among equal sizes, the item that entered the list
    // last: a stable sort keeps equal items in list order, and merged results are appended.
    // A heap ordered by (size ascending, entry number descending) gives the same sequence.
    auto later = [](const Item& a, const Item& b) { return joined_before(b.size, b.number, a.size, a.number); };
    std::priority_queue<Item, std::vector<Item>, decltype(later)> queue(later);
    for (uint64_t i = 0; i < sizes.size(); ++i) queue.push({sizes[i][0], sizes[i][1], i});
    Numbered steps;
    uint64_t next = sizes.size();
    while (queue.size() > 1) {
        const Item a = queue.top();
        queue.pop();
        const Item b = queue.top();
        queue.pop();
        steps.push_back({a.number, b.number});
        const uint64_t merged = mul_saturating(a.output_size, b.output_size);
        queue.push({merged, merged, next++});
    }
    return steps;
}

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

Numbered number_tree(const std::vector<Node>& nodes, uint32_t root, uint64_t n_inputs) {
    Numbered numbered;
    std::vector<std::pair<uint32_t, bool>> stack{{root, false}};
    std::vector<uint64_t> values;
    while (!stack.empty()) {
        const auto [index, expanded] = stack.back();
        stack.pop_back();
        const Node node = nodes[index];
        if (node.left == Node::leaf) {
            values.push_back(node.right);
        } else if (!expanded) {
            stack.push_back({index, true});
            stack.push_back({node.right, false});
            stack.push_back({node.left, false});
        } else {
            const uint64_t right = values.back();
            values.pop_back();
            const uint64_t left = values.back();
            values.pop_back();
            numbered.push_back({left, right});
            values.push_back(n_inputs + numbered.size() - 1);
        }
    }
    return numbered;
}

Path path_from_numbered(const Numbered& numbered, uint64_t n_inputs) {
    // A Fenwick tree counts the numbers already consumed at or below each index: an
    // operand's position is its number less that count.
    const size_t total = n_inputs + numbered.size() + 1;
    std::vector<uint64_t> fenwick(total + 1, 0);
    auto consumed_upto = [&](uint64_t x) {
        uint64_t count = 0;
        for (size_t i = x + 1; i > 0; i -= i & (~i + 1)) count += fenwick[i];
        return count;
    };
    auto consume = [&](uint64_t x) {
        for (size_t i = x + 1; i <= total; i += i & (~i + 1)) fenwick[i] += 1;
    };
    Path path;
    path.reserve(numbered.size());
    for (const auto& [x, y] : numbered) {
        path.push_back({x - consumed_upto(x), y - consumed_upto(y)});
        consume(x);
        consume(y);
    }
    return path;
}

}  // namespace detail

std::optional<Path> find_path(const std::vector<std::vector<uint64_t>>& input_ints,
                              const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes,
                              const Options& options) {
    const size_t n = input_ints.size();
    if (n == 1) return Path{Step(0)};
    if (n == 0) util::panic_index(0, 0);

    // Two inputs sharing an axis: table 1 holds input 0 then input 1, the one merge puts input 0
    // on the left, and when no cap admits it the fallback names the same pair; so the answer
    // needs no search. (A fixed mem_cap must still see the merge refused, so it searches.)
    if (n == 2 && !options.caps.fixed_mem_cap) {
        const auto& a = input_ints[0];
        const auto& b = input_ints[1];
        const bool shared = std::any_of(a.begin(), a.end(), [&](uint64_t x) { return std::find(b.begin(), b.end(), x) != b.end(); });
        if (shared) {
            // Short lists cannot exceed any axis limit; long ones are counted.
            size_t n_axes = a.size() + b.size();
            if (n_axes > size_t{max_narrow_words} * 64) {
                std::vector<uint64_t> ids(a);
                ids.insert(ids.end(), b.begin(), b.end());
                std::sort(ids.begin(), ids.end());
                n_axes = static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
            }
            check_component(2, n_axes, options);
            return Path{{0, 1}};
        }
    }

    // The small-call search has no greedy bound; below a cap at which its tables hold every
    // subgraph, a strategy with one takes the general search.
    std::optional<Path> small;
    const Measure measure = options.strategy.objective.measure;
    if (measure == Measure::flops && (!options.strategy.greedy_bound || options.caps.hash_map_cap >= small_table_room) &&
        find_small(input_ints, output_ints, int_sizes, options, small) && (small || !options.strategy.greedy_bound))
        return small;

    const std::vector<Component> comps = split(input_ints, output_ints, int_sizes);
    for (const Component& comp : comps) {
        if (comp.inputs.size() >= 2 && options.caps.hash_map_cap == 0) throw util::InvalidValue(detail::zero_cap);
    }
    // The tree search takes components of any size.
    for (const Component& comp : comps) {
        const size_t k = comp.inputs.size();
        if (k >= 2 && !(options.strategy.greedy_bound && k >= options.strategy.anytime_from))
            check_component(k, comp.n_axes, options);
    }

    Call call{options, Pulse(options.interrupt), options.caps.mem_cap, {}, {}};
    call.measure = measure;
    call.fixed_mem_cap = options.caps.fixed_mem_cap;
    call.tree.reserve(2 * n);
    std::vector<Solved> solved;
    solved.reserve(comps.size());
    for (const Component& comp : comps) {
        const size_t k = comp.inputs.size();
        if (k == 1) {
            solved.push_back(single(call, comp));
            continue;
        }
        if (k > 63 && !options.strategy.wide) throw util::Panic("store bitmaps as usize, so can only have 64 per subgraph");
        if (k <= 63 && !options.strategy.greedy_bound) {
            const std::optional<Solved> result = search_any(call, comp);
            if (!result) return std::nullopt;
            solved.push_back(*result);
            continue;
        }
        if (options.strategy.greedy_bound && k >= options.strategy.anytime_from) {
            if (const std::optional<Solved> tree = anytime(call, comp)) {
                solved.push_back(*tree);
                continue;
            }
            // Under a fixed mem_cap the greedy tree and the tables, where they reach, try too.
            if (k > max_wide_subgraph_words * 64 || comp.n_axes > max_wide_axis_words * 64) {
                const std::optional<Solved> bound = greedy(call, comp);
                if (!bound) return std::nullopt;
                solved.push_back(*bound);
                continue;
            }
        }
        // The cheaper of a greedy tree and the search's. A component beyond the narrow search's
        // reach stops its search once the cost cap passes the greedy cost; with a greedy bound a
        // search that cannot complete, or runs out of work, is answered by the greedy tree.
        const std::optional<Solved> bound = greedy(call, comp);
        const uint32_t bound_root = bound ? bound->root : Node::leaf;
        const bool exhaustive = options.caps.hash_map_cap == max_u64;
        std::optional<Solved> result;
        call.enough = k <= 63 || !bound              ? max_u64
                      : measure == Measure::flops ? bound->cost
                                                  : saturated(score_of(call, comp, *bound).measure);
        call.pulse.limit_work(options.strategy.work_limit, options.strategy.deadline);
        try {
            result = search_any(call, comp);
        } catch (const WorkSpent&) {
            result.reset();
        }
        call.enough = max_u64;
        if (!result || (bound && cheaper(call, *bound, *result, comp))) result = bound;
        if (result && measure == Measure::size) result = fewest_flops_within(call, comp, *result);
        call.pulse.limit_work(max_u64, std::nullopt);
        if (!result) return std::nullopt;
        // Windows cannot improve what the exhaustive tables found (nor a search of three inputs).
        if (options.strategy.refine && k > 3 && !(exhaustive && result->root != bound_root))
            result = refined(call, comp, *result);
        solved.push_back(*result);
    }

    const uint32_t root = options.strategy.greedy_bound ? join_cheaply(call, comps, solved) : join_smallest_first(call, solved);
    return detail::path_from_numbered(detail::number_tree(call.tree, root, n), n);
}

Path optimize_dp(const std::vector<std::vector<uint64_t>>& input_ints, const std::vector<uint64_t>& output_ints,
                 const std::vector<uint64_t>& int_sizes, const Options& options) {
    if (std::optional<Path> path = find_path(input_ints, output_ints, int_sizes, options)) return std::move(*path);
    return Path(input_ints.size() - 1, Step{0, 1});
}

}  // namespace plenexa::optimiser
