// The tables: the bounded dynamic-programming search of one connected component.
//
// Overview. One component of k inputs is solved by dynamic programming over its subsets, as
// opt_einsum's DynamicProgramming does it:
//
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
//   multiplied by the call's growth (4, as opt_einsum raises its cost cap; the driver
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
// Components of 64 or more inputs take wide bitmaps (several subgraph words, see `solve`). A
// caller may end a search early: a sweep above `Call::enough` that fails ends it (the driver
// sets a greedy tree's cost there), and so do the work limit and deadline of Pulse::limit_work.
//
// Objectives. The costs above are flops; a caller may minimise another measure (Objective):
// the tables then hold that measure's cost, the cap schedule is the same, and every merge is
// priced in full by `Sweep::measured`, since floors and shared-axis counts bound flops only
// (combo, which costs at least the flops, keeps the floors). "write" adds the size of each
// result, "combo" flops plus factor x write, "size" keeps the largest result.
// In the code: `sweep_tables` is one sweep, `grow_caps` the caps' schedule, `Sweep::partners`
// the scan of one entry's partners and `Sweep::admit` their entry into a table.
// This is the hot kernel of the tables: `Sweep::partners`, `price`, `admit` and `sweep_tables`
// stay long and forced inline into one search per width. Measured: `admit` alone out of line made
// optimize_dp of a 6 x 6 lattice (cap 500) 1-2% slower, 23.9 -> 24.2 ms with one size and
// 15.5 -> 15.7 ms with mixed sizes.
#include "optimiser/tables.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/table.hpp"

namespace plenexa::optimiser {

namespace {

// Left entries looked at between two counts of the interrupt check's work.
constexpr size_t entries_per_tick = 1024;

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
    const bool check_outer = call.caps.check_outer;
    const uint64_t hash_map_cap = call.caps.hash_map_cap;
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
    if (S == 1 && call.objective.measure != Measure::flops) {
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
    const bool mem_can_grow = !call.caps.fixed_mem_cap;
    const uint64_t growth = call.growth;
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
        if (cost_cap == max_u64 && !last_sweep && (call.caps.mem_cap == max_u64 || !mem_can_grow)) return std::nullopt;
        const Sweep<W, Native, S> sweep{sizer,        input_axes, output, shared, everything, cost_cap, call.caps.mem_cap,
                                        hash_map_cap, check_outer, uniform, call.objective,
                                        holder_masks, call.arena, user_start, users, feature_room};
        sweep_tables<W, S, Native>(call, comp, tables, sweep, by_count, settled);
        if (!tables[k].empty()) break;
        if (last_sweep || cost_cap > call.enough) return std::nullopt;
        grow_caps(cost_cap, call.caps.mem_cap, growth, mem_can_grow, last_sweep, settled);
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

}  // namespace

std::optional<Solved> solve(Call& call, const Component& comp) { return search_any(call, comp); }

namespace detail {

void force_portable(bool on) { portable_forced.store(on, std::memory_order_relaxed); }

}  // namespace detail

}  // namespace plenexa::optimiser
