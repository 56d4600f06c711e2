// The table of held contractions with one number of tensors: entries in insertion
// order, found by subgraph through an open-addressing index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
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

// Held contractions keyed by subgraph. Replacing an entry keeps its place, so visiting
// order is insertion order.
//
// Membership blocks answer "which entries contain input j / axis x" 64 entries at a
// time: block b holds, for every feature f (inputs 0..k-1, then axes), one word whose
// bit e is set when entry 64 b + e has that feature; beside it are kept the smallest
// floor and the smallest cost of those 64 entries. A replacement never changes a subgraph's axes (they are the axes
// its inputs share with the output and with the rest of the component), so the
// membership words only ever gain bits.
template <int W, int S = 1>
class Table {
public:
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
            blocks_.resize(blocks_.size() + block_words_, 0);
            block_bounds_.push_back({floor, cost});
        }
        uint64_t* block = &blocks_[(p / 64) * block_words_];
        lower(p / 64, floor, cost);
        const uint64_t bit = uint64_t{1} << (p % 64);
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

    // The smallest floor and the smallest cost among entries 64 b to 64 b + 63.
    struct Bounds {
        uint64_t floor;
        uint64_t cost;
    };
    const Bounds& block_bounds(size_t b) const { return block_bounds_[b]; }

    // The smallest floor and the smallest cost among all entries.
    Bounds bounds() const {
        Bounds all{UINT64_MAX, UINT64_MAX};
        for (const Bounds& b : block_bounds_) all = {std::min(all.floor, b.floor), std::min(all.cost, b.cost)};
        return all;
    }

    // The smallest floor among entries 64 b to 64 b + 63.
    uint64_t block_floor(size_t b) const { return block_bounds_[b].floor; }

    // Membership words of entries 64 b to 64 b + 63, indexed by feature.
    const uint64_t* block(size_t b) const { return &blocks_[b * block_words_]; }

    // Feature number of input `j`.
    static size_t input_feature(size_t j) { return j; }

    // Feature number of axis `a`.
    size_t axis_feature(size_t a) const { return n_inputs_ + a; }

private:
    size_t n_inputs_;
    size_t block_words_;
    std::vector<uint64_t> blocks_;
    std::vector<Bounds> block_bounds_;  // per block, the smallest floor and cost of its entries
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
