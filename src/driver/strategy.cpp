#include "driver/strategy.hpp"

#include <cstdio>
#include <string>
#include <type_traits>

namespace plenexa::driver {

// One line per knob, in the order of the struct.
std::string Strategy::describe() const {
    std::string text;
    const auto line = [&](const char* name, auto value) {
        text += name;
        text += " = ";
        if constexpr (std::is_same_v<decltype(value), bool>) {
            text += value ? "true" : "false";
        } else if constexpr (std::is_floating_point_v<decltype(value)>) {
            char number[32];
            std::snprintf(number, sizeof number, "%g", value);
            text += number;
        } else {
            text += std::to_string(value);
        }
        text += '\n';
    };
    line("anytime_from", anytime_from);
    line("work_limit", work_limit);
    line("exhaustive_growth", exhaustive_growth);
    line("capped_growth", capped_growth);
    line("refine", refine);
    line("max_threads", max_threads);
    line("exact_order_work", exact_order_work);
    line("large_component", large_component);
    line("absorb_compare_most", absorb_compare_most);
    line("absorb_least_share", absorb_least_share);
    line("large_most_division", large_most_division);
    line("large_least_refine_trees", large_least_refine_trees);
    line("quick_refine_trees", quick_refine_trees);
    line("quick_sweeps", quick_sweeps);
    line("trees.sure_trials", trees.sure_trials);
    line("trees.trials", trees.trials);
    line("trees.greedy_work", trees.greedy_work);
    line("trees.partition_trials", trees.partition_trials);
    line("trees.below_trials", trees.below_trials);
    line("trees.below_depth", trees.below_depth);
    line("trees.elimination_trials", trees.elimination_trials);
    line("trees.fill_trials", trees.fill_trials);
    line("trees.max_fill", trees.max_fill);
    line("trees.round", trees.round);
    line("trees.idle_rounds", trees.idle_rounds);
    line("trees.refine_trees", trees.refine_trees);
    line("trees.refine_idle_rounds", trees.refine_idle_rounds);
    line("trees.sweeps", trees.sweeps);
    line("trees.window", trees.window);
    line("trees.crowded_path_window", trees.crowded_path_window);
    line("trees.min_alpha_root", trees.min_alpha_root);
    line("trees.max_alpha_root", trees.max_alpha_root);
    line("trees.min_temperature", trees.min_temperature);
    line("trees.max_temperature", trees.max_temperature);
    line("trees.min_jitter", trees.min_jitter);
    line("trees.max_jitter", trees.max_jitter);
    line("trees.max_beta", trees.max_beta);
    line("trees.max_elimination_temperature", trees.max_elimination_temperature);
    line("trees.min_imbalance", trees.min_imbalance);
    line("trees.max_root_imbalance", trees.max_root_imbalance);
    line("trees.min_deep_imbalance", trees.min_deep_imbalance);
    line("trees.min_leaf_part", trees.min_leaf_part);
    line("trees.max_leaf_part", trees.max_leaf_part);
    line("trees.learn_explore", trees.learn_explore);
    line("trees.learn_parents", trees.learn_parents);
    line("trees.learn_spread", trees.learn_spread);
    line("trees.rebuild", trees.rebuild);
    line("trees.rebuilt_parts", trees.rebuilt_parts);
    line("trees.rebuild_most_leaves", trees.rebuild_most_leaves);
    line("trees.rebuild_least_share", trees.rebuild_least_share);
    line("trees.rebuild_attempts", trees.rebuild_attempts);
    line("trees.rebuild_sweeps", trees.rebuild_sweeps);
    line("trees.rebuild_idle_rounds", trees.rebuild_idle_rounds);
    line("trees.rebuild_rounds", trees.rebuild_rounds);
    line("trees.exact_most_leaves", trees.exact_most_leaves);
    line("trees.exact_idle_rounds", trees.exact_idle_rounds);
    line("trees.restart_every", trees.restart_every);
    line("trees.restart_greedy_within", trees.restart_greedy_within);
    line("trees.restart_greedy_work", trees.restart_greedy_work);
    line("trees.anneals", trees.anneals);
    line("trees.anneal_moves", trees.anneal_moves);
    line("trees.anneal_start_temperature", trees.anneal_start_temperature);
    line("trees.anneal_end_temperature", trees.anneal_end_temperature);
    line("trees.rate_most_efforts", trees.rate_most_efforts);
    line("trees.partition.split_candidates", trees.partition.split_candidates);
    line("trees.partition.top_vcycles", trees.partition.top_vcycles);
    line("trees.partition.coarse_vertices", trees.partition.coarse_vertices);
    line("trees.partition.coarsen_shrink", trees.partition.coarsen_shrink);
    line("trees.partition.coarse_weight_divisor", trees.partition.coarse_weight_divisor);
    line("trees.partition.rating_pin_limit", trees.partition.rating_pin_limit);
    line("trees.partition.initial_starts", trees.partition.initial_starts);
    line("trees.partition.max_passes", trees.partition.max_passes);
    line("trees.partition.min_patience", trees.partition.min_patience);
    line("trees.partition.patience_divisor", trees.partition.patience_divisor);
    line("trees.partition.flow_least_vertices", trees.partition.flow_least_vertices);
    line("trees.partition.flow_most_vertices", trees.partition.flow_most_vertices);
    line("trees.partition.flow_alpha", trees.partition.flow_alpha);
    line("trees.partition.flow_rounds", trees.partition.flow_rounds);
    return text;
}

}  // namespace plenexa::driver
