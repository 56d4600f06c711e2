// The anytime search for contraction trees of large networks: plain greedy, then rounds of seeded
// random greedy trials and of recursive-partitioning trials on worker threads, then window
// refinement of the best trees, then rebuilds of the best tree's costliest parts (by trials, then
// by the caller's exact order). Given a time to improve until, it then goes on with rebuilds of
// larger parts and restarts from new seeds, keeping the cheapest tree.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "vocabulary/vocabulary.hpp"
#include "trees/network.hpp"
#include "trees/tree.hpp"
#include "trees/tuning.hpp"

namespace plenexa::trees {

// What a search may spend, and how it reports.
struct Settings {
    uint64_t seed = 0;
    unsigned threads = 1;        // worker threads (0 counts as 1); the result does not depend on them
    Tuning tuning;               // the budget and knobs (src/driver/strategy.hpp holds plenexa_paths' values)
    Objective objective;         // what the trees are compared by, and the windows improve
    // When it passes, the search stops and answers the best complete tree so far
    // (always at least the plain greedy tree).
    Deadline deadline;
    // When set, the search goes on improving its tree after the default effort until this time
    // (or the deadline, or the rate) passes; Clock::time_point::max() for the rate alone.
    std::optional<Clock::time_point> improve_until;
    // Flops per second (0: none): the search also stops, as at the deadline, once it has run as
    // long as its best tree would take to contract at this rate.
    double rate = 0;
    // Checked at least every 10 ms from the thread that called `search` (and from no other); a
    // true answer stops the workers and throws util::Interrupted.
    Interrupt interrupt;
    // Called from the thread that called `search`, at most every 100 ms, with the seconds since the
    // start and the lowest cost found so far.
    Progress progress;
    // Orders a network by the caller's exact search (the tables, which the trees never see), for
    // the last rounds of rebuilds, on parts of at most tuning.exact_most_leaves leaves; called from worker threads, it
    // answers nothing when `halt` turns true. Null: no such rounds.
    std::optional<Steps> (*exact)(void* context, const Network& network, const std::atomic<bool>& halt) = nullptr;
    void* exact_context = nullptr;
};

// The best tree under the settings' objective found for `network` within their budget; it is
// never worse than the plain greedy tree of the network in canonical order (canonical.hpp), which
// is what the search sees. Without a deadline the result depends only on the network (not on the
// numbering of inputs and axes that colour refinement tells apart), the seed, tuning and exact
// settings. Throws
// util::InvalidValue for a bad network, util::Interrupted, std::bad_alloc, or std::system_error
// when no thread can start.
Tree search(const Network& network, const Settings& settings);

}  // namespace plenexa::trees
