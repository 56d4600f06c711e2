#include "driver/strategy.hpp"

#include <string>
#include <type_traits>

namespace plenexa::driver {

std::string Strategy::describe() const {
    std::string text;
    const auto line = [&](const char* name, auto value) {
        text += name;
        text += " = ";
        if constexpr (std::is_same_v<decltype(value), bool>) text += value ? "true" : "false";
        else text += std::to_string(value);
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
    line("large_most_division", large_most_division);
    line("large_least_refine_trees", large_least_refine_trees);
    line("quick_refine_trees", quick_refine_trees);
    line("quick_sweeps", quick_sweeps);
    return text;
}

}  // namespace plenexa::driver
