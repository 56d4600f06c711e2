// The driver: plenexa_paths' searches, above the tables (src/optimiser) and the tree search
// (src/trees). Per call it splits the network into components, chooses per component between
// the tables under a greedy bound and the anytime tree search, refines, and joins the results.
// See docs/architecture.md.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "driver/strategy.hpp"
#include "optimiser/optimiser.hpp"
#include "vocabulary/vocabulary.hpp"

namespace plenexa::driver {

// What a caller asks of one search; the strategy supplies what it leaves unset.
struct Query {
    optimiser::Caps caps;                // fixed_mem_cap: mem_cap is a hard bound the caller set
    std::optional<uint64_t> work_limit;  // none: the strategy's for capped searches, none for exhaustive ones
    std::optional<double> max_time;      // seconds (at least 0) after which the best trees so far answer
    uint64_t seed = 0;                   // the tree search's seed: its trees depend on nothing else
    uint64_t threads = 1;                // the tree search's worker threads; its trees do not depend on them
    Objective objective;
    bool quick = false;                  // the tree search refines fewer trees, with fewer sweeps, and skips its rebuilds
    std::optional<double> rate;          // flops per second: the tree search stops once it has run as long as its
                                         // best tree would take to contract at this rate
    Progress progress;
    Interrupt interrupt;
};

// The contraction path of a network of dense ids, never costlier than a greedy one, or nothing
// when no path passes a fixed mem_cap. The network must be valid: at least one input, every id
// below `sizes.size()`, every size above 0, every output id in some input and only once (util::
// InvalidValue names a breach of the last two). Throws util::InvalidValue, util::Interrupted or
// std::bad_alloc.
std::optional<Path> find_path(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                              const std::vector<uint64_t>& sizes, const Query& query,
                              const Strategy& strategy = driver::strategy);

}  // namespace plenexa::driver
