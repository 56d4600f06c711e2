// The search for calls of at most eight inputs over at most 64 distinct ids.
//
// The general search spends most of such a call in malloc and free: components, tables,
// node arenas and the tree walks each get their own vectors. This one keeps everything in
// fixed arrays and takes the same steps in the same order: the same components (ascending
// smallest input), the same cost and memory caps and their growth, the same sweeps (table
// n from tables m and n - m, left entries and their partners in insertion order, equal halves
// met once), the same admission and replacement rules, and the same order of merging the
// components' results. Its paths are therefore the general search's (a native test compares
// the two on thousands of calls, and the path corpus covers both).
//
// Subgraphs are masks over all of the call's inputs, so one array indexed by mask holds the
// entries of every component; axis sets are masks over the call's distinct ids. An entry
// records the two subgraphs it was last merged from: a replacement is strictly cheaper and
// is met again by every held superset in the same sweep, so following those records from the
// full set gives the tree the general search keeps.
#include "optimiser/small.hpp"

#include <algorithm>
#include <atomic>

#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "util/failure.hpp"

namespace plenexa::optimiser {

namespace {

constexpr size_t max_masks = size_t{1} << small_max_inputs;
static_assert(2 * small_max_inputs <= 64, "one word holds the numbers of a call's operands and results");

// Most distinct ids for which a call's search looks sizes up in a table of every set of
// axes: 32 products, fewer instructions to fill than the products they save pricing pairs
// (at 64 the filling costs more than it saves on the calls of bench/calls.py).
constexpr size_t max_tabled_axes = 5;

// Most subgraphs of one size: the middle binomial coefficient of small_max_inputs.
constexpr size_t max_table = [] {
    size_t c = 1;
    for (size_t i = 0; i < small_max_inputs / 2; ++i) c = c * (small_max_inputs - i) / (i + 1);
    return c;
}();

// Set by tests to compare the general search with this one.
std::atomic<bool> general_forced{false};

// The cheapest contraction held for one subgraph.
struct Held {
    uint64_t cost;    // accumulated, saturating
    uint64_t size;    // size of `axes`, MAX on overflow
    uint64_t axes;    // the axes its result keeps
    uint16_t left;    // the subgraphs merged last (both 0 for an input); 16 bits, not 8, so that
    uint16_t right;   // stores to them cannot alias the search's other state as char stores can
};

// A component's result or a merge of two, in the order the results are joined.
struct Item {
    uint64_t size;
    uint64_t output_size;
    uint32_t number;  // position in `items`
};

// Product of the sizes of the axes in mask `axes`; false on overflow.
bool size_of_mask(uint64_t axes, const uint64_t* sizes, uint64_t& out) {
    return size_of(Bits<1>{{axes}}, sizes, out);
}

// One call's state: the inputs as axis masks, the held contractions and the path being written.
class Small {
public:
    Small(const Caps& caps, size_t n) : caps_(caps), n_(n), mem_cap_(caps.mem_cap) {}

    uint64_t input_axes[small_max_inputs] = {};
    uint64_t output = 0;   // axes the output keeps
    uint64_t sizes[64];    // filled for the call's axes only

    // Fills the table of the sizes of every set of the call's `n_axes` axes, when they are
    // few and their product fits in 64 bits (then every product does).
    void tabulate(size_t n_axes) {
        uint64_t all;
        if (n_axes > max_tabled_axes || !size_of_mask((uint64_t{1} << n_axes) - 1, sizes, all)) return;
        tabled_ = true;
        axis_set_sizes_[0] = 1;
        for (size_t a = 0; a < n_axes; ++a) {
            const uint64_t bit = uint64_t{1} << a;
            for (uint64_t axes = 0; axes < bit; ++axes) axis_set_sizes_[axes | bit] = axis_set_sizes_[axes] * sizes[a];
        }
    }

    // Solves component `inputs` (a mask of two or more inputs) and returns its result, or
    // nothing when the caps cannot grow far enough.
    std::optional<Item> search(uint64_t inputs) {
        const size_t k = static_cast<size_t>(__builtin_popcountll(inputs));
        uint64_t all = 0;
        for (uint64_t x = inputs; x != 0; x &= x - 1) {
            const size_t j = static_cast<size_t>(__builtin_ctzll(x));
            const uint64_t bit = uint64_t{1} << j;
            all |= input_axes[j];
            uint64_t size;
            if (!size_of_axes(input_axes[j], size)) size = max_u64;
            held_[bit] = {0, size, input_axes[j], 0, 0};
            mark_held(bit);
            order_[1][count_[1]++] = static_cast<uint16_t>(bit);
        }
        uint64_t cost_cap;
        if (!size_of_axes(all & output, cost_cap)) cost_cap = max_u64;
        cost_cap = std::max<uint64_t>(cost_cap, 2);

        const bool mem_can_grow = !caps_.fixed_mem_cap;
        bool last_sweep = false;
        while (true) {
            if (cost_cap == max_u64 && !last_sweep && (mem_cap_ == max_u64 || !mem_can_grow)) return std::nullopt;
            uint64_t next_cost = max_u64;
            for (size_t n = 2; n <= k; ++n) sweep(inputs, n, cost_cap, next_cost);
            if (is_held(inputs)) break;
            if (last_sweep) return std::nullopt;
            if (cost_cap <= max_u64 / default_growth) {
                // After a sweep the tables are settled at its cap: a sweep at a higher cap changes
                // them only by admitting a cost this one refused, so caps below every refused
                // cost are passed over without a sweep.
                do cost_cap *= default_growth;
                while (cost_cap <= next_cost && cost_cap <= max_u64 / default_growth);
            } else if (mem_can_grow && mem_cap_ != max_u64)
                mem_cap_ = mem_cap_ == 0 ? 1 : mul_saturating(mem_cap_, 2);
            else {
                cost_cap = max_u64;
                last_sweep = true;
            }
        }
        std::fill(count_ + 1, count_ + k + 1, 0);
        return Item{held_[inputs].size, held_[inputs].size, 0};
    }

    // Writes the steps of the tree under subgraph `mask` into `path`; returns its result's number.
    uint32_t emit(uint64_t mask, Path& path) {
        if ((mask & (mask - 1)) == 0) return static_cast<uint32_t>(__builtin_ctzll(mask));
        const Held& h = held_[mask];
        const uint32_t left = emit(h.left, path);
        const uint32_t right = emit(h.right, path);
        return step(left, right, path);
    }

    // Writes the step contracting operands numbered `x` and `y` (positions in the shrinking
    // list, as the general search's numbering gives them); returns the result's number.
    uint32_t step(uint32_t x, uint32_t y, Path& path) {
        // A result is numbered after every operand before it and joins the list's end, so the
        // list stays in ascending order of number: an operand's position is the count of
        // live numbers below its own.
        const auto at = [&](uint32_t number) {
            return static_cast<uint64_t>(__builtin_popcountll(live_ & ((uint64_t{1} << number) - 1)));
        };
        path.push_back({at(x), at(y)});
        live_ = (live_ & ~(uint64_t{1} << x) & ~(uint64_t{1} << y)) | uint64_t{1} << next_;
        return next_++;
    }

    // Makes the operand list 0 .. n - 1, before the first step.
    void start_list() {
        live_ = (uint64_t{1} << n_) - 1;
        next_ = static_cast<uint32_t>(n_);
    }

private:
    // Product of the sizes of the axes in mask `axes`; false on overflow.
    bool size_of_axes(uint64_t axes, uint64_t& out) const {
        if (!tabled_) return size_of_mask(axes, sizes, out);
        out = axis_set_sizes_[axes];
        return true;
    }

    bool is_held(uint64_t mask) const { return (held_bits_[mask / 64] >> (mask % 64)) & 1; }
    void mark_held(uint64_t mask) { held_bits_[mask / 64] |= uint64_t{1} << (mask % 64); }

    // Fills table n of component `inputs` from tables m and n - m, as the general sweep does.
    // Lowers `next_cost` to the cost of any pair refused only for its cost.
    void sweep(uint64_t inputs, size_t n, uint64_t cost_cap, uint64_t& next_cost) {
        // The caps and the table's fill live in locals: stores into the tables then cannot make
        // the compiler reload them for every pair.
        const bool check_outer = caps_.check_outer;
        const uint64_t table_cap = caps_.hash_map_cap, mem_cap = mem_cap_;
        size_t count = count_[n];
        for (size_t m = 1; m <= n / 2; ++m) {
            const size_t n_left = count_[m], n_right = count_[n - m];
            if (n_right == 0) continue;
            const uint16_t* left = order_[m];
            const uint16_t* right = order_[n - m];
            for (size_t i = 0; i < n_left; ++i) {
                const uint16_t a = left[i];
                // A's entry is never written in this sweep (a merge holds more inputs than A).
                const uint64_t a_axes = held_[a].axes, a_cost = held_[a].cost;
                for (size_t j = (m == n - m) ? i + 1 : 0; j < n_right; ++j) {
                    const uint16_t b = right[j];
                    const Held& hb = held_[b];
                    if ((a & b) != 0 || (!check_outer && (a_axes & hb.axes) == 0)) continue;
                    uint64_t pair_size;
                    if (!size_of_axes(a_axes | hb.axes, pair_size)) continue;
                    const uint64_t cost = add_saturating(add_saturating(a_cost, hb.cost), pair_size);
                    if (cost >= cost_cap) {
                        next_cost = std::min(next_cost, cost);
                        continue;
                    }
                    const uint16_t s = a | b;
                    if (is_held(s)) {
                        if (cost < held_[s].cost) held_[s] = {cost, held_[s].size, held_[s].axes, a, b};
                        continue;
                    }
                    if (count >= table_cap) continue;
                    uint64_t needed = output;
                    for (uint64_t x = inputs & ~uint64_t{s}; x != 0; x &= x - 1) needed |= input_axes[__builtin_ctzll(x)];
                    const uint64_t kept = (a_axes | hb.axes) & needed;
                    uint64_t kept_size;
                    if (!size_of_axes(kept, kept_size) || kept_size >= mem_cap) continue;
                    held_[s] = {cost, kept_size, kept, a, b};
                    mark_held(s);
                    order_[n][count++] = s;
                }
            }
        }
        count_[n] = count;
    }

    const Caps& caps_;
    size_t n_;
    uint64_t mem_cap_;  // grows during one component's search and stays grown for the next
    bool tabled_ = false;  // `axis_set_sizes_` holds the sizes of every set of the call's axes
    uint64_t axis_set_sizes_[size_t{1} << max_tabled_axes];
    Held held_[max_masks];
    uint64_t held_bits_[max_masks / 64] = {};  // the subgraphs `held_` holds
    uint16_t order_[small_max_inputs + 1][max_table];  // per size, held subgraphs in insertion order
    size_t count_[small_max_inputs + 1] = {};
    uint64_t live_ = 0;  // bit v: operand number v is in the shrinking list
    uint32_t next_ = 0;
};

// Merges items `items[0 .. n)` two at a time as the general search joins components, appending
// each merge; `pair[t]` receives the two items of merge t, the first taken first.
size_t join_order(Item* items, size_t n, uint32_t (*pair)[2]) {
    bool used[2 * small_max_inputs] = {};
    size_t steps = 0;
    // The unused item merged first: the smallest, the later of equal sizes.
    const auto take = [&](size_t total) {
        size_t best = total;
        for (size_t i = 0; i < total; ++i)
            if (!used[i] && (best == total || detail::joined_before(items[i].size, i, items[best].size, best))) best = i;
        used[best] = true;
        return best;
    };
    for (size_t total = n; steps + 1 < n; ++total) {
        const size_t a = take(total), b = take(total);
        const uint64_t merged = mul_saturating(items[a].output_size, items[b].output_size);
        items[total] = {merged, merged, static_cast<uint32_t>(total)};
        pair[steps][0] = static_cast<uint32_t>(a);
        pair[steps][1] = static_cast<uint32_t>(b);
        ++steps;
    }
    return steps;
}

}  // namespace

namespace detail {

void force_general(bool on) { general_forced.store(on, std::memory_order_relaxed); }

}  // namespace detail

bool find_small(const std::vector<std::vector<uint64_t>>& input_ints, const std::vector<uint64_t>& output_ints,
                const std::vector<uint64_t>& int_sizes, const Caps& caps, bool connected_only,
                std::optional<Path>& result) {
    const size_t n = input_ints.size();
    if (n < 2 || n > small_max_inputs || general_forced.load(std::memory_order_relaxed)) return false;

    // Distinct ids become axes 0, 1, ... in order of first use; more than 64 leave the call to
    // the general search.
    uint64_t ids[64];
    size_t n_ids = 0;
    Small small(caps, n);
    for (size_t i = 0; i < n; ++i) {
        for (uint64_t id : input_ints[i]) {
            size_t a = static_cast<size_t>(std::find(ids, ids + n_ids, id) - ids);
            if (a == n_ids) {
                if (n_ids == 64) return false;
                ids[n_ids] = id;
                small.sizes[n_ids++] = id < int_sizes.size() ? int_sizes[id] : 1;
            }
            small.input_axes[i] |= uint64_t{1} << a;
        }
    }
    for (uint64_t id : output_ints) {
        const size_t a = static_cast<size_t>(std::find(ids, ids + n_ids, id) - ids);
        if (a < n_ids) small.output |= uint64_t{1} << a;
    }
    small.tabulate(n_ids);

    // Components in ascending order of their smallest input.
    uint64_t comps[small_max_inputs];
    size_t n_comps = 0;
    uint64_t placed = 0;
    for (size_t i = 0; i < n; ++i) {
        if ((placed >> i) & 1) continue;
        uint64_t members = uint64_t{1} << i, axes = small.input_axes[i];
        for (bool grew = true; grew;) {
            grew = false;
            for (size_t j = i + 1; j < n; ++j) {
                if (((members >> j) & 1) == 0 && (small.input_axes[j] & axes) != 0) {
                    members |= uint64_t{1} << j;
                    axes |= small.input_axes[j];
                    grew = true;
                }
            }
        }
        placed |= members;
        comps[n_comps++] = members;
    }
    // A caller that joins components its own way leaves calls of several to the general search.
    if (n_comps > 1 && connected_only) return false;
    for (size_t c = 0; c < n_comps; ++c)
        if ((comps[c] & (comps[c] - 1)) != 0 && caps.hash_map_cap == 0) throw util::InvalidValue(detail::zero_cap);

    Item items[2 * small_max_inputs];
    for (size_t c = 0; c < n_comps; ++c) {
        const uint64_t members = comps[c];
        if ((members & (members - 1)) == 0) {
            // One input: itself, keeping all of its axes.
            Item item{1, 1, static_cast<uint32_t>(c)};
            for (uint64_t x = small.input_axes[__builtin_ctzll(members)]; x != 0; x &= x - 1) {
                const uint64_t size = small.sizes[__builtin_ctzll(x)];
                item.size = mul_saturating(item.size, size);
                if ((small.output & x & -x) != 0) item.output_size = mul_saturating(item.output_size, size);
            }
            items[c] = item;
            continue;
        }
        const std::optional<Item> solved = small.search(members);
        if (!solved) {
            result.reset();
            return true;
        }
        items[c] = {solved->size, solved->output_size, static_cast<uint32_t>(c)};
    }

    uint32_t pairs[2 * small_max_inputs][2];
    const size_t n_joins = join_order(items, n_comps, pairs);
    Path path;
    path.reserve(n - 1);
    small.start_list();
    // The tree is walked as the general search numbers it: post-order, left before right.
    const auto walk = [&](auto& self, uint32_t item) -> uint32_t {
        if (item < n_comps) return small.emit(comps[item], path);
        const uint32_t left = self(self, pairs[item - n_comps][0]);
        const uint32_t right = self(self, pairs[item - n_comps][1]);
        return small.step(left, right, path);
    };
    walk(walk, static_cast<uint32_t>(n_comps + n_joins - 1));
    result = std::move(path);
    return true;
}

}  // namespace plenexa::optimiser
