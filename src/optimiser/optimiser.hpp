// Contraction-order search for an einsum: a bounded dynamic-programming search over subsets of
// operands (the tables), and optimize_dp's own route through it. Pure C++; never sees Python.
// The tables are a leaf: they include only the shared words and src/util.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "vocabulary/vocabulary.hpp"

namespace plenexa::optimiser {

// Most subgraphs held per table of two or more tensors when the caller sets no cap.
inline constexpr uint64_t default_hash_map_cap = 500;

// Factor by which optimize_dp's cost cap grows after a sweep that leaves a component incomplete,
// as opt_einsum raises its cost cap.
inline constexpr uint64_t default_growth = 4;

// The caller's caps, defaults already applied.
struct Caps {
    bool check_outer = false;                      // allow merging operands that share no axis
    uint64_t mem_cap = max_u64;                    // intermediates must be strictly smaller than this
    uint64_t hash_map_cap = default_hash_map_cap;  // most subgraphs held per table of n >= 2 tensors
    bool fixed_mem_cap = false;                    // `mem_cap` is a hard bound: it never grows
};

// Everything optimize_dp's route is told: the caps, the bitmaps' reach and the way to stop it.
struct Options {
    Caps caps;
    // Components of up to 4,096 inputs and 8,192 axes in wide bitmaps, instead of 63 inputs and
    // 512 axes (the driver's searches are wide; optimize_dp's are not).
    bool wide = false;
    Interrupt interrupt;
};

// Finds a contraction path for a valid einsum (every output id occurs in an input,
// every input id has a non-zero size) by the tables alone: each connected component solved by
// the tables, their results joined smallest first. Nothing when the caps cannot be raised far
// enough for some component to complete. Throws util::Panic, util::InvalidValue or
// util::Interrupted.
std::optional<Path> find_path(const std::vector<std::vector<uint64_t>>& input_ints,
                              const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes,
                              const Options& options);

// `find_path`, answering N - 1 copies of [0, 1] (contract the first two operands, again
// and again) when the search cannot complete.
Path optimize_dp(const std::vector<std::vector<uint64_t>>& input_ints,
                 const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes,
                 const Options& options);

}  // namespace plenexa::optimiser
