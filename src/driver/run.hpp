// The driver's pieces, shared by its files: one search's settings, its state, the greedy bound,
// the bridges to the tree search and the joins of solved components.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "driver/strategy.hpp"
#include "optimiser/tables.hpp"
#include "trees/network.hpp"
#include "trees/tree.hpp"
#include "vocabulary/vocabulary.hpp"

namespace plenexa::driver {

using optimiser::Call;
using optimiser::Component;
using optimiser::Node;
using optimiser::Solved;

// One search's settings, every default applied (a query resolved by the strategy, or a part of
// a tree that the tree search asks the tables to order).
struct Settings {
    optimiser::Caps caps{};
    uint64_t growth = optimiser::default_growth;  // of the tables' cost cap
    uint64_t work_limit = max_u64;  // of the tables' searches, after which greedy trees answer
    Deadline deadline{};
    double rate = 0;  // flops per second after which the tree search stops (see Query::rate); 0: none
    // With a budget (max_time or rate), tree searches go on improving their trees past the default
    // effort until then (Clock::time_point::max() for the rate alone); the driver shares it out.
    Deadline improve_until{};
    size_t anytime_from = std::numeric_limits<size_t>::max();  // components this large take the tree search
    bool refine = false;  // improve the tables' trees by the exact windows
    Objective objective{};
    uint64_t seed = 0;
    unsigned threads = 1;
    bool quick = false;
    Progress progress{};
    Interrupt interrupt{};
    const Strategy* strategy = nullptr;  // the tree search's budget, and the exact order's work
};

// One search in progress: its settings and the tables' state, with the trees built so far.
struct Run {
    explicit Run(const Settings& settings)
        : settings(settings),
          call(settings.caps, settings.growth, settings.objective,
               settings.progress.report ? Interrupt{&Run::check, this} : settings.interrupt) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // True once the call's deadline has passed.
    bool past_deadline() const { return settings.deadline && Clock::now() >= *settings.deadline; }

    const Settings& settings;
    const Clock::time_point start = Clock::now();
    Clock::time_point last_report = start;
    double best = std::numeric_limits<double>::infinity();  // the measure of the best tree of the component searched
    Deadline improve_until{};  // the share of Settings::improve_until of the component searched
    Call call;

private:
    // The tables' interrupt check when the caller wants progress: the caller's check, and a report
    // of the best tree so far at most every progress_interval (the tables have no other way out).
    static bool check(void* context);
};

// Shortest time between two progress reports from the tables' search.
inline constexpr auto progress_interval = std::chrono::milliseconds(100);

// The time point a `share` of the time left until `until` from now (max() stays max()).
Clock::time_point share_of(Clock::time_point until, double share);

// The per-call flow (driver.cpp): components, a strategy per component, the joins.
std::optional<Path> search(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                           const std::vector<uint64_t>& sizes, const Settings& settings);

// A greedy tree for a connected component (greedy.cpp), the bound of the tables' search: again
// and again it contracts the pair of operands sharing an axis whose result grows the least
// (result size less both operand sizes; the pair of lowest operand numbers on ties). Nothing when
// an intermediate would not fit under a fixed `mem_cap`.
std::optional<Solved> greedy(Call& call, const Component& comp);

// Networks whose costs pass a double or the tables' 64 bits (bridge.cpp). Such costs are decided
// by their largest terms, whose order a power of every size keeps.
// Most k of `rooted`.
inline constexpr unsigned max_root = 64;
// `sizes` with every size above 1 taken to the power 1/k (portable arithmetic, so the same
// everywhere; rounded, at least 2).
std::vector<uint64_t> rooted(const std::vector<uint64_t>& sizes, unsigned k);
// True when the component's greedy tree costs 2^64 or more, where the tables' costs saturate.
bool past_integers(const Component& comp);

// The bridges to the tree search (bridge.cpp).
// The anytime tree search's tree for a component, or nothing when it breaks a fixed mem_cap.
std::optional<Solved> anytime(Run& run, const Component& comp);
// `solved` improved by the exact windows, when they find a better tree under the objective
// that a fixed mem_cap allows.
Solved refined(Run& run, const Component& comp, const Solved& solved);
// The score under the objective of `path` (numbered, over every input of a network of dense ids).
using Numbered = optimiser::detail::Numbered;
trees::Score score_whole(const Settings& settings, const std::vector<std::vector<uint64_t>>& inputs,
                         const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes, const Numbered& path);
// Whether a whole network of dense ids is path-like (trees::path_like): a chain, or inputs
// around one shared axis.
bool path_like_whole(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                     const std::vector<uint64_t>& sizes);
// The score of a solved component's tree under the objective, replayed in doubles.
trees::Score score_of(const Run& run, const Component& comp, const Solved& solved);
// True when tree `a` is better than tree `b` under the objective: flops exactly while neither
// cost saturated, else (and any other measure) by a replay in doubles.
bool cheaper(const Run& run, const Solved& a, const Solved& b, const Component& comp);
// For "size": the tree of fewest flops among those whose intermediates are no larger than
// `solved`'s largest, by a flops search of the tables under that memory cap, or `solved` when
// that search finds none better (or runs out of work).
Solved fewest_flops_within(Run& run, const Component& comp, const Solved& solved);

// The joins of solved components (join.cpp).
// Most component results that `cheapest_join` orders exactly (3^N work).
inline constexpr size_t max_exact_join = 12;
// The order of outer products that joins component results at the least cost, given for each
// the size of all of its axes and of those the output keeps: a join costs the product of both
// operands' sizes (all axes for an input not yet contracted, else only those kept) and keeps
// the output's axes. Numbered as optimiser::detail::combine_order; for at most `max_exact_join`
// results.
Numbered cheapest_join(const std::vector<std::array<uint64_t, 2>>& sizes);
// Joins the solved components at the least cost found; returns the root. Results that keep no
// axis (scalars, and components whose axes are all summed) may instead be joined among
// themselves and then with the smallest operand of another component's tree, where they add
// to no later step: that is what a greedy path does with a scalar.
uint32_t join_cheaply(Run& run, const std::vector<Component>& comps, const std::vector<Solved>& solved);

}  // namespace plenexa::driver
