// The table of held contractions with one number of tensors: entries in insertion
// order, found by subgraph through an open-addressing index.
#pragma once

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "optimiser/bits.hpp"

namespace plenexa::optimiser {

// Held contractions keyed by subgraph. Columns are stored apart so that the search
// scans subgraphs, axes and costs as flat arrays; `nodes` names each entry's tree.
// Replacing an entry keeps its place, so visiting order is insertion order.
//
// Membership blocks answer "which entries contain input j / axis x" 64 entries at a
// time: block b holds, for every feature f (inputs 0..k-1, then axes), one word whose
// bit e is set when entry 64 b + e has that feature. A replacement never changes a
// subgraph's axes (they are the axes its inputs share with the output and with the
// rest of the component), so the blocks only ever grow.
template <int W>
class Table {
public:
    // A table for a component of `n_inputs` inputs and `n_axes` axes.
    Table(size_t n_inputs, size_t n_axes) : n_inputs_(n_inputs), n_features_(n_inputs + n_axes) {}

    std::vector<uint64_t> subgraphs;
    std::vector<Bits<W>> axes;
    std::vector<uint64_t> costs;
    std::vector<uint64_t> sizes;  // size of `axes`, MAX when it overflows
    std::vector<uint64_t> floors; // cost + size, saturating: a lower bound on any merge's cost
    std::vector<uint32_t> nodes;

    // Number of distinct subgraphs held.
    size_t size() const { return subgraphs.size(); }
    bool empty() const { return subgraphs.empty(); }

    // Position of `subgraph` among the entries, or -1 when it is not held.
    int64_t find(uint64_t subgraph) const {
        if (slots_.empty()) return -1;
        for (size_t i = slot_of(subgraph);; i = (i + 1) & mask_) {
            const uint32_t held = slots_[i];
            if (held == 0) return -1;
            if (subgraphs[held - 1] == subgraph) return held - 1;
        }
    }

    // Appends a new entry for a subgraph not yet held.
    void append(uint64_t subgraph, const Bits<W>& bits, uint64_t cost, uint64_t size, uint32_t node) {
        if (subgraphs.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        if ((subgraphs.size() + 1) * 2 > slots_.size()) grow();
        subgraphs.push_back(subgraph);
        axes.push_back(bits);
        costs.push_back(cost);
        sizes.push_back(size);
        floors.push_back(add_saturating(cost, size));
        nodes.push_back(node);
        place(subgraph, static_cast<uint32_t>(subgraphs.size()));
        const size_t p = subgraphs.size() - 1;
        if (p % 64 == 0) {
            blocks_.resize(blocks_.size() + n_features_, 0);
            block_floors_.push_back(UINT64_MAX);
        }
        block_floors_[p / 64] = std::min(block_floors_[p / 64], floors.back());
        uint64_t* block = &blocks_[(p / 64) * n_features_];
        const uint64_t bit = uint64_t{1} << (p % 64);
        for (uint64_t x = subgraph; x != 0; x &= x - 1) block[__builtin_ctzll(x)] |= bit;
        for (int i = 0; i < W; ++i)
            for (uint64_t x = bits.w[i]; x != 0; x &= x - 1) block[n_inputs_ + i * 64 + __builtin_ctzll(x)] |= bit;
    }

    // Membership words of entries 64 b to 64 b + 63, indexed by feature.
    const uint64_t* block(size_t b) const { return &blocks_[b * n_features_]; }

    // The smallest floor among entries 64 b to 64 b + 63.
    uint64_t block_floor(size_t b) const { return block_floors_[b]; }

    // Feature number of axis `a`.
    size_t axis_feature(size_t a) const { return n_inputs_ + a; }

    // Overwrites the entry at `pos` in place; its subgraph and axes stay the same.
    void replace(size_t pos, uint64_t cost, uint32_t node) {
        costs[pos] = cost;
        floors[pos] = add_saturating(cost, sizes[pos]);
        block_floors_[pos / 64] = std::min(block_floors_[pos / 64], floors[pos]);
        nodes[pos] = node;
    }

private:
    size_t n_inputs_;
    size_t n_features_;
    std::vector<uint64_t> blocks_;
    std::vector<uint64_t> block_floors_;
    std::vector<uint32_t> slots_;  // entry position + 1; 0 marks a free slot
    size_t mask_ = 0;
    int shift_ = 64;

    // Home slot of a subgraph (Fibonacci hashing).
    size_t slot_of(uint64_t subgraph) const {
        return static_cast<size_t>((subgraph * 0x9E3779B97F4A7C15ull) >> shift_);
    }

    // Records entry number `held` (1-based) for `subgraph` in the index.
    void place(uint64_t subgraph, uint32_t held) {
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
        for (size_t p = 0; p < subgraphs.size(); ++p) place(subgraphs[p], static_cast<uint32_t>(p + 1));
    }
};

}  // namespace plenexa::optimiser
