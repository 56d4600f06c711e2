// Internal pieces of the optimiser, exposed for its unit tests.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "optimiser/bits.hpp"
#include "optimiser/optimiser.hpp"

namespace plenexa::optimiser::detail {

// One node of a contraction tree: a leaf for an input, or a pair of earlier nodes.
struct Node {
    static constexpr uint32_t leaf = UINT32_MAX;
    uint32_t left;   // `leaf`, or the node contracted first
    uint32_t right;  // the input index of a leaf, or the node contracted second
};

// Contraction steps numbered as in a tree walk: numbers below N are inputs, and
// step k produces number N + k.
using Numbered = std::vector<std::array<uint64_t, 2>>;

// Turns numbered steps over `n_inputs` inputs into positions in a shrinking operand list.
Path path_from_numbered(const Numbered& numbered, uint64_t n_inputs);

// Turns a path of pairwise steps over `n_inputs` inputs into numbered steps (the inverse of
// path_from_numbered).
Numbered numbered_from_path(const Path& path, uint64_t n_inputs);

// Numbers the tree under `root` in post-order, left before right.
Numbered number_tree(const std::vector<Node>& nodes, uint32_t root, uint64_t n_inputs);

// The refusal of a cap of 0 for a component that needs a search.
inline constexpr const char* zero_cap = "hash_map_cap_op must be at least 1";

// True when a component result of `a_size`, entered `a_number`-th, is joined before one of
// `b_size`, entered `b_number`-th: the smaller first, the later of equal sizes first.
inline bool joined_before(uint64_t a_size, uint64_t a_number, uint64_t b_size, uint64_t b_number) {
    return a_size != b_size ? a_size < b_size : a_number > b_number;
}

// Order in which component results are merged, given for each the size of its axes and
// the size of those of its axes that the output keeps (MAX on overflow): always the two
// smallest, the later of equal sizes first. Items 0..C-1 are the results, step t makes
// item C + t; each step lists the item taken first, then the second.
Numbered combine_order(const std::vector<std::array<uint64_t, 2>>& sizes);

// Makes searches use the build for processors without a population-count instruction (true),
// or choose by the processor again (false): tests run that build nowhere else.
void force_portable(bool on);

// Makes calls of few inputs take the general search (true) instead of the small-call one
// (false): tests compare the two.
void force_general(bool on);

}  // namespace plenexa::optimiser::detail
