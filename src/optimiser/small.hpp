// The search for the smallest calls, without allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "optimiser/optimiser.hpp"

namespace plenexa::optimiser {

// Most inputs a call may have for the small-call search.
inline constexpr size_t small_max_inputs = 8;
// Most subgraphs one table of a small call can hold: 8 choose 4.
inline constexpr uint64_t small_table_room = 70;

// The path `find_path` gives, for a call of 2 to `small_max_inputs` inputs over at most 64
// distinct ids, into `result`; false (and `result` untouched) for any other call, and with
// `connected_only` for a call of more than one component.
bool find_small(const std::vector<std::vector<uint64_t>>& input_ints, const std::vector<uint64_t>& output_ints,
                const std::vector<uint64_t>& int_sizes, const Caps& caps, bool connected_only,
                std::optional<Path>& result);

}  // namespace plenexa::optimiser
