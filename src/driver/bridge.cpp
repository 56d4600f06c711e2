// The bridges between the tables' trees and the tree search of src/trees: a component as a
// network, a tree of either kind as the other, the tree search and the windows run on a
// component, the comparison of two trees under the objective, and the tables as the tree
// search's exact order of a part (trees::Settings::exact).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <tuple>

#include "driver/run.hpp"
#include "optimiser/bits.hpp"
#include "optimiser/detail.hpp"
#include "trees/anytime.hpp"
#include "trees/greedy.hpp"
#include "trees/random.hpp"
#include "trees/refine.hpp"
#include "util/failure.hpp"

namespace plenexa::driver {

using optimiser::mul_saturating;
using optimiser::push_node;
using optimiser::saturated;

namespace {

// The component as a network for the tree search: its local axes, their sizes and output marks.
trees::Network network_of(const Component& comp) {
    trees::Network network;
    network.inputs.resize(comp.inputs.size());
    for (size_t j = 0; j < comp.inputs.size(); ++j) {
        network.inputs[j].assign(comp.axes.begin() + comp.axis_start[j], comp.axes.begin() + comp.axis_start[j + 1]);
        std::sort(network.inputs[j].begin(), network.inputs[j].end());
    }
    network.sizes = comp.sizes;
    network.output = comp.in_output;
    return network;
}

// The steps of the tree under `root` of the call's tree, numbered over the component's inputs
// (numbers below k are its inputs, step t makes k + t), in post-order.
trees::Steps local_steps(const Call& call, const Component& comp, uint32_t root) {
    // Numbered past every input number, the steps tell apart from the inputs' own numbers.
    constexpr uint64_t first_step = uint64_t{1} << 32;
    const uint32_t k = static_cast<uint32_t>(comp.inputs.size());
    const auto local = [&](uint64_t number) {
        if (number >= first_step) return k + static_cast<uint32_t>(number - first_step);
        return static_cast<uint32_t>(std::lower_bound(comp.inputs.begin(), comp.inputs.end(), number) -
                                     comp.inputs.begin());
    };
    trees::Steps steps;
    for (const auto& [a, b] : optimiser::detail::number_tree(call.tree, root, first_step)) steps.push_back({local(a), local(b)});
    return steps;
}

// Adds a tree of the search of src/trees over the component's inputs to the call's tree.
Solved adopt(Call& call, const Component& comp, const trees::Tree& tree) {
    const uint32_t k = static_cast<uint32_t>(comp.inputs.size());
    std::vector<uint32_t> node_of;
    node_of.reserve(2 * k);
    for (uint32_t j = 0; j < k; ++j) node_of.push_back(push_node(call.tree, {Node::leaf, comp.inputs[j]}));
    for (const auto& [a, b] : trees::steps_of(tree)) node_of.push_back(push_node(call.tree, {node_of[a], node_of[b]}));
    uint64_t size = 1;
    for (trees::Axis axis : tree.nodes[tree.root].axes) size = mul_saturating(size, comp.sizes[axis]);
    return Solved{size, size, node_of.back(), saturated(tree.cost())};
}

// The greedy tree's cost of `network` in doubles (infinite once it passes 1.8e308); throws
// util::Interrupted when `interrupt` answers true during the build.
double greedy_cost(const trees::Network& network, const Interrupt& interrupt = {}) {
    const std::optional<trees::Tree> tree = trees::greedy(network, {}, nullptr, nullptr, &interrupt);
    if (!tree) throw util::Interrupted();
    return tree->cost();
}

// The network the tree search sees: `network` itself, unless its plain greedy tree's cost
// overflows a double, where every comparison of the search would tie at infinity. Then its sizes
// are rooted (see `rooted`) until that cost fits. Sizes of 2^63 on 3-regular graphs of 80 to 130
// vertices cost up to 10^246 times opt_einsum's greedy path without it.
// Rooting stops once it leaves the sizes as they were (sizes of 2 stay 2): the greedy tree, and
// its cost, would be the same again (on a model count of 15,600 tensors, six builds of 8 s).
trees::Network within_doubles(const trees::Network& network, const Interrupt& interrupt) {
    trees::Network compressed = network;
    for (unsigned k = 2; k <= max_root && !std::isfinite(greedy_cost(compressed, interrupt)); k *= 2) {
        std::vector<uint64_t> sizes = rooted(network.sizes, k);
        if (sizes == compressed.sizes) break;
        compressed.sizes = std::move(sizes);
    }
    return compressed;
}

// True when an intermediate of `tree` (its result included) is too large for a fixed mem_cap.
bool breaks_mem_cap(const Run& run, const trees::Tree& tree) {
    if (!run.settings.caps.fixed_mem_cap) return false;
    for (uint32_t i = tree.inputs; i < tree.nodes.size(); ++i)
        if (tree.nodes[i].size >= static_cast<double>(run.call.caps.mem_cap)) return true;
    return false;
}

// The tables' order of a part of a tree-search tree (the caller's hash_map_cap; the greedy order
// once the strategy's exact_order_work units of work are spent), as steps over the part's
// inputs; nothing when the tree search halts or the part is beyond the tables' reach.
std::optional<trees::Steps> exact_order(void* context, const trees::Network& network, const std::atomic<bool>& halt) {
    const Settings& caller = static_cast<const Run*>(context)->settings;
    std::vector<std::vector<uint64_t>> inputs;
    for (const trees::Axes& axes : network.inputs) inputs.emplace_back(axes.begin(), axes.end());
    std::vector<uint64_t> output;
    for (size_t axis = 0; axis < network.output.size(); ++axis)
        if (network.output[axis]) output.push_back(axis);
    // The tables under a greedy bound and a small work limit, alone: no tree search, no windows.
    Settings settings;
    settings.work_limit = caller.strategy->exact_order_work;
    settings.deadline = caller.deadline;
    settings.interrupt = {[](void* flag) { return static_cast<const std::atomic<bool>*>(flag)->load(); },
                          const_cast<std::atomic<bool>*>(&halt)};
    settings.strategy = caller.strategy;
    settings.caps.hash_map_cap = caller.caps.hash_map_cap;
    std::optional<Path> path;
    try {
        path = search(inputs, output, network.sizes, settings);
    } catch (const util::Interrupted&) {
        return std::nullopt;
    } catch (const util::InvalidValue&) {
        return std::nullopt;  // too many axes for the tables: the part keeps the trials' order
    }
    if (!path) return std::nullopt;
    const auto n = static_cast<uint32_t>(inputs.size());
    std::vector<uint32_t> nodes(n);
    for (uint32_t i = 0; i < n; ++i) nodes[i] = i;
    trees::Steps steps;
    for (const Step& step : *path) {
        if (step.size() != 2) return std::nullopt;  // a lone input: no pair to order
        const uint32_t a = nodes[step[0]], b = nodes[step[1]];
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(std::max(step[0], step[1])));
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(std::min(step[0], step[1])));
        nodes.push_back(n + static_cast<uint32_t>(steps.size()));
        steps.push_back({a, b});
    }
    return steps;
}

}  // namespace

std::vector<uint64_t> rooted(const std::vector<uint64_t>& sizes, unsigned k) {
    std::vector<uint64_t> out = sizes;
    for (uint64_t& size : out) {
        if (size <= 1) continue;
        const double root = trees::portable_exp2(trees::portable_log(static_cast<double>(size)) * trees::inverse_ln2 / k);
        size = std::max<uint64_t>(2, static_cast<uint64_t>(root + 0.5));
    }
    return out;
}

bool past_integers(const Component& comp) {
    // Every step costs at most the product of every size, and there are fewer steps than inputs.
    uint64_t bound = comp.inputs.size();
    for (const uint64_t size : comp.sizes) bound = mul_saturating(bound, size);
    return bound == max_u64 && !(greedy_cost(trees::checked(network_of(comp))) < 0x1p64);
}

// The anytime tree search's tree for a component, or nothing when it breaks a fixed mem_cap.
std::optional<Solved> anytime(Run& run, const Component& comp) {
    const Settings& given = run.settings;
    const Strategy& strategy = *given.strategy;
    trees::Settings settings;
    settings.seed = given.seed;
    settings.threads = given.threads;
    settings.deadline = given.deadline;
    settings.rate = given.rate;
    settings.improve_until = run.improve_until;
    settings.interrupt = given.interrupt;
    settings.progress = given.progress;
    settings.objective = given.objective;
    settings.exact = &exact_order;
    settings.exact_context = &run;
    trees::Tuning& tuning = settings.tuning;
    tuning = strategy.trees;
    if (given.quick) {
        tuning.refine_trees = strategy.quick_refine_trees;
        tuning.sweeps = strategy.quick_sweeps;
        tuning.rebuild = false;
    }
    const size_t k = comp.inputs.size();
    if (k > strategy.large_component) {
        const unsigned scale = static_cast<unsigned>(std::min<size_t>(k / strategy.large_component, strategy.large_most_division));
        tuning.trials = std::max(tuning.round, tuning.trials / scale);
        tuning.partition_trials = std::max(tuning.round, tuning.partition_trials / scale);
        tuning.below_trials = std::max(tuning.round, tuning.below_trials / scale);
        tuning.refine_trees = std::max(strategy.large_least_refine_trees, tuning.refine_trees / scale);
    }
    const trees::Network network = trees::checked(network_of(comp));
    const trees::Tree found = trees::search(within_doubles(network, given.interrupt), settings);
    // The tree again over the true sizes, for its sizes and cost.
    const trees::Tree tree = trees::tree_from_steps(network, trees::steps_of(found));
    if (breaks_mem_cap(run, tree)) return std::nullopt;
    return adopt(run.call, comp, tree);
}

// `solved` improved by the exact windows of src/trees, when they find a better tree under the
// call's objective that a fixed mem_cap allows.
Solved refined(Run& run, const Component& comp, const Solved& solved) {
    const trees::Network network = within_doubles(trees::checked(network_of(comp)), run.settings.interrupt);
    trees::Tree tree = trees::tree_from_steps(network, local_steps(run.call, comp, solved.root));
    const Objective& objective = run.settings.objective;
    const trees::Score before = trees::score(tree, objective);
    trees::RefineSettings settings;
    settings.window = run.settings.strategy->trees.window;
    settings.sweeps = run.settings.strategy->trees.sweeps;
    settings.objective = objective;
    settings.deadline = run.settings.deadline;
    trees::refine(network, tree, settings);
    if (!(trees::score(tree, objective) < before)) return solved;
    tree = trees::tree_from_steps(trees::checked(network_of(comp)), trees::steps_of(tree));
    if (breaks_mem_cap(run, tree)) return solved;
    return adopt(run.call, comp, tree);
}

namespace {

// A whole network of dense ids as the tree search's network.
trees::Network network_of_whole(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                                const std::vector<uint64_t>& sizes) {
    trees::Network raw;
    for (const auto& input : inputs) {
        trees::Axes axes;
        for (const uint64_t id : input)
            if (std::find(axes.begin(), axes.end(), id) == axes.end()) axes.push_back(static_cast<trees::Axis>(id));
        raw.inputs.push_back(std::move(axes));
    }
    raw.sizes = sizes;
    raw.output.assign(sizes.size(), 0);
    for (const uint64_t id : output) raw.output[id] = 1;
    return trees::checked(std::move(raw));
}

}  // namespace

bool path_like_whole(const std::vector<std::vector<uint64_t>>& inputs, const std::vector<uint64_t>& output,
                     const std::vector<uint64_t>& sizes) {
    return trees::path_like(network_of_whole(inputs, output, sizes));
}

trees::Score score_whole(const Settings& settings, const std::vector<std::vector<uint64_t>>& inputs,
                         const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes, const Numbered& path) {
    const trees::Network network = network_of_whole(inputs, output, sizes);
    trees::Steps steps;
    for (const auto& [a, b] : path) steps.push_back({static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
    return trees::score(trees::tree_from_steps(network, steps), settings.objective);
}

// The score of a solved component's tree under the call's objective, replayed in doubles.
trees::Score score_of(const Run& run, const Component& comp, const Solved& solved) {
    const trees::Network network = trees::checked(network_of(comp));
    return trees::score(trees::tree_from_steps(network, local_steps(run.call, comp, solved.root)),
                        run.settings.objective);
}

// True when tree `a` is better than tree `b` under the call's objective: flops exactly while
// neither cost saturated, else (and any other measure) by a replay in doubles.
bool cheaper(const Run& run, const Solved& a, const Solved& b, const Component& comp) {
    if (run.settings.objective.measure != Measure::flops) return score_of(run, comp, a) < score_of(run, comp, b);
    if (a.cost != max_u64 && b.cost != max_u64) return a.cost < b.cost;
    const trees::Network network = trees::checked(network_of(comp));
    const auto flops = [&](const Solved& s) {
        return trees::tree_from_steps(network, local_steps(run.call, comp, s.root)).cost();
    };
    return flops(a) < flops(b);
}

// For "size": the tree of fewest flops among those whose intermediates are no larger than
// `solved`'s largest, by a flops search of the tables under that memory cap, or `solved` when
// that search finds none better (or runs out of work).
Solved fewest_flops_within(Run& run, const Component& comp, const Solved& solved) {
    const trees::Score score = score_of(run, comp, solved);
    const uint64_t largest = saturated(score.measure);
    if (largest == max_u64) return solved;
    Call& call = run.call;
    const auto kept = std::tuple(call.objective.measure, call.caps.mem_cap, call.caps.fixed_mem_cap, call.enough);
    call.objective.measure = Measure::flops;
    call.caps.mem_cap = std::min(call.caps.mem_cap, largest + 1);
    call.caps.fixed_mem_cap = true;
    // No tree under the cap costs fewer flops once a sweep above `solved`'s flops fails.
    call.enough = saturated(score.flops);
    std::optional<Solved> within;
    try {
        within = optimiser::solve(call, comp);
    } catch (const optimiser::WorkSpent&) {
        within.reset();
    } catch (...) {
        std::tie(call.objective.measure, call.caps.mem_cap, call.caps.fixed_mem_cap, call.enough) = kept;
        throw;
    }
    std::tie(call.objective.measure, call.caps.mem_cap, call.caps.fixed_mem_cap, call.enough) = kept;
    return within && cheaper(run, *within, solved, comp) ? *within : solved;
}

}  // namespace plenexa::driver
