// The table of held contractions with one number of tensors: entries in insertion
// order, found by subgraph through an open-addressing index.
#pragma once

#include <cstdint>
#include <new>
#include <vector>

#include "optimiser/bits.hpp"

namespace plenexa::optimiser {

// Held contractions keyed by subgraph. Columns are stored apart so that the search
// scans subgraphs, axes and costs as flat arrays; `nodes` names each entry's tree.
// Replacing an entry keeps its place, so visiting order is insertion order.
template <int W>
class Table {
public:
    std::vector<uint64_t> subgraphs;
    std::vector<Bits<W>> axes;
    std::vector<uint64_t> costs;
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
    void append(uint64_t subgraph, const Bits<W>& bits, uint64_t cost, uint32_t node) {
        if (subgraphs.size() >= UINT32_MAX - 1) throw std::bad_alloc();
        if ((subgraphs.size() + 1) * 2 > slots_.size()) grow();
        subgraphs.push_back(subgraph);
        axes.push_back(bits);
        costs.push_back(cost);
        nodes.push_back(node);
        place(subgraph, static_cast<uint32_t>(subgraphs.size()));
    }

    // Overwrites the entry at `pos` in place.
    void replace(size_t pos, const Bits<W>& bits, uint64_t cost, uint32_t node) {
        axes[pos] = bits;
        costs[pos] = cost;
        nodes[pos] = node;
    }

private:
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
