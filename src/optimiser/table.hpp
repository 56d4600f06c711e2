// The table of held contractions with one number of tensors: entries in insertion
// order, found by subgraph through an open-addressing index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "optimiser/bits.hpp"

namespace plenexa::optimiser {

// One held contraction: the inputs it covers, the axes of its result and what it cost.
// Subgraphs take S words (S = 1 for components of up to 63 inputs), axis sets W words.
template <int W, int S = 1>
struct Entry {
    Bits<S> subgraph;   // bit j: the j-th input of the component
    uint64_t cost;      // accumulated cost, saturating
    uint64_t floor;     // cost + size, saturating: no merge with this entry costs less
    uint64_t size;      // size of `axes`, MAX when it overflows
    Bits<W> axes;
    uint32_t node;      // its contraction tree
};

// Widest axis bitmap of a search without `Options::wide`, in 64-bit words.
inline constexpr int max_narrow_words = 8;

// True for tables with S-word subgraphs and W-word axis sets that keep their membership
// blocks compact (every table but those of components of up to 63 inputs and 512 axes).
template <int W, int S>
constexpr bool compact_blocks = !(S == 1 && W <= max_narrow_words);

// Held contractions keyed by subgraph. Replacing an entry keeps its place, so visiting
// order is insertion order.
//
// Membership blocks answer "which entries contain input j / axis x" 64 entries at a
// time: block b holds, for every feature f (inputs 0..k-1, then axes), one word whose
// bit e is set when entry 64 b + e has that feature; beside it are kept the smallest
// floor and the smallest cost of those 64 entries. A replacement never changes a subgraph's axes (they are the axes
// its inputs share with the output and with the rest of the component), so the
// membership words only ever gain bits.
//
// Compact tables (large components) keep, per block, words only for the span of inputs
// and the span of axes that its entries touch: entries inserted together cover nearby
// inputs in most networks, and dense blocks would cost (inputs + axes) / 64 words per entry.
template <int W, int S = 1>
class Table {
public:
    static constexpr bool compact = compact_blocks<W, S>;

    // Membership words of one block for features lo .. hi - 1 (compact tables).
    struct Span {
        const uint64_t* words;
        uint32_t lo;
        uint32_t hi;
    };

    // A table for a component of `n_inputs` inputs and `n_axes` axes.
    Table(size_t n_inputs, size_t n_axes) : n_inputs_(n_inputs), block_words_(n_inputs + n_axes) {}

    std::vector<Entry<W, S>> entries;

    // Number of distinct subgraphs held.
    size_t size() const { return entries.size(); }
    bool empty() const { return entries.empty(); }

    // Position of `subgraph` among the entries, or -1 when it is not held.
    int64_t find(const Bits<S>& subgraph) const {
        if (slots_.empty()) return -1;
        for (size_t i = slot_of(subgraph);; i = (i + 1) & mask_) {
            const uint32_t held = slots_[i];
            if (held == 0) return -1;
            if (entries[held - 1].subgraph == subgraph) return held - 1;
        }
    }

    // Appends a new entry for a subgraph not yet held.
    void append(const Bits<S>& subgraph, const Bits<W>& axes, uint64_t cost, uint64_t size, uint32_t node) {
        const size_t p = entries.size();
        if (p >= UINT32_MAX - 1) throw std::bad_alloc();
        if (p == 0) entries.reserve(8);
        if ((p + 1) * 2 > slots_.size()) grow();
        const uint64_t floor = add_saturating(cost, size);
        entries.push_back({subgraph, cost, floor, size, axes, node});
        place(subgraph, static_cast<uint32_t>(p + 1));
        if (p % 64 == 0) {
            if constexpr (compact)
                compact_.push_back({});
            else
                blocks_.resize(blocks_.size() + block_words_, 0);
            block_bounds_.push_back({floor, cost, size});
        }
        lower(p / 64, floor, cost);
        block_bounds_[p / 64].size = std::min(block_bounds_[p / 64].size, size);
        const uint64_t bit = uint64_t{1} << (p % 64);
        if constexpr (compact) {
            Compact& c = compact_[p / 64];
            c.widen(span_of(subgraph), span_of(axes));
            uint64_t* inputs = c.words.data();
            uint64_t* axis_words = inputs + (c.in_hi - c.in_lo);
            for (int i = 0; i < S; ++i)
                for (uint64_t x = subgraph.w[i]; x != 0; x &= x - 1) inputs[i * 64 + __builtin_ctzll(x) - c.in_lo] |= bit;
            for (int i = 0; i < W; ++i)
                for (uint64_t x = axes.w[i]; x != 0; x &= x - 1) axis_words[i * 64 + __builtin_ctzll(x) - c.ax_lo] |= bit;
            return;
        }
        uint64_t* block = &blocks_[(p / 64) * block_words_];
        for (int i = 0; i < S; ++i)
            for (uint64_t x = subgraph.w[i]; x != 0; x &= x - 1) block[i * 64 + __builtin_ctzll(x)] |= bit;
        for (int i = 0; i < W; ++i)
            for (uint64_t x = axes.w[i]; x != 0; x &= x - 1) block[n_inputs_ + i * 64 + __builtin_ctzll(x)] |= bit;
    }

    // Gives the entry at `pos` a cheaper contraction, in place; its subgraph and axes stay.
    void replace(size_t pos, uint64_t cost, uint32_t node) {
        Entry<W, S>& e = entries[pos];
        e.cost = cost;
        e.floor = add_saturating(cost, e.size);
        e.node = node;
        lower(pos / 64, e.floor, cost);
    }

    // The smallest floor, cost and size among entries 64 b to 64 b + 63.
    struct Bounds {
        uint64_t floor;
        uint64_t cost;
        uint64_t size;
    };
    const Bounds& block_bounds(size_t b) const { return block_bounds_[b]; }

    // The smallest floor, cost and size among all entries.
    Bounds bounds() const {
        Bounds all{UINT64_MAX, UINT64_MAX, UINT64_MAX};
        for (const Bounds& b : block_bounds_)
            all = {std::min(all.floor, b.floor), std::min(all.cost, b.cost), std::min(all.size, b.size)};
        return all;
    }

    // Membership words of entries 64 b to 64 b + 63, indexed by feature.
    const uint64_t* block(size_t b) const { return &blocks_[b * block_words_]; }

    // Membership words of entries 64 b to 64 b + 63 for inputs, indexed by input (compact tables).
    Span block_inputs(size_t b) const {
        const Compact& c = compact_[b];
        return {c.words.data(), c.in_lo, c.in_hi};
    }

    // Membership words of entries 64 b to 64 b + 63 for axes, indexed by axis (compact tables).
    Span block_axes(size_t b) const {
        const Compact& c = compact_[b];
        return {c.words.data() + (c.in_hi - c.in_lo), c.ax_lo, c.ax_hi};
    }

    // Feature number of input `j`.
    static size_t input_feature(size_t j) { return j; }

    // Feature number of axis `a`.
    size_t axis_feature(size_t a) const { return n_inputs_ + a; }

private:
    // A block of a compact table: words for inputs in_lo .. in_hi - 1, then for axes ax_lo .. ax_hi - 1.
    struct Compact {
        std::vector<uint64_t> words;
        uint32_t in_lo = 0, in_hi = 0, ax_lo = 0, ax_hi = 0;

        // Grows the spans to hold inputs `in` and axes `ax` (each [lo, hi), empty when lo == hi).
        void widen(std::pair<uint32_t, uint32_t> in, std::pair<uint32_t, uint32_t> ax) {
            const auto join = [](uint32_t lo, uint32_t hi, std::pair<uint32_t, uint32_t> add) {
                if (add.first == add.second) return std::pair{lo, hi};
                if (lo == hi) return add;
                return std::pair{std::min(lo, add.first), std::max(hi, add.second)};
            };
            const auto [il, ih] = join(in_lo, in_hi, in);
            const auto [al, ah] = join(ax_lo, ax_hi, ax);
            if (il == in_lo && ih == in_hi && al == ax_lo && ah == ax_hi) return;
            std::vector<uint64_t> grown((ih - il) + (ah - al), 0);
            std::copy_n(words.begin(), in_hi - in_lo, grown.begin() + (in_lo - il));
            std::copy_n(words.begin() + (in_hi - in_lo), ax_hi - ax_lo, grown.begin() + (ih - il) + (ax_lo - al));
            words = std::move(grown);
            in_lo = il, in_hi = ih, ax_lo = al, ax_hi = ah;
        }
    };

    // The features a bitmap holds, as [first set bit, last set bit + 1), or [0, 0) when empty.
    template <int N>
    static std::pair<uint32_t, uint32_t> span_of(const Bits<N>& bits) {
        int first = 0, last = N - 1;
        while (first < N && bits.w[first] == 0) ++first;
        if (first == N) return {0, 0};
        while (bits.w[last] == 0) --last;
        return {static_cast<uint32_t>(first * 64 + __builtin_ctzll(bits.w[first])),
                static_cast<uint32_t>(last * 64 + 64 - __builtin_clzll(bits.w[last]))};
    }

    size_t n_inputs_;
    size_t block_words_;
    std::vector<uint64_t> blocks_;
    std::vector<Compact> compact_;  // compact tables' blocks instead of `blocks_`
    std::vector<Bounds> block_bounds_;  // per block, the smallest floor, cost and size of its entries
    std::vector<uint32_t> slots_;  // entry position + 1; 0 marks a free slot
    size_t mask_ = 0;
    int shift_ = 64;

    // Lowers block `b`'s bounds to take in an entry's `floor` and `cost`.
    void lower(size_t b, uint64_t floor, uint64_t cost) {
        block_bounds_[b].floor = std::min(block_bounds_[b].floor, floor);
        block_bounds_[b].cost = std::min(block_bounds_[b].cost, cost);
    }

    // Home slot of a subgraph (Fibonacci hashing of its words folded into one).
    size_t slot_of(const Bits<S>& subgraph) const {
        constexpr uint64_t golden = 0x9E3779B97F4A7C15ull;
        uint64_t h = subgraph.w[0];
        for (int i = 1; i < S; ++i) h = ((h * golden) >> 29 | (h * golden) << 35) ^ subgraph.w[i];
        return static_cast<size_t>((h * golden) >> shift_);
    }

    // Records entry number `held` (1-based) for `subgraph` in the index.
    void place(const Bits<S>& subgraph, uint32_t held) {
        size_t i = slot_of(subgraph);
        while (slots_[i] != 0) i = (i + 1) & mask_;
        slots_[i] = held;
    }

    // Doubles the index and re-places every entry.
    void grow() {
        const size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
        slots_.assign(capacity, 0);
        mask_ = capacity - 1;
        shift_ = 64 - __builtin_ctzll(capacity);
        for (size_t p = 0; p < entries.size(); ++p) place(entries[p].subgraph, static_cast<uint32_t>(p + 1));
    }
};

}  // namespace plenexa::optimiser
