// The knobs of the tree search: how many trials of each kind it runs and how, how it refines and
// rebuilds, and how the partitioner bisects. The values, each with the measurement that chose
// it, are the driver's strategy (src/driver/strategy.hpp); a search reads them from its Settings.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plenexa::trees {

// How the partitioner bisects one part (partition.cpp).
struct PartitionTuning {
    unsigned split_candidates{};       // bisections tried per split; the lightest larger side wins
    unsigned top_vcycles{};            // V-cycles after the first split's multilevel bisection
    uint32_t coarse_vertices{};        // coarsening stops at this many vertices,
    double coarsen_shrink{};           // or when a round keeps more than this share of them
    uint32_t coarse_weight_divisor{};  // a coarse vertex stands for at most 1/this of the part's inputs
    uint32_t rating_pin_limit{};       // nets with more pins do not rate matches
    unsigned initial_starts{};         // greedy growings tried on the coarsest graph
    unsigned max_passes{};             // most refinement passes per level
    uint32_t min_patience{};           // a pass gives up after max(min_patience,
    uint32_t patience_divisor{};       // vertices / patience_divisor) moves past its best point
    uint32_t flow_least_vertices{};    // bisections of parts of at least this many inputs,
    uint32_t flow_most_vertices{};     // and at most this many, end with flow steps,
    double flow_alpha{};               // whose regions first get this many times the balance's slack,
    unsigned flow_rounds{};            // at most this many of them
};

// How the anytime search spends its budget (anytime.cpp).
struct Tuning {
    unsigned sure_trials{};       // random greedy trials built with the plain greedy tree, even after the deadline
    unsigned trials{};            // most random greedy trials; trial t draws from a seed derived from (seed, t)
    uint64_t greedy_work{};       // random greedy trials stop after the round in which their scored pairs pass this many
    unsigned partition_trials{};  // most partition trials (none on a path-like network: see path_like)
    unsigned below_trials{};      // then most partition trials that keep the best partition tree's splits
    unsigned below_depth{};       // of its first 1, 2, ..., below_depth levels (a run of trials each)
    unsigned elimination_trials{};  // most elimination trials (only where an axis has three or more holders)
    unsigned fill_trials{};       // then most elimination trials that weigh fill (at most elimination_trials),
    double max_fill{};            // its weight drawn uniformly from [0, max_fill)
    unsigned round{};             // trials of each kind run in rounds of this many
    unsigned idle_rounds{};       // a kind of trial stops after this many rounds in a row without a cheaper tree
    unsigned refine_trees{};      // most of the best distinct trees the windows refine, each builder's in turn,
    unsigned refine_idle_rounds{};  // in rounds of one per builder that stop after this many in a row without a cheaper tree
    unsigned sweeps{};            // most window sweeps over each refined tree
    unsigned window{};            // most leaves per window, 3 to max_window
    unsigned crowded_path_window{};  // most leaves per window on a path-like network with an axis of 3+ holders
    double min_alpha_root{};      // random greedy trials draw alpha as r^2 for r uniform in
    double max_alpha_root{};      // [min_alpha_root, max_alpha_root),
    double min_temperature{};     // and the temperature log-uniformly from
    double max_temperature{};     // [min_temperature, max_temperature)
    double min_jitter{};          // a restart's fresh greedy trial has no jitter half the time, else one
    double max_jitter{};          // log-uniform in [min_jitter, max_jitter) (see GreedyParams)
    double max_beta{};            // elimination trials draw beta uniformly from [0, max_beta)
    double max_elimination_temperature{};  // and the temperature from [0, max_elimination_temperature)
    double min_imbalance{};       // partition trials draw the first split's imbalance from
    double max_root_imbalance{};  // [min_imbalance, max_root_imbalance),
    double min_deep_imbalance{};  // the later splits' from [min_deep_imbalance, max_imbalance),
    unsigned min_leaf_part{};     // and the leaf part size from [min_leaf_part,
    unsigned max_leaf_part{};     // max_leaf_part]
    double learn_explore{};       // once a round of partition trials is done, a trial draws afresh with this chance,
    unsigned learn_parents{};     // or else nudges the parameters of one of this many best trials so far
    double learn_spread{};        // by at most this share of each parameter's range
    bool rebuild{};               // end with the rebuilds of the best tree's costliest parts
    size_t rebuilt_parts{};       // most disjoint parts one round of rebuilds takes
    uint32_t rebuild_most_leaves{};  // most leaves of a rebuilt part
    double rebuild_least_share{};    // least share of the tree's cost a rebuilt part holds
    unsigned rebuild_attempts{};     // trees built per part
    unsigned rebuild_sweeps{};       // window sweeps refining each of them
    unsigned rebuild_idle_rounds{};  // rounds in a row that replace nothing, after which rebuilds stop
    unsigned rebuild_rounds{};       // most rounds of rebuilds
    uint32_t exact_most_leaves{};    // most leaves of a part ordered by the caller's exact search
    unsigned exact_idle_rounds{};    // rounds in a row of those that replace nothing, after which they stop
    unsigned restart_every{};        // past the default effort, every this-many-th round restarts from a new seed,
    double restart_greedy_within{};  // with greedy trials unless the default effort's best greedy tree cost more than this many times its best partition tree
    uint64_t restart_greedy_work{};  // a restart's greedy trials stop for idle rounds only once their pairs scored pass this many
    unsigned anneals{};              // annealing runs in one round of the improvement
    unsigned anneal_moves{};         // rotations per internal node of one annealing run
    double anneal_start_temperature{};  // an annealing run's temperature falls geometrically from this
    double anneal_end_temperature{};    // to this (log2 units of the tree's flops)
    double rate_most_efforts{};      // a search improving under a rate alone takes at most this many times its default effort
    PartitionTuning partition;
};

}  // namespace plenexa::trees
