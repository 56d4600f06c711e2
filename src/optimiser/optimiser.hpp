// Contraction-order search for an einsum: a bounded dynamic-programming search
// over subsets of operands. Pure C++; never sees Python.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace plenexa::optimiser {

inline constexpr uint64_t max_u64 = std::numeric_limits<uint64_t>::max();

// The caller's caps, defaults already applied.
struct Options {
    bool check_outer = false;      // allow merging operands that share no axis
    uint64_t mem_cap = max_u64;    // intermediates must be strictly smaller than this
    uint64_t hash_map_cap = 500;   // most subgraphs held per table of n >= 2 tensors
};

// A contraction path: pairs of positions in a shrinking operand list.
using Path = std::vector<std::vector<uint64_t>>;

// Finds a contraction path for a valid einsum (every output id occurs in an input,
// every input id has a non-zero size). Throws util::Panic or util::InvalidValue.
Path optimize_dp(const std::vector<std::vector<uint64_t>>& input_ints,
                 const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes,
                 const Options& options);

}  // namespace plenexa::optimiser
