// Contraction-order search for an einsum: a bounded dynamic-programming search
// over subsets of operands. Pure C++; never sees Python.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace plenexa::optimiser {

inline constexpr uint64_t max_u64 = std::numeric_limits<uint64_t>::max();

// Most subgraphs held per table of two or more tensors when the caller sets no cap.
inline constexpr uint64_t default_hash_map_cap = 500;

// The caller's way to stop a long search: `check(context)` is called at least every
// few milliseconds of search work, and a true answer ends the search by throwing
// util::Interrupted. The check may block briefly (to take a lock, say).
struct Interrupt {
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
};

// The caller's caps, defaults already applied.
struct Options {
    bool check_outer = false;                    // allow merging operands that share no axis
    uint64_t mem_cap = max_u64;                  // intermediates must be strictly smaller than this
    uint64_t hash_map_cap = default_hash_map_cap;  // most subgraphs held per table of n >= 2 tensors
    bool fixed_mem_cap = false;                  // `mem_cap` is a hard bound: it never grows
    bool wide = false;                           // no limit on inputs or axes per component
    Interrupt interrupt;
};

// A contraction path: pairs of positions in a shrinking operand list.
using Path = std::vector<std::vector<uint64_t>>;

// Finds a contraction path for a valid einsum (every output id occurs in an input,
// every input id has a non-zero size), or nothing when the caps cannot be raised far
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
