// The driver's flow of one call (see driver.hpp and docs/architecture.md): the query resolved by
// the strategy into settings; then the shortcuts of one input, a shared pair and the small-call
// search; then the components, each solved by the tree search or by the tables under a greedy
// bound (refined by windows, "size" ties broken by flops), and joined at the least cost.
#include "driver/driver.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>

#include "driver/absorb.hpp"
#include "driver/run.hpp"
#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/small.hpp"
#include "util/failure.hpp"

namespace plenexa::driver {

using optimiser::saturated;

namespace {

// Refuses an output id that no input holds, or that the output names twice.
void check_output(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output, size_t n_ids) {
    if (inputs.empty()) throw util::InvalidValue("terms is empty");
    std::vector<uint8_t> used(n_ids, 0);
    for (const auto& input : inputs)
        for (uint64_t id : input) used[id] = 1;
    for (uint64_t id : output) {
        if (!used[id]) throw util::InvalidValue("output id " + std::to_string(id) + " is in no term");
        if (used[id] == 2) throw util::InvalidValue("output id " + std::to_string(id) + " repeats");
        used[id] = 2;
    }
}

// The query's settings under the strategy.
Settings settings_of(const Query& query, const Strategy& strategy) {
    const bool exhaustive = query.caps.hash_map_cap == max_u64;
    Settings settings{.caps = query.caps,
                      .growth = exhaustive ? strategy.exhaustive_growth : strategy.capped_growth,
                      .work_limit = query.work_limit.value_or(exhaustive ? max_u64 : strategy.work_limit),
                      .deadline = std::nullopt,
                      .rate = query.rate.value_or(0),
                      .anytime_from = strategy.anytime_from,
                      .refine = strategy.refine,
                      .objective = query.objective,
                      .seed = query.seed,
                      .threads = static_cast<unsigned>(std::clamp<uint64_t>(query.threads, 1, strategy.max_threads)),
                      .quick = query.quick,
                      .progress = query.progress,
                      .interrupt = query.interrupt,
                      .strategy = &strategy};
    // An infinite max_time is no budget at all: the default effort, as without one (a search
    // improving until then would never end).
    if (query.max_time && std::isfinite(*query.max_time))
        settings.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(std::min(*query.max_time, 1e9)));
    // A budget is spent: the tree search improves until it (quick searches are asked for speed).
    if (!query.quick && (settings.deadline || settings.rate > 0))
        settings.improve_until = settings.deadline.value_or(Clock::time_point::max());
    return settings;
}

// The small-call search's path, where it answers for the driver: it has no greedy bound, so only
// for flops, below a cap at which its tables hold every subgraph, for a call of one component
// (the driver joins components its own way), and only when it finds a path.
std::optional<Path> small_path(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                               const std::vector<uint64_t>& sizes, const Settings& settings) {
    std::optional<Path> small;
    if (settings.objective.measure != Measure::flops || settings.caps.hash_map_cap < optimiser::small_table_room ||
        !optimiser::find_small(inputs, output, sizes, settings.caps, true, small))
        return std::nullopt;
    return small;
}

// True when the tables' compiled widths hold a component of k inputs over `n_axes` axes.
bool within_tables(size_t k, size_t n_axes) {
    return k <= size_t{optimiser::max_wide_subgraph_words} * 64 && n_axes <= size_t{optimiser::max_wide_axis_words} * 64;
}

// True when the component goes to the tree search: from `anytime_from` inputs on, and (where the
// call runs a tree search at all) any component beyond the tables' widths or whose greedy tree
// costs 2^64 or more, whatever its size. The tables' 64-bit costs saturate there and tie, where
// the tree search compares in doubles: on components of 27 to 62 tensors with bonds of 64 to
// 1,000, 2.4 to 117 times cheaper paths; with every size 2^63 on 3-regular graphs of 40 to 62
// vertices, 10^19 to 10^113 times less than opt_einsum's greedy path, where the tables had cost up
// to 10^37.6 times more.
bool by_trees(const Settings& settings, const Component& comp) {
    const size_t k = comp.inputs.size();
    const bool trees = settings.anytime_from != std::numeric_limits<size_t>::max();
    return k >= settings.anytime_from || (trees && k >= 2 && (!within_tables(k, comp.n_axes) || past_integers(comp)));
}

// The call's components, each refused before any search when neither the tables nor the tree
// search can take it.
std::vector<Component> components(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                                  const std::vector<uint64_t>& sizes, const Settings& settings) {
    std::vector<Component> comps = optimiser::split(inputs, output, sizes);
    for (const Component& comp : comps) {
        if (comp.inputs.size() >= 2 && settings.caps.hash_map_cap == 0) throw util::InvalidValue(optimiser::detail::zero_cap);
    }
    for (const Component& comp : comps) {
        const size_t k = comp.inputs.size();
        if (k >= 2 && !by_trees(settings, comp)) optimiser::check_component(k, comp.n_axes, settings.caps, true);
    }
    return comps;
}

// The cheaper of a greedy tree and the tables' (under the call's work limit), "size" ties broken
// by flops, then refined by windows. A component beyond the narrow search's reach stops its
// search once the cost cap passes the greedy cost; a search that cannot complete, or runs out of
// work, is answered by the greedy tree.
std::optional<Solved> by_tables(Run& run, const Component& comp) {
    const Settings& settings = run.settings;
    Call& call = run.call;
    const size_t k = comp.inputs.size();
    const Measure measure = settings.objective.measure;
    const std::optional<Solved> bound = greedy(call, comp);
    const uint32_t bound_root = bound ? bound->root : Node::leaf;
    if (bound && run.settings.progress.report) run.best = score_of(run, comp, *bound).measure;
    std::optional<Solved> result;
    call.enough = k <= 63 || !bound              ? max_u64
                  : measure == Measure::flops ? bound->cost
                                              : saturated(score_of(run, comp, *bound).measure);
    call.pulse.limit_work(settings.work_limit, settings.deadline);
    try {
        result = optimiser::solve(call, comp);
    } catch (const optimiser::WorkSpent&) {
        result.reset();
    }
    call.enough = max_u64;
    if (!result || (bound && cheaper(run, *bound, *result, comp))) result = bound;
    if (result && measure == Measure::size) result = fewest_flops_within(run, comp, *result);
    call.pulse.limit_work(max_u64, std::nullopt);
    if (!result) return std::nullopt;
    // Windows cannot improve what the exhaustive tables found (nor a search of three inputs), and
    // none run once the deadline has passed.
    const bool exhaustive = settings.caps.hash_map_cap == max_u64;
    if (settings.refine && k > 3 && !(exhaustive && result->root != bound_root) && !run.past_deadline())
        result = refined(run, comp, *result);
    return result;
}

// The cheaper of the tree search's tree and the greedy tree (the tree search's first trees follow
// other rules, and a short budget may end it with one of those); nothing when the tree search's
// breaks a fixed mem_cap.
std::optional<Solved> by_search(Run& run, const Component& comp) {
    const std::optional<Solved> tree = anytime(run, comp);
    if (!tree) return std::nullopt;
    const std::optional<Solved> bound = greedy(run.call, comp);
    return bound && cheaper(run, *bound, *tree, comp) ? bound : tree;
}

// One component's tree: an input alone; the tree search's (see by_trees; under a fixed mem_cap
// that it breaks, the tables' where they reach); the tables' otherwise. Nothing when no tree
// passes a fixed mem_cap.
std::optional<Solved> solve_component(Run& run, const Component& comp) {
    const size_t k = comp.inputs.size();
    if (k == 1) return optimiser::single(run.call, comp);
    if (by_trees(run.settings, comp)) {
        if (std::optional<Solved> tree = by_search(run, comp)) return tree;
        if (!within_tables(k, comp.n_axes)) return greedy(run.call, comp);
    }
    return by_tables(run, comp);
}

// The ids that every input holds, ascending.
std::vector<uint64_t> held_by_all(const std::vector<std::vector<uint64_t>>& inputs) {
    std::vector<uint64_t> common(inputs[0].begin(), inputs[0].end());
    std::sort(common.begin(), common.end());
    common.erase(std::unique(common.begin(), common.end()), common.end());
    for (size_t i = 1; i < inputs.size() && !common.empty(); ++i) {
        std::vector<uint64_t> ids(inputs[i].begin(), inputs[i].end());
        std::sort(ids.begin(), ids.end());
        std::vector<uint64_t> kept;
        std::set_intersection(common.begin(), common.end(), ids.begin(), ids.end(), std::back_inserter(kept));
        common = std::move(kept);
    }
    return common;
}

// The network without the ids that every input holds, when searching it gives the network's
// best path: such an id (a batch axis, the hub of a star) stays in every operand until the last
// step, so it multiplies every step's flops and every result but perhaps the last by its size,
// whatever the order. Only for flops: without those ids the network may fall apart, and the
// components of other measures are joined by flops; a fixed mem_cap would have to be scaled, so
// it keeps them too. A thousand tensors around one shared label are then scalars joined at once.
std::optional<std::vector<std::vector<uint64_t>>> without_common_ids(const std::vector<std::vector<uint64_t>>& inputs,
                                                                    std::vector<uint64_t>& output,
                                                                    const Settings& settings) {
    if (inputs.size() < 3 || settings.caps.fixed_mem_cap || settings.objective.measure != Measure::flops)
        return std::nullopt;
    const std::vector<uint64_t> common = held_by_all(inputs);
    if (common.empty()) return std::nullopt;
    const auto shared = [&](uint64_t id) { return std::binary_search(common.begin(), common.end(), id); };
    std::vector<std::vector<uint64_t>> reduced;
    reduced.reserve(inputs.size());
    for (const auto& input : inputs) {
        reduced.emplace_back();
        std::copy_if(input.begin(), input.end(), std::back_inserter(reduced.back()), [&](uint64_t id) { return !shared(id); });
    }
    std::erase_if(output, shared);
    return reduced;
}

std::optional<Path> search_unabsorbed(const std::vector<std::vector<uint64_t>>& inputs,
                                      const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes,
                                      const Settings& settings);

// The path of a large network whose vectors and matrices are first absorbed into neighbours that
// they do not grow (absorb.hpp), the reduced network searched; nothing when the absorptions would
// remove less than the strategy's absorb_least_share of the inputs.
// Only networks that reach the tree search: the tables are exact on smaller ones, where a raw
// network costs them no more than a reduced one. Not under a fixed mem_cap, whose breach the
// absorptions would have to be checked for, nor for "size", whose largest result they may be.
// Networks of up to the strategy's absorb_compare_most inputs, and path-like ones of any size, are
// searched raw as well, and the cheaper path answers.
std::optional<Path> absorbed_path(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                                  const std::vector<uint64_t>& sizes, const Settings& settings) {
    if (inputs.size() < settings.anytime_from || settings.caps.fixed_mem_cap || settings.objective.measure == Measure::size)
        return std::nullopt;
    const Absorbed absorbed = absorb(inputs, output, sizes);
    if (absorbed.steps.empty() ||
        static_cast<double>(absorbed.steps.size()) < settings.strategy->absorb_least_share * static_cast<double>(inputs.size()))
        return std::nullopt;
    const bool compare =
        inputs.size() <= settings.strategy->absorb_compare_most || path_like_whole(inputs, output, sizes);
    NumberedPath reduced;
    if (absorbed.inputs.size() > 1) {
        // The reduced network gets half the time to improve in when the raw one is searched too.
        Settings half = settings;
        if (compare && half.improve_until) half.improve_until = share_of(*half.improve_until, 0.5);
        const std::optional<Path> path = search(absorbed.inputs, output, sizes, half);
        if (!path) return std::nullopt;
        reduced = optimiser::detail::numbered_from_path(*path, absorbed.inputs.size());
    }
    const Numbered whole = splice(absorbed, inputs.size(), reduced);
    if (compare) {
        std::optional<Path> raw = search_unabsorbed(inputs, output, sizes, settings);
        if (raw && score_whole(settings, inputs, output, sizes, optimiser::detail::numbered_from_path(*raw, inputs.size())) <
                       score_whole(settings, inputs, output, sizes, whole))
            return raw;
    }
    return optimiser::detail::path_from_numbered(whole, inputs.size());
}

// The path of a network of two or more inputs that no shortcut answers, without absorbing its
// vectors and matrices: the labels every input holds set aside, then the components solved and
// joined.
std::optional<Path> search_unabsorbed(const std::vector<std::vector<uint64_t>>& inputs,
                                      const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes,
                                      const Settings& settings) {
    std::vector<uint64_t> kept_output = output;
    if (const auto reduced = without_common_ids(inputs, kept_output, settings)) return search(*reduced, kept_output, sizes, settings);
    const std::vector<Component> comps = components(inputs, output, sizes, settings);
    Run run(settings);
    run.call.tree.reserve(2 * inputs.size());
    std::vector<Solved> solved;
    solved.reserve(comps.size());
    // The time to improve in is shared among the tree searches by their inputs.
    size_t tree_inputs = 0;
    for (const Component& comp : comps)
        if (by_trees(settings, comp)) tree_inputs += comp.inputs.size();
    for (const Component& comp : comps) {
        if (settings.improve_until && by_trees(settings, comp)) {
            run.improve_until = share_of(*settings.improve_until, static_cast<double>(comp.inputs.size()) / tree_inputs);
            tree_inputs -= comp.inputs.size();
        }
        const std::optional<Solved> tree = solve_component(run, comp);
        if (!tree) return std::nullopt;
        solved.push_back(*tree);
    }
    return optimiser::path_of(run.call, join_cheaply(run, comps, solved), inputs.size());
}

}  // namespace

Clock::time_point share_of(Clock::time_point until, double share) {
    if (until == Clock::time_point::max()) return until;
    const Clock::time_point now = Clock::now();
    if (until <= now) return until;
    return now + std::chrono::duration_cast<Clock::duration>((until - now) * share);
}

bool Run::check(void* context) {
    Run& run = *static_cast<Run*>(context);
    const Clock::time_point now = Clock::now();
    if (now - run.last_report >= progress_interval && std::isfinite(run.best)) {
        run.last_report = now;
        run.settings.progress.report(run.settings.progress.context, std::chrono::duration<double>(now - run.start).count(),
                                     run.best);
    }
    const Interrupt& caller = run.settings.interrupt;
    return caller.check && caller.check(caller.context);
}

std::optional<Path> search(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                           const std::vector<uint64_t>& sizes, const Settings& settings) {
    const size_t n = inputs.size();
    if (n == 1) return Path{Step(0)};
    if (n == 0) util::panic_index(0, 0);
    if (std::optional<Path> pair = optimiser::shared_pair(inputs, settings.caps, true)) return pair;
    if (std::optional<Path> small = small_path(inputs, output, sizes, settings)) return small;
    if (std::optional<Path> path = absorbed_path(inputs, output, sizes, settings)) return path;
    return search_unabsorbed(inputs, output, sizes, settings);
}

std::optional<Path> find_path(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                              const std::vector<uint64_t>& sizes, const Query& query, const Strategy& strategy) {
    check_output(inputs, output, sizes.size());
    return search(inputs, output, sizes, settings_of(query, strategy));
}

}  // namespace plenexa::driver
