// The words every layer of the search shares: a contraction path and its steps, what a search
// minimises, and how its caller stops it, bounds its time and hears of its progress. Pure C++;
// the tables (src/optimiser), the tree search (src/trees), the driver above both (src/driver)
// and the bindings all speak them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace plenexa {

inline constexpr uint64_t max_u64 = std::numeric_limits<uint64_t>::max();

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

}  // namespace plenexa
