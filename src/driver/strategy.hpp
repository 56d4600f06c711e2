// plenexa_paths' strategy: every knob of its searches in one value, each with the measurement
// that chose it. The driver reads it; `describe` prints it (plenexa_paths._search.strategy()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plenexa::driver {

struct Strategy {
    // Components of this many inputs or more take the anytime tree search of src/trees instead
    // of the tables, which are exact on smaller ones.
    size_t anytime_from = 64;
    // Units of search work (a left entry, or a block of 64 partners) after which a capped call's
    // searches stop and greedy trees answer: 1 to 5 s on the costliest shapes measured (stars,
    // one shared label, 3-regular graphs), so that no call at the default caps runs for minutes.
    // Exhaustive searches (hash_map_cap MAX) have no such limit: they were asked for the optimum.
    // The work limit bounds the time of a call the same way on every run.
    uint64_t work_limit = uint64_t{1} << 28;
    // Factor by which the tables' cost cap grows after a sweep that leaves a component
    // incomplete: exhaustive searches grow it by 2 (fewer merges priced above the optimum),
    // capped ones by 4 (as opt_einsum raises its cost cap).
    uint64_t exhaustive_growth = 2;
    uint64_t capped_growth = 4;
    // Improve every tables' tree of more than three inputs by the exact windows of src/trees
    // (never a tree the exhaustive tables found: windows cannot improve it).
    bool refine = true;
    // Most worker threads a search starts; more are asked for as this many.
    uint64_t max_threads = 256;
    // Work the tables may spend on one part of a tree-search tree (see trees::Settings::exact):
    // parts of up to 35 leaves of the benchmark's networks take a few milliseconds; 2^20 left
    // most of them to the greedy order, 2^25 found no cheaper trees than 2^22.
    uint64_t exact_order_work = uint64_t{1} << 22;
    // Components of more inputs than this get fewer tree-search trials and refinements: beyond a
    // thousand tensors a trial and a refinement take long enough that fewer of each keep a call
    // within seconds (trials and refinements divided by k / large_component, at most by
    // large_most_division; a round of trials and large_least_refine_trees trees remain).
    size_t large_component = 1000;
    unsigned large_most_division = 8;
    unsigned large_least_refine_trees = 2;
    // A quick tree search refines this many trees with at most this many sweeps each, and skips
    // the rebuilds. Measured as plan's re-searches on bench/sliced.py's 14 rows: a third to a
    // quarter of the time of a full search; the plans' flops the same on 10 rows and 2-8% higher
    // on four (the 3-regular graph of 128 tensors and the 7 x 7 circuit); 2 trees of 12 sweeps
    // and 16 trials of each kind took less time, but cost 3 times more on the circuit.
    unsigned quick_refine_trees = 4;
    unsigned quick_sweeps = 6;

    // Every knob with its value, one per line ("name = value").
    std::string describe() const;
};

// The strategy plenexa_paths runs.
inline constexpr Strategy strategy{};

}  // namespace plenexa::driver
