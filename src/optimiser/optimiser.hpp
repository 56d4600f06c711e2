// Contraction-order search for an einsum: a bounded dynamic-programming search
// over subsets of operands. Pure C++; never sees Python.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace plenexa::optimiser {

inline constexpr uint64_t max_u64 = std::numeric_limits<uint64_t>::max();

// Most subgraphs held per table of two or more tensors when the caller sets no cap.
inline constexpr uint64_t default_hash_map_cap = 500;

using Clock = std::chrono::steady_clock;
// A time at which a search stops, if any.
using Deadline = std::optional<Clock::time_point>;

// The caller's way to stop a long search: `check(context)` is called at least every
// few milliseconds of search work, and a true answer ends the search by throwing
// util::Interrupted. The check may block briefly (to take a lock, say).
struct Interrupt {
    bool (*check)(void* context) = nullptr;
    void* context = nullptr;
};

// The caller's caps, defaults already applied.
struct Caps {
    bool check_outer = false;                      // allow merging operands that share no axis
    uint64_t mem_cap = max_u64;                    // intermediates must be strictly smaller than this
    uint64_t hash_map_cap = default_hash_map_cap;  // most subgraphs held per table of n >= 2 tensors
    bool fixed_mem_cap = false;                    // `mem_cap` is a hard bound: it never grows
};

// A report of a long search's progress: `report(context, elapsed_s, best_cost)`, called at
// most every 100 ms from the thread that runs the search.
struct Progress {
    void (*report)(void* context, double elapsed_s, double best_cost) = nullptr;
    void* context = nullptr;
};

// What a search minimises, over the pairwise steps of a path: a step's flops are the product of
// the sizes of every axis it touches, its write the size of its result (the final one included).
enum class Measure : uint8_t {
    flops,  // the sum of the steps' flops
    size,   // the largest result of a step; among the paths of the least, the fewest flops
    write,  // the sum of the steps' result sizes
    combo,  // flops + factor x write
};

// A measure and, for combo, its weight of write (a positive number).
struct Objective {
    Measure measure = Measure::flops;
    double factor = 64;
};

// How a search goes about the caller's caps. The default value is optimize_dp's own strategy,
// whose paths the corpus pins; plenexa_paths runs others.
struct Strategy {
    uint64_t growth = 4;  // factor by which cost_cap grows after a sweep that leaves a component incomplete
    bool wide = false;    // components of up to 4,096 inputs and 8,192 axes, beyond 63 inputs with a greedy bound
    // Every component of two or more inputs also gets a greedy tree; the cheaper tree (costs
    // compared without saturation) answers, and the greedy tree answers a search that cannot
    // complete. Without it only components beyond 63 inputs get one.
    bool greedy_bound = false;
    // Units of search work (a left entry, or a block of 64 partners) after which a call's
    // searches stop and greedy trees answer, and a time at which they stop too; only with
    // `greedy_bound`. The work limit bounds the time of a call the same way on every run.
    uint64_t work_limit = max_u64;
    Deadline deadline;
    // Components of at least this many inputs take the anytime tree search of src/trees
    // instead of the tables; with `refine`, every other component's tree is improved by its
    // exact windows too. Both only with `greedy_bound`, which they keep: neither gives a tree
    // costlier than the greedy one.
    size_t anytime_from = std::numeric_limits<size_t>::max();
    bool refine = false;
    // What the search minimises; any other measure than flops needs `greedy_bound`.
    Objective objective;
    uint64_t seed = 0;     // the tree search's seed: its trees depend on nothing else
    unsigned threads = 1;  // worker threads of the tree search; its trees do not depend on them
    bool quick = false;    // the tree search refines fewer trees, with fewer sweeps, and skips its rebuilds
    Progress progress;
};

// Everything a search is told: the caps, the strategy and the way to stop it.
struct Options {
    Caps caps;
    Strategy strategy;
    Interrupt interrupt;
};

// One step of a contraction path: the positions, in the shrinking operand list, of the two
// operands it contracts, or of the one operand of a one-input call. Held inline, so that a
// path is a single allocation however many steps it has.
class Step {
public:
    explicit Step(uint64_t only) : positions_{only, 0}, count_(1) {}
    Step(uint64_t first, uint64_t second) : positions_{first, second}, count_(2) {}

    // The positions as a sequence of one or two.
    size_t size() const { return count_; }
    uint64_t operator[](size_t i) const { return positions_[i]; }
    const uint64_t* begin() const { return positions_.data(); }
    const uint64_t* end() const { return positions_.data() + count_; }
    // The same positions (an unused second slot does not count).
    bool operator==(const Step& other) const {
        return count_ == other.count_ && positions_[0] == other.positions_[0] &&
               (count_ == 1 || positions_[1] == other.positions_[1]);
    }

private:
    std::array<uint64_t, 2> positions_;
    uint8_t count_;
};

// A contraction path: its steps in order.
using Path = std::vector<Step>;

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
