// The tables' search of one connected component, for the two routes that use it: optimize_dp's
// own (optimiser.cpp) and the driver's (src/driver), which adds greedy bounds, work limits, the
// tree search and its own joins. See tables.cpp for the search itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <vector>

#include "optimiser/detail.hpp"
#include "optimiser/optimiser.hpp"
#include "util/failure.hpp"

namespace plenexa::optimiser {

using detail::Node;

// Widest subgraph and axis bitmaps compiled in for wide searches, in 64-bit words.
inline constexpr int max_wide_subgraph_words = 64;
inline constexpr int max_wide_axis_words = 128;

// One connected group of inputs, with its axes renumbered 0, 1, ... in order of first use.
struct Component {
    std::vector<uint32_t> inputs;               // input indices, ascending
    std::vector<uint32_t> axis_start;           // input j's axes are axes[axis_start[j] .. axis_start[j + 1])
    std::vector<uint32_t> axes;                 // per input, its distinct local axes
    std::vector<uint64_t> sizes;                // per local axis, its size
    std::vector<uint8_t> in_output;             // per local axis, 1 when the output keeps it
    size_t n_axes = 0;                          // number of local axes

    // Per local axis, the positions j of the inputs that hold it, as `axis_start`/`axes` do per input.
    void users(std::vector<uint32_t>& start, std::vector<uint32_t>& list) const {
        start.assign(n_axes + 1, 0);
        for (uint32_t a : axes) ++start[a + 1];
        for (size_t a = 0; a < n_axes; ++a) start[a + 1] += start[a];
        list.resize(axes.size());
        std::vector<uint32_t> next(start.begin(), start.end() - 1);
        for (uint32_t j = 0; j + 1 < axis_start.size(); ++j)
            for (uint32_t p = axis_start[j]; p < axis_start[j + 1]; ++p) list[next[axes[p]]++] = j;
    }
};

// A solved component: the sizes of its result with and without summed axes, its tree and
// what the tree costs (saturating).
struct Solved {
    uint64_t size;
    uint64_t output_size;
    uint32_t root;
    uint64_t cost = 0;
};

// Thrown when a call has done the work its caller allows (Pulse::limit_work).
struct WorkSpent {};

// Asks the caller's interrupt check every `interval` of search work. Reading the clock
// costs about as much as pricing a few partners, so it is read once per `stride` units of
// work (one unit: an operand whose partners are scanned, or one block of 64 partners).
class Pulse {
public:
    explicit Pulse(const Interrupt& interrupt) : interrupt_(interrupt), last_(Clock::now()) {}

    // Makes `tick` throw WorkSpent once the work counted since the call began reaches `limit`,
    // or once `deadline` has passed.
    void limit_work(uint64_t limit, Deadline deadline) {
        work_limit_ = limit;
        deadline_ = deadline;
    }

    // Counts `work` units; now and then reads the clock, and asks the caller once `interval`
    // has passed; throws WorkSpent once the work limit or the deadline is reached.
    void tick(uint64_t work) {
        if (work < budget_) {
            budget_ -= work;
            return;
        }
        done_ += stride - budget_ + work;
        budget_ = stride;
        if (done_ >= work_limit_) throw WorkSpent();
        if (!interrupt_.check && !deadline_) return;
        const auto now = Clock::now();
        if (deadline_ && now >= *deadline_) throw WorkSpent();
        if (!interrupt_.check || now - last_ < interval) return;
        last_ = now;
        if (interrupt_.check(interrupt_.context)) throw util::Interrupted();
    }

    // Asks the caller's interrupt check once `interval` has passed, counting no work: for loops
    // whose single steps may take long, and whose work counts must stay as they were. The
    // clock is read every `poll_stride` calls, so that a small call's few polls cost nothing.
    void poll() {
        if (!interrupt_.check || ++polls_ % poll_stride != 0) return;
        const auto now = Clock::now();
        if (now - last_ < interval) return;
        last_ = now;
        if (interrupt_.check(interrupt_.context)) throw util::Interrupted();
    }

private:
    static constexpr auto interval = std::chrono::milliseconds(10);
    static constexpr uint64_t stride = 4096;
    static constexpr uint32_t poll_stride = 64;
    Interrupt interrupt_;
    Clock::time_point last_;
    uint64_t budget_ = stride;
    uint64_t done_ = 0;  // work counted before the current stride
    uint32_t polls_ = 0;
    uint64_t work_limit_ = max_u64;
    Deadline deadline_;
};

// State shared by the components of one call: the caps now in force, what the tables' costs
// measure, the work counter and the trees built so far.
struct Call {
    Call(const Caps& caps, uint64_t growth, const Objective& objective, const Interrupt& interrupt)
        : caps(caps), growth(growth), objective(objective), pulse(interrupt) {}

    Caps caps;            // mem_cap grows as searches need, unless fixed_mem_cap
    uint64_t growth;      // factor by which cost_cap grows after a sweep that leaves a component incomplete
    Objective objective;  // what the tables' costs measure
    Pulse pulse;
    std::vector<Node> tree;   // nodes of the finished trees, children before parents
    std::vector<Node> arena;  // nodes made by the current component's search
    uint64_t enough = max_u64;  // a failed sweep at a cost cap above this ends the search
};

// Appends `node` to `nodes`, refusing to outgrow 32-bit node numbers.
inline uint32_t push_node(std::vector<Node>& nodes, Node node) {
    if (nodes.size() >= UINT32_MAX - 1) throw std::bad_alloc();
    nodes.push_back(node);
    return static_cast<uint32_t>(nodes.size() - 1);
}

// Groups inputs that share axis ids, transitively; components come in ascending order of
// their smallest input, and each one's axes are renumbered densely.
std::vector<Component> split(const std::vector<std::vector<uint64_t>>& input_ints,
                             const std::vector<uint64_t>& output_ints, const std::vector<uint64_t>& int_sizes);

// Refuses a component of k >= 2 inputs over `n_axes` axes that the caps or the compiled widths
// (narrow, or `wide`) cannot take.
void check_component(size_t k, size_t n_axes, const Caps& caps, bool wide);

// The path of a call of two inputs that share an axis, which needs no search (table 1 holds
// input 0 then input 1, the one merge puts input 0 on the left, and when no cap admits it the
// fallback names the same pair); nothing for any other call, or under a fixed mem_cap, which
// must still see the merge refused.
std::optional<Path> shared_pair(const std::vector<std::vector<uint64_t>>& input_ints, const Caps& caps, bool wide);

// Solves a one-input component: the input itself, keeping all of its axes.
Solved single(Call& call, const Component& comp);

// Searches one component of two or more inputs by the tables, with the narrowest bitmaps that
// hold it, under the call's caps, objective, growth and `enough`. Nothing when neither cap can
// grow any further (or a sweep above `enough` fails). Throws WorkSpent once the call's work
// limit or deadline is reached, util::Interrupted when the caller stops it.
std::optional<Solved> solve(Call& call, const Component& comp);

// Joins the solved components by outer products, the two smallest first; returns the root.
uint32_t join_smallest_first(Call& call, const std::vector<Solved>& solved);

// The path of the call's tree under `root`, over `n_inputs` inputs.
Path path_of(const Call& call, uint32_t root, uint64_t n_inputs);

}  // namespace plenexa::optimiser
