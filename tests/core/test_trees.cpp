// Unit tests of the tree search for large networks: every builder's trees checked for validity
// and cost by an independent replay, the window program against brute force and known optima,
// the bisection's parts, balance and cuts, determinism across seeds and thread counts,
// interruption, deadlines and bad input.
#include <algorithm>
#include <atomic>
#include <limits>
#include <chrono>
#include <cmath>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "driver/strategy.hpp"
#include "trees/anneal.hpp"
#include "trees/anytime.hpp"
#include "trees/eliminate.hpp"
#include "trees/greedy.hpp"
#include "trees/partition.hpp"
#include "trees/refine.hpp"
#include "trees/subtree.hpp"
#include "util/failure.hpp"

namespace {

using namespace plenexa;
using namespace plenexa::trees;
using AxisSet = std::set<uint32_t>;

// plenexa_paths' tuning of the tree search, which these tests exercise.
const Tuning& tuning() { return driver::strategy.trees; }

// Search settings of that tuning.
Settings tuned() {
    Settings settings;
    settings.tuning = tuning();
    return settings;
}

// The windows of that tuning, improving `objective`.
RefineSettings windows(const Objective& objective = {}) { return {tuning().window, tuning().sweeps, objective, {}}; }

// The network of `edges` (edge k is axis k), every axis of size `bond`.
Network of_edges(uint32_t n, const std::vector<std::pair<uint32_t, uint32_t>>& edges, uint64_t bond) {
    Network network;
    network.inputs.resize(n);
    for (uint32_t e = 0; e < edges.size(); ++e) {
        network.inputs[edges[e].first].push_back(e);
        network.inputs[edges[e].second].push_back(e);
    }
    network.sizes.assign(edges.size(), bond);
    return checked(network);
}

// A random simple 3-regular graph on n (even) vertices.
Network regular(uint32_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (;;) {
        std::vector<uint32_t> stubs;
        for (uint32_t v = 0; v < 3 * n; ++v) stubs.push_back(v / 3);
        std::shuffle(stubs.begin(), stubs.end(), rng);
        std::set<std::pair<uint32_t, uint32_t>> edges;
        bool simple = true;
        for (size_t i = 0; i < stubs.size() && simple; i += 2)
            simple = stubs[i] != stubs[i + 1] &&
                     edges.insert(std::minmax(stubs[i], stubs[i + 1])).second;
        if (simple) return of_edges(n, {edges.begin(), edges.end()}, 2);
    }
}

// The model count of a random 3-SAT formula: a tensor per clause over three distinct variables
// of size 2, each variable an axis of every clause that holds it (a hypergraph, closed).
Network clauses(uint32_t variables, uint32_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Network network;
    std::vector<uint32_t> used(variables, 0);
    while (network.inputs.size() < count) {
        Axes axes{static_cast<Axis>(rng() % variables), static_cast<Axis>(rng() % variables), static_cast<Axis>(rng() % variables)};
        std::sort(axes.begin(), axes.end());
        if (std::adjacent_find(axes.begin(), axes.end()) != axes.end()) continue;
        for (const Axis axis : axes) used[axis] = 1;
        network.inputs.push_back(axes);
    }
    // Every variable in some clause, so that no axis is without a holder.
    for (Axis axis = 0; axis < variables; ++axis)
        if (!used[axis]) network.inputs.push_back({axis});
    network.sizes.assign(variables, 2);
    return checked(network);
}

// A rows x columns grid of bond `bond`.
Network grid(uint32_t rows, uint32_t columns, uint64_t bond) {
    std::vector<std::pair<uint32_t, uint32_t>> edges;
    for (uint32_t r = 0; r < rows; ++r)
        for (uint32_t c = 0; c < columns; ++c) {
            if (c + 1 < columns) edges.push_back({r * columns + c, r * columns + c + 1});
            if (r + 1 < rows) edges.push_back({r * columns + c, (r + 1) * columns + c});
        }
    return of_edges(rows * columns, edges, bond);
}

// A chain of n matrices of random sizes, the open ends kept.
Network chain(uint32_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Network network;
    for (uint32_t i = 0; i < n; ++i) network.inputs.push_back({i, i + 1});
    for (uint32_t i = 0; i <= n; ++i) network.sizes.push_back(2 + rng() % 50);
    network.output.assign(n + 1, 0);
    network.output[0] = network.output[n] = 1;
    return checked(network);
}

// Random inputs of 1 to 3 of `n_axes` axes: hyperedges, exclusive and kept axes included.
Network random_network(uint32_t n, uint32_t n_axes, std::mt19937_64& rng) {
    Network network;
    network.inputs.resize(n);
    for (Axes& axes : network.inputs) {
        for (uint64_t k = 1 + rng() % 3; k > 0; --k) axes.push_back(static_cast<Axis>(rng() % n_axes));
        std::sort(axes.begin(), axes.end());
        axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
    }
    for (uint32_t a = 0; a < n_axes; ++a) {
        network.sizes.push_back(1 + rng() % 5);
        network.output.push_back(rng() % 4 == 0);
    }
    return checked(network);
}

// Whether the inputs are connected through shared axes.
bool connected(const Network& network) {
    std::vector<uint8_t> seen(network.inputs.size(), 0);
    std::vector<size_t> stack{0};
    seen[0] = 1;
    while (!stack.empty()) {
        const size_t at = stack.back();
        stack.pop_back();
        for (size_t other = 0; other < network.inputs.size(); ++other) {
            const Axes& a = network.inputs[at];
            const Axes& b = network.inputs[other];
            if (!seen[other] && std::find_first_of(a.begin(), a.end(), b.begin(), b.end()) != a.end()) {
                seen[other] = 1;
                stack.push_back(other);
            }
        }
    }
    return std::count(seen.begin(), seen.end(), 1) == static_cast<long>(seen.size());
}

// The cost of contracting live operands `a` and `b` of `live`, replacing them by the result:
// the union's size, and the result keeps what the output or another live operand holds.
double contract(std::vector<std::optional<AxisSet>>& live, size_t a, size_t b, const Network& network) {
    AxisSet both = *live[a];
    both.insert(live[b]->begin(), live[b]->end());
    live[a].reset();
    live[b].reset();
    double cost = 1;
    AxisSet kept;
    for (const uint32_t axis : both) {
        cost *= static_cast<double>(network.sizes[axis]);
        bool held = network.output[axis] != 0;
        for (const auto& other : live) held = held || (other && other->count(axis));
        if (held) kept.insert(axis);
    }
    live.push_back(kept);
    return cost;
}

// The replayed cost of `steps`, or nothing unless they use each node once and leave one root.
std::optional<double> replay(const Network& network, const Steps& steps) {
    std::vector<std::optional<AxisSet>> live;
    for (const Axes& axes : network.inputs) live.push_back(AxisSet(axes.begin(), axes.end()));
    double total = 0;
    for (const auto& [a, b] : steps) {
        if (a == b || a >= live.size() || b >= live.size() || !live[a] || !live[b]) return std::nullopt;
        total += contract(live, a, b, network);
    }
    if (std::count_if(live.begin(), live.end(), [](const auto& s) { return s.has_value(); }) != 1) return std::nullopt;
    return total;
}

// The cheapest cost over every order of the live operands (only pairs sharing an axis unless `outer`).
double brute_force(std::vector<std::optional<AxisSet>> live, const Network& network, bool outer) {
    double best = HUGE_VAL;
    for (size_t a = 0; a < live.size(); ++a)
        for (size_t b = a + 1; b < live.size(); ++b) {
            if (!live[a] || !live[b]) continue;
            const bool share = std::find_first_of(live[a]->begin(), live[a]->end(), live[b]->begin(),
                                                  live[b]->end()) != live[a]->end();
            if (!outer && !share) continue;
            std::vector<std::optional<AxisSet>> next = live;
            const double step = contract(next, a, b, network);
            best = std::min(best, step + brute_force(std::move(next), network, outer));
        }
    return best == HUGE_VAL ? 0 : best;
}

// Whether two costs agree to rounding.
bool close(double a, double b) { return std::abs(a - b) <= 1e-9 * std::max(std::abs(a), std::abs(b)); }

// Checks that `tree` is valid for `network` and costs what an independent replay says.
void check_tree(const Network& network, const Tree& tree, const std::string& label) {
    const std::optional<double> cost = replay(network, steps_of(tree));
    CHECK(cost.has_value());
    if (cost && !close(*cost, tree.cost())) {
        std::fprintf(stderr, "%s: replayed %g, tree says %g\n", label.c_str(), *cost, tree.cost());
        CHECK(false);
    }
}

// The networks that every builder is checked on.
std::vector<std::pair<std::string, Network>> table_networks() {
    std::mt19937_64 rng(5);
    std::vector<std::pair<std::string, Network>> table{
        {"single input", checked({{{0, 1}}, {3, 4}, {1, 0}})},
        {"two components", checked({{{0}, {0, 1}, {2}, {2}, {}}, {2, 3, 5}, {}})},
        {"chain of 40", chain(40, 1)},
        {"3-regular 64", regular(64, 2)},
        {"hyperedge of 30", checked({std::vector<Axes>(30, Axes{0, 1}), {3, 2}, {0, 1}})},
    };
    for (int k = 0; k < 4; ++k) table.push_back({"random " + std::to_string(k), random_network(12, 9, rng)});
    return table;
}

TEST_CASE("trees: every builder's tree is valid and costs what the replay says") {
    for (const auto& [name, network] : table_networks()) {
        const Tree plain = *greedy(network, {});
        check_tree(network, plain, name + " greedy");
        const Tree noisy = *greedy(network, {0.5, 0.3, 17});
        check_tree(network, noisy, name + " noisy greedy");
        // A jittered build's scores see other sizes; its tree is priced with the true ones.
        const Tree jittered = *greedy(network, {0.5, 0.3, 17, 0.4});
        check_tree(network, jittered, name + " jittered greedy");
        // Kept splits of two levels (input k on branch k % 2, then k / 2 % 2) are the tree's when
        // the parts they make are larger than a leaf part.
        KeptSplits kept{std::vector<uint32_t>(network.inputs.size()), 2};
        for (size_t k = 0; k < kept.path.size(); ++k) kept.path[k] = k % 4;
        for (const PartitionParams& params :
             {PartitionParams{0.1, 0.9, 2, 3, tuning().partition}, PartitionParams{0.5, 0.6, 12, 4, tuning().partition}}) {
            const Tree split = *partition_tree(network, params);
            check_tree(network, split, name + " partition");
            const Tree below = *partition_tree(network, params, nullptr, &kept);
            check_tree(network, below, name + " partition below kept splits");
            if (network.inputs.size() / 4 > params.leaf_part) {
                std::vector<uint32_t> path(network.inputs.size(), 0);
                for (std::vector<std::array<uint32_t, 3>> stack{{below.root, 0, 0}}; !stack.empty();) {
                    const auto [at, depth, bits] = stack.back();
                    stack.pop_back();
                    if (at < below.inputs) {
                        path[at] = bits;
                    } else {
                        const uint32_t right = depth < 2 ? bits | 1u << depth : bits;
                        stack.insert(stack.end(), {{below.nodes[at].left, depth + 1, bits}, {below.nodes[at].right, depth + 1, right}});
                    }
                }
                CHECK(path == kept.path);
            }
        }
        for (const EliminationParams& params : {EliminationParams{}, EliminationParams{0.8, 0.7, 9}, EliminationParams{0.3, 0.2, 5, 2.0}}) {
            const Tree eliminated = *elimination_tree(network, params);
            check_tree(network, eliminated, name + " elimination");
            CHECK(steps_of(eliminated) == steps_of(*elimination_tree(network, params)));
        }
        Tree refined = noisy;
        refine(network, refined, windows());
        check_tree(network, refined, name + " refined");
        CHECK(refined.cost() <= noisy.cost());
        // Annealing walks through costlier trees: it must leave a valid one, the same for a seed,
        // and say whether it ran its schedule to the end (a budget drops a run cut short; a tree
        // of fewer than two steps has no rotation to make).
        Tree annealed = noisy, again = noisy, cut = noisy;
        CHECK(anneal(network, annealed, {50, 1.0, 0.01, 3}));
        CHECK(anneal(network, again, {50, 1.0, 0.01, 3}));
        check_tree(network, annealed, name + " annealed");
        CHECK(steps_of(annealed) == steps_of(again));
        const std::atomic<bool> stopped{true};
        CHECK(anneal(network, cut, {50, 1.0, 0.01, 3}, &stopped) == (noisy.nodes.size() - noisy.inputs < 2));
        check_tree(network, cut, name + " annealing cut short");
        Settings settings = tuned();
        settings.tuning.trials = 8;
        const Tree best = search(network, settings);
        check_tree(network, best, name + " search");
        CHECK(best.cost() <= plain.cost());
        // The steps describe the same tree back.
        CHECK(close(tree_from_steps(network, steps_of(best)).cost(), best.cost()));
    }
}

TEST_CASE("trees: greedy breaks ties by the lowest operand numbers") {
    // A ring of four equal matrices: every pair on offer scores 4 at every step.
    const Network ring = of_edges(4, {{0, 1}, {1, 2}, {2, 3}, {3, 0}}, 2);
    CHECK_EQ(steps_of(*greedy(ring, {})), (Steps{{0, 1}, {2, 3}, {4, 5}}));
}

TEST_CASE("trees: the window program matches brute force on tiny networks") {
    std::mt19937_64 rng(3);
    for (int round = 0; round < 300; ++round) {
        const Network network = random_network(1 + rng() % 6, 1 + rng() % 7, rng);
        std::vector<std::optional<AxisSet>> live;
        for (const Axes& axes : network.inputs) live.push_back(AxisSet(axes.begin(), axes.end()));
        const std::vector<double> sizes = size_weights(network);
        const bool joined = connected(network);
        for (const bool outer : {true, false}) {
            const Order order = best_order(network.inputs, sizes, network.output, outer);
            // Disconnected operands need outer products whatever the flag says.
            const double expected = brute_force(live, network, outer || !joined);
            CHECK(close(order.cost, expected));
            const std::optional<double> replayed = replay(network, order.steps);
            CHECK(replayed && close(*replayed, order.cost));
        }
    }
}

// The flops, largest result and write of every order of the live operands that contracts only
// operands sharing an axis, each passed to `visit` with those of the steps before.
template <class Visit>
void every_order(std::vector<std::optional<AxisSet>> live, const Network& network, double flops, double largest,
                 double write, Visit&& visit) {
    bool last = true;
    for (size_t a = 0; a < live.size(); ++a)
        for (size_t b = a + 1; b < live.size(); ++b) {
            if (!live[a] || !live[b] ||
                std::find_first_of(live[a]->begin(), live[a]->end(), live[b]->begin(), live[b]->end()) == live[a]->end())
                continue;
            last = false;
            std::vector<std::optional<AxisSet>> next = live;
            const double step = contract(next, a, b, network);
            double size = 1;
            for (const uint32_t axis : *next.back()) size *= static_cast<double>(network.sizes[axis]);
            every_order(std::move(next), network, flops + step, std::max(largest, size), write + size, visit);
        }
    if (last) visit(flops, largest, write);
}

// The score of flops, largest result and write under `objective`, as the replay's measures give it.
Score score_of(double flops, double largest, double write, const Objective& objective) {
    switch (objective.measure) {
        case Measure::size: return {largest, flops};
        case Measure::write: return {write, flops};
        case Measure::combo: return {flops + objective.factor * write, flops};
        default: return {flops, flops};
    }
}

TEST_CASE("trees: each objective's score replays, whole-tree windows are exact for it, and the search keeps it") {
    const Objective objectives[] = {{Measure::flops, 64}, {Measure::size, 64}, {Measure::write, 64},
                                               {Measure::combo, 3}};
    std::mt19937_64 rng(11);
    std::vector<std::pair<std::string, Network>> networks;
    while (networks.size() < 6) {
        Network network = random_network(7, 8, rng);
        if (connected(network)) networks.push_back({"random " + std::to_string(networks.size()), network});
    }
    for (const auto& [name, network] : networks) {
        std::vector<std::optional<AxisSet>> live;
        for (const Axes& axes : network.inputs) live.push_back(AxisSet(axes.begin(), axes.end()));
        for (const Objective& objective : objectives) {
            Score best{HUGE_VAL, HUGE_VAL};
            every_order(live, network, 0, 0, 0, [&](double flops, double largest, double write) {
                best = std::min(best, score_of(flops, largest, write, objective));
            });
            // One window of all seven leaves re-optimises the whole tree.
            Tree tree = *greedy(network, {0.5, 0.3, 17});
            refine(network, tree, windows(objective));
            check_tree(network, tree, name + " refined");
            const Score got = score(tree, objective);
            CHECK(close(got.measure, best.measure) && close(got.flops, best.flops));
            // The tree's score is its steps' replay.
            std::vector<std::optional<AxisSet>> replayed = live;
            double flops = 0, largest = 0, write = 0;
            for (const auto& [a, b] : steps_of(tree)) {
                flops += contract(replayed, a, b, network);
                double size = 1;
                for (const uint32_t axis : *replayed.back()) size *= static_cast<double>(network.sizes[axis]);
                largest = std::max(largest, size);
                write += size;
            }
            const Score again = score_of(flops, largest, write, objective);
            CHECK(close(got.measure, again.measure) && close(got.flops, again.flops));
        }
    }
    for (const auto& [name, network] : table_networks()) {
        for (const Objective& objective : objectives) {
            Settings settings = tuned();
            settings.tuning.trials = 8;
            settings.objective = objective;
            const Tree best = search(network, settings);
            check_tree(network, best, name + " search");
            CHECK(!(score(*greedy(network, {}), objective) < score(best, objective)));
        }
    }
}

TEST_CASE("trees: known optima") {
    // The textbook matrix chain 30x35, 35x15, 15x5, 5x10, 10x20, 20x25: 15125 multiplications.
    Network matrices{{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}}, {30, 35, 15, 5, 10, 20, 25}, {1, 0, 0, 0, 0, 0, 1}};
    matrices = checked(matrices);
    CHECK_EQ(best_order(matrices.inputs, size_weights(matrices), matrices.output, false).cost, 15125.0);
    Tree tree = *greedy(matrices, {});
    refine(matrices, tree, windows());
    CHECK_EQ(tree.cost(), 15125.0);
    CHECK_EQ(search(matrices, tuned()).cost(), 15125.0);
}

TEST_CASE("trees: path-like networks are told apart") {
    Network hub;  // one input sharing three axes, one with each of three others
    hub.inputs = {{0, 1, 2}, {0}, {1}, {2}};
    hub.sizes.assign(3, 2);
    Network around;  // inputs around one shared axis, each with an axis of its own
    for (uint32_t i = 0; i < 50; ++i) around.inputs.push_back({0, i + 1});
    around.sizes.assign(51, 3);
    const struct {
        const char* name;
        Network network;
        bool path_like;
    } cases[] = {
        {"single input", checked({{{0, 1}}, {3, 4}, {}}), true},
        {"chain of 40", chain(40, 1), true},
        {"inputs around one axis", checked(around), true},
        {"two chains apart", of_edges(6, {{0, 1}, {1, 2}, {3, 4}, {4, 5}}, 2), true},
        {"ring of 5", of_edges(5, {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 0}}, 2), false},
        {"two inputs sharing two axes", checked({{{0, 1}, {0, 1}}, {2, 3}, {}}), false},
        {"an input sharing three axes", checked(hub), false},
        {"grid 3x3", grid(3, 3, 2), false},
        {"two hyperedges over the same pair", checked({{{0, 1}, {0, 1}, {0}}, {2, 2}, {}}), false},
    };
    for (const auto& [name, network, expected] : cases) {
        if (path_like(network) != expected) std::fprintf(stderr, "%s: path_like %d\n", name, !expected);
        CHECK(path_like(network) == expected);
    }
}

// The cheapest cost of a matrix chain, by the textbook cubic dynamic program over intervals:
// matrix k is dims[k] x dims[k + 1].
double chain_optimum(const std::vector<uint64_t>& dims) {
    const size_t n = dims.size() - 1;
    std::vector<double> best(n * n, 0);
    for (size_t length = 2; length <= n; ++length)
        for (size_t i = 0; i + length <= n; ++i) {
            const size_t j = i + length - 1;
            double cheapest = HUGE_VAL;
            for (size_t k = i; k < j; ++k)
                cheapest = std::min(cheapest, best[i * n + k] + best[(k + 1) * n + j] +
                                                  static_cast<double>(dims[i] * dims[k + 1] * dims[j + 1]));
            best[i * n + j] = cheapest;
        }
    return best[n - 1];
}

TEST_CASE("trees: search comes near the optimum of matrix chains, and fast on long ones") {
    // Measured: the optimum on 30 matrices, 2% above it on 200 and 5% on 600.
    const struct {
        uint32_t n;
        uint64_t seed;
        double ratio;  // most cost over the optimum
    } cases[] = {{30, 1, 1 + 1e-9}, {200, 2, 1.04}, {600, 3, 1.08}};
    for (const auto& [n, seed, ratio] : cases) {
        const Network network = chain(n, seed);
        const double optimum = chain_optimum(network.sizes);
        const double found = search(network, tuned()).cost();
        if (!(found <= optimum * ratio))
            std::fprintf(stderr, "chain of %u: search %g, optimum %g\n", n, found, optimum);
        CHECK(found <= optimum * ratio);
        CHECK(found >= optimum * (1 - 1e-9));
    }
    // Its time is bench/large.py's to measure.
    const Network network = chain(4096, 4);
    CHECK(search(network, tuned()).cost() <= greedy(network, {})->cost());
}

TEST_CASE("trees: refinement stops where no window improves") {
    // A fresh refinement of a refined tree (refinement run until a whole cycle of window sizes finds
    // nothing) sweeps once per window size and changes nothing: the skipped windows hid no gain.
    std::vector<std::pair<std::string, Network>> table = table_networks();
    table.push_back({"grid 9x9", grid(9, 9, 2)});
    table.push_back({"3-regular 120", regular(120, 6)});
    table.push_back({"grid 12x12", grid(12, 12, 3)});
    for (const auto& [name, network] : table) {
        if (network.inputs.size() < 3) continue;
        for (const uint64_t seed : {5, 6, 7, 8}) {
            Tree tree = *greedy(network, {0.7, 0.4, seed});
            const unsigned sweeps = refine(network, tree, {12, 1000, {}, {}});
            CHECK(sweeps < 1000);
            const Steps steps = steps_of(tree);
            CHECK_EQ(refine(network, tree, {12, 1000, {}, {}}), 3u);
            if (steps_of(tree) != steps)
                std::fprintf(stderr, "%s: a second refinement changed the tree\n", name.c_str());
            CHECK(steps_of(tree) == steps);
            check_tree(network, tree, name + " refined twice");
        }
    }
}

TEST_CASE("trees: windows met again are answered by the memo as a solve answers them") {
    // The memo only spares solves: refinements with an empty memo, and with one filled by other
    // trees of the same network (flops and write), give the trees a refinement without it gives.
    std::vector<std::pair<std::string, Network>> table = table_networks();
    table.push_back({"grid 9x9", grid(9, 9, 2)});
    table.push_back({"3-regular 120", regular(120, 6)});
    for (const auto& [name, network] : table) {
        if (network.inputs.size() < 3) continue;
        for (const Objective objective : {Objective{}, Objective{Measure::write}}) {
            WindowMemo memo;
            for (const uint64_t seed : {5, 6, 7, 5}) {
                Tree alone = *greedy(network, {0.7, 0.4, seed}), shared = alone;
                refine(network, alone, {12, 1000, objective, {}});
                RefineSettings with_memo{12, 1000, objective, {}};
                with_memo.memo = &memo;
                refine(network, shared, with_memo);
                CHECK(steps_of(shared) == steps_of(alone));
            }
        }
    }
}

// The norm of a matrix product state of `sites` sites: a ket and a bra tensor per site sharing a
// physical axis of size 2, virtual bonds of 2 to 8, the physical axes of the first two sites kept.
Network mps_norm(uint32_t sites, uint64_t seed) {
    std::mt19937_64 rng(seed);
    Network network;
    for (uint32_t s = 0; s < sites; ++s) network.sizes.push_back(2);  // the physical axes
    for (int layer = 0; layer < 2; ++layer) {
        const auto first = static_cast<Axis>(network.sizes.size());
        for (uint32_t s = 0; s + 1 < sites; ++s) network.sizes.push_back(2 + rng() % 7);
        for (uint32_t s = 0; s < sites; ++s) {
            Axes axes{s};
            if (s > 0) axes.push_back(first + s - 1);
            if (s + 1 < sites) axes.push_back(first + s);
            network.inputs.push_back(axes);
        }
    }
    network.output.assign(network.sizes.size(), 0);
    network.output[0] = network.output[1] = 1;
    return checked(network);
}

TEST_CASE("trees: subtrees and windows rebuilt in place keep the tree whole and its cost exact") {
    // Each part taken out is given another tree (a noisy greedy one) and grafted back: the tree must
    // replay to its cost, which moves by exactly the part's change; then refinement of the changed
    // parts alone must leave a valid tree too.
    std::mt19937_64 rng(13);
    const std::vector<std::pair<std::string, Network>> table{
        {"3-regular 64", regular(64, 2)},     {"chain of 40", chain(40, 1)},
        {"grid 9x9", grid(9, 9, 3)},          {"MPS norm 40", mps_norm(40, 4)},
        {"random 60", random_network(60, 40, rng)},
    };
    for (const auto& [name, network] : table)
        for (const bool subtrees : {true, false}) {
            const std::string label = name + (subtrees ? " subtrees" : " windows");
            Tree tree = *greedy(network, {0.6, 0.4, 9});
            refine(network, tree, {8, 3, {}, {}});
            const auto choose = [&](double floor) {
                return subtrees ? costliest_subtrees(tree, 4, 24, 6, floor) : costliest_windows(tree, 4, 24, 6, floor);
            };
            CHECK(choose(2 * tree.cost()).empty());
            const std::vector<Window> parts = choose(0);
            CHECK(!parts.empty());
            std::set<uint32_t> taken;
            std::vector<uint32_t> changed;
            for (const Window& part : parts) {
                CHECK(part.leaves.size() > 4 && part.leaves.size() <= 24);
                CHECK_EQ(part.inside.size() + 1, part.leaves.size());
                CHECK_EQ(part.inside.front(), part.root);
                for (const uint32_t at : part.inside) CHECK(taken.insert(at).second);
                if (subtrees)
                    for (const uint32_t leaf : part.leaves) CHECK(leaf < tree.inputs);
                const Subnetwork sub = subnetwork(network, tree, part);
                CHECK_EQ(sub.network.inputs.size(), part.leaves.size());
                double before = 0;
                for (const uint32_t at : part.inside) before += tree.nodes[at].step;
                const Tree built = *greedy(sub.network, {0.2, 0.8, part.root});
                const double expected = tree.cost() - before + built.cost();
                graft(tree, part, sub, built);
                check_tree(network, tree, label + " grafted");
                CHECK(close(tree.cost(), expected));
                changed.insert(changed.end(), part.inside.begin(), part.inside.end());
            }
            const double grafted = tree.cost();
            refine(network, tree, windows(), nullptr, &changed);
            check_tree(network, tree, label + " refined where changed");
            CHECK(tree.cost() <= grafted);
        }
}

TEST_CASE("trees: search answers the same tree for any thread count and the same seed") {
  // A greedy work budget of one pair ends the greedy trials after their first round, whichever
  // thread finishes last.
  for (const uint64_t greedy_work : {tuning().greedy_work, uint64_t{1}})
  for (const Network& network : {regular(96, 8), clauses(40, 160, 2)}) {
    Settings settings = tuned();
    settings.seed = 42;
    settings.tuning.trials = 24;
    settings.tuning.greedy_work = greedy_work;
    settings.tuning.partition_trials = 24;
    settings.tuning.round = 5;
    settings.tuning.refine_trees = 3;
    settings.tuning.sweeps = 3;
    std::optional<Steps> first;
    for (const unsigned threads : {1u, 2u, 4u, 1u}) {
        settings.threads = threads;
        const Steps steps = steps_of(search(network, settings));
        if (!first) first = steps;
        CHECK(steps == *first);
    }
  }
}

// `network` written down in another order: inputs shuffled, axes renumbered, by `seed`.
Network shuffled(const Network& network, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint32_t> inputs(network.inputs.size()), axes(network.sizes.size());
    for (uint32_t i = 0; i < inputs.size(); ++i) inputs[i] = i;
    for (uint32_t a = 0; a < axes.size(); ++a) axes[a] = a;
    std::shuffle(inputs.begin(), inputs.end(), rng);
    std::shuffle(axes.begin(), axes.end(), rng);
    Network out;
    for (const uint32_t i : inputs) {
        out.inputs.emplace_back();
        for (const Axis axis : network.inputs[i]) out.inputs.back().push_back(axes[axis]);
    }
    out.sizes.resize(axes.size());
    out.output.resize(axes.size());
    for (uint32_t a = 0; a < axes.size(); ++a) {
        out.sizes[axes[a]] = network.sizes[a];
        out.output[axes[a]] = network.output.empty() ? 0 : network.output[a];
    }
    return checked(out);
}

TEST_CASE("trees: search finds the same cost however the network is written down") {
    // The search sees the inputs in an order of the network's own (colour refinement, then
    // breadth first), so a shuffled copy costs the same; its tree is valid for the copy.
    std::mt19937_64 rng(11);
    Network sized = regular(120, 3);
    for (uint64_t& size : sized.sizes) size = 2 + rng() % 3;
    Network lattice = grid(9, 9, 2);
    for (uint64_t& size : lattice.sizes) size = 2 + rng() % 2;
    const std::vector<std::pair<std::string, Network>> table{
        {"3-regular 120, bonds 2-4", sized}, {"grid 9x9, bonds 2-3", lattice}, {"chain of 70", chain(70, 4)},
        {"random 80", random_network(80, 60, rng)}};
    Settings settings = tuned();
    settings.tuning.trials = 16;
    settings.tuning.partition_trials = 16;
    for (const auto& [label, network] : table) {
        const double cost = search(network, settings).cost();
        for (const uint64_t seed : {1, 2}) {
            const Network copy = shuffled(network, seed);
            const Tree tree = search(copy, settings);
            check_tree(copy, tree, label + " shuffled");
            CHECK_EQ(tree.cost(), cost);
        }
    }
}

// The summed log2 sizes of the axes that members on both sides hold, recounted from scratch.
double cut_of(const Network& network, const std::vector<uint32_t>& members, const std::vector<uint8_t>& side) {
    AxisSet held[2];
    for (size_t k = 0; k < members.size(); ++k)
        for (const uint32_t axis : network.inputs[members[k]]) held[side[k]].insert(axis);
    double cut = 0;
    for (const uint32_t axis : held[0])
        if (held[1].count(axis)) cut += std::log2(static_cast<double>(network.sizes[axis]));
    return cut;
}

TEST_CASE("trees: bisection splits the members into two balanced sides") {
    std::mt19937_64 rng(11);
    std::vector<std::pair<std::string, Network>> table = table_networks();
    table.push_back({"grid 9x7", grid(9, 7, 3)});
    table.push_back({"chain of 301", chain(301, 4)});
    for (const auto& [name, network] : table) {
        const auto n = static_cast<uint32_t>(network.inputs.size());
        if (n < 2) continue;
        for (const double imbalance : {0.0, 0.05, 0.3, 0.9}) {
            // Every input, or a random subset of at least two.
            std::vector<uint32_t> members;
            for (uint32_t i = 0; i < n; ++i)
                if (imbalance != 0.3 || rng() % 3 != 0) members.push_back(i);
            if (members.size() < 2) members = {0, n - 1};
            std::shuffle(members.begin(), members.end(), rng);
            const std::vector<uint8_t> side = bisect(network, members, imbalance, rng(), tuning().partition);
            CHECK_EQ(side.size(), members.size());
            const auto ones = static_cast<double>(std::count(side.begin(), side.end(), 1));
            const auto zeros = static_cast<double>(std::count(side.begin(), side.end(), 0));
            CHECK_EQ(ones + zeros, static_cast<double>(members.size()));
            // Each side within (1 ± imbalance) / 2 of the members, or off the middle by half an input.
            const double half = members.size() / 2.0;
            const double slack = std::max(imbalance * half, 0.5) + 1e-9;
            if (std::abs(ones - half) > slack) {
                std::fprintf(stderr, "%s: %g of %zu on one side at imbalance %g\n", name.c_str(), ones,
                             members.size(), imbalance);
                CHECK(false);
            }
        }
    }
}

TEST_CASE("trees: bisection finds the narrow cuts") {
    // An 8x8 grid: no side of 29 to 35 cells has fewer than 8 boundary edges, and the middle
    // line has 8. Bond 4: each cut edge weighs 2 bits.
    const Network square = grid(8, 8, 4);
    std::vector<uint32_t> all(64);
    for (uint32_t i = 0; i < 64; ++i) all[i] = i;
    double best = HUGE_VAL;
    for (uint64_t seed = 0; seed < 4; ++seed) {
        const double cut = cut_of(square, all, bisect(square, all, 0.1, seed, tuning().partition));
        CHECK(cut >= 16);
        best = std::min(best, cut);
    }
    CHECK_EQ(best, 16.0);
    // Two random 3-regular graphs of 40 vertices joined by two edges: a split of 36 to 44
    // inputs per side need not cut more than those two.
    const Network one = regular(40, 21), two = regular(40, 22);
    std::vector<std::pair<uint32_t, uint32_t>> edges;
    for (const Network* half : {&one, &two}) {
        const uint32_t offset = half == &one ? 0 : 40;
        for (uint32_t axis = 0; axis < half->sizes.size(); ++axis) {
            std::vector<uint32_t> ends;
            for (uint32_t i = 0; i < 40; ++i)
                if (std::binary_search(half->inputs[i].begin(), half->inputs[i].end(), axis)) ends.push_back(offset + i);
            edges.push_back({ends[0], ends[1]});
        }
    }
    edges.push_back({0, 40});
    edges.push_back({1, 41});
    const Network joined = of_edges(80, edges, 2);
    std::vector<uint32_t> members(80);
    for (uint32_t i = 0; i < 80; ++i) members[i] = i;
    CHECK(cut_of(joined, members, bisect(joined, members, 0.1, 5, tuning().partition)) <= 2);
}

TEST_CASE("trees: V-cycles and flow steps never raise a bisection's cut and keep it balanced") {
    // Both start from the plain bisection of the same seed: V-cycles from its sides (a coarsening
    // that merged across them would project an unbalanced or costlier assignment), flow steps from
    // its FM result (taking only lower cuts within the bounds).
    const struct {
        const char* name;
        Network network;
        double imbalance;
    } cases[] = {{"3-regular 300", regular(300, 31), 0.2}, {"grid 17x15", grid(17, 15, 3), 0.05},
                 {"3-regular 120", regular(120, 32), 0.0}};
    PartitionTuning without_flows = tuning().partition;
    without_flows.flow_least_vertices = std::numeric_limits<uint32_t>::max();
    for (const auto& [name, network, imbalance] : cases) {
        std::vector<uint32_t> members(network.inputs.size());
        for (uint32_t i = 0; i < members.size(); ++i) members[i] = i;
        double plain_total = 0, cycled_total = 0, flowed_total = 0;
        for (uint64_t seed = 0; seed < 6; ++seed) {
            const double plain = cut_of(network, members, bisect(network, members, imbalance, seed, without_flows));
            const std::vector<uint8_t> cycled_side = bisect(network, members, imbalance, seed, without_flows, 4);
            const std::vector<uint8_t> flowed_side = bisect(network, members, imbalance, seed, tuning().partition);
            const double cycled = cut_of(network, members, cycled_side), flowed = cut_of(network, members, flowed_side);
            if (cycled > plain || flowed > plain)
                std::fprintf(stderr, "%s seed %llu: cut %g after V-cycles, %g after flows, %g before\n", name,
                             static_cast<unsigned long long>(seed), cycled, flowed, plain);
            CHECK(cycled <= plain);
            CHECK(flowed <= plain);
            for (const std::vector<uint8_t>* side : {&cycled_side, &flowed_side}) {
                const double ones = static_cast<double>(std::count(side->begin(), side->end(), 1));
                CHECK(std::abs(ones - members.size() / 2.0) <= std::max(imbalance * members.size() / 2.0, 0.5) + 1e-9);
            }
            plain_total += plain;
            cycled_total += cycled;
            flowed_total += flowed;
        }
        // On the random graph they must also find something: measured 6% (V-cycles) lower summed cuts.
        if (std::string(name) == "3-regular 300") {
            CHECK(cycled_total < plain_total);
            CHECK(flowed_total < plain_total);
        }
    }
}

TEST_CASE("trees: partitioning beats greedy by far on random regular graphs and grids") {
    // Measured: partition trees cost about 3e-8 of greedy's on the random graph, 6e-3 on the grid.
    const struct {
        const char* name;
        Network network;
        double factor;  // the partition tree costs less than this much of the greedy tree
    } cases[] = {{"3-regular 200", regular(200, 13), 1e-5}, {"grid 14x14", grid(14, 14, 2), 0.05}};
    for (const auto& [name, network, factor] : cases) {
        const double plain = greedy(network, {})->cost();
        double best = HUGE_VAL;
        for (uint64_t seed = 0; seed < 6; ++seed) {
            const Tree tree = *partition_tree(network, {0.05 + 0.07 * seed, 0.9, 8, seed, tuning().partition});
            check_tree(network, tree, name);
            best = std::min(best, tree.cost());
        }
        if (!(best < plain * factor)) std::fprintf(stderr, "%s: partition %g, greedy %g\n", name, best, plain);
        CHECK(best < plain * factor);
        Settings settings = tuned();
        settings.tuning.trials = 8;
        CHECK(search(network, settings).cost() < plain * factor);
    }
    // The same parameters give the same tree, and a raised stop flag gives none.
    const Network network = regular(128, 3);
    const PartitionParams params{0.2, 0.8, 7, 99, tuning().partition};
    CHECK(steps_of(*partition_tree(network, params)) == steps_of(*partition_tree(network, params)));
    const std::atomic<bool> stop{true};
    CHECK(!partition_tree(network, params, &stop));
}

TEST_CASE("trees: elimination beats greedy by far on model counting and stops when asked") {
    // Measured: on 60 variables and 250 clauses the plain greedy tree costs 6.2e17, the first
    // elimination tree 1.5e13 and the best of six 1.4e13.
    const Network network = clauses(60, 250, 4);
    const double plain = greedy(network, {})->cost();
    double best = HUGE_VAL;
    for (uint64_t seed = 0; seed < 6; ++seed) {
        const Tree tree = *elimination_tree(network, {0.15 * seed, 0.5, seed});
        check_tree(network, tree, "clauses");
        best = std::min(best, tree.cost());
    }
    if (!(best < plain * 1e-3)) std::fprintf(stderr, "clauses: elimination %g, greedy %g\n", best, plain);
    CHECK(best < plain * 1e-3);
    // Weighing fill keeps the trees as good; past fill_most_axes axes it is not counted at all.
    for (uint64_t seed = 0; seed < 3; ++seed) {
        const Tree tree = *elimination_tree(network, {0.5, 0.3, seed, 1.0 + seed});
        check_tree(network, tree, "clauses with fill");
        CHECK(tree.cost() < plain * 1e-3);
    }
    // A dense formula's operands come to hold more than fill_most_axes_held axes mid-build.
    const Network dense = clauses(200, 2000, 3);
    check_tree(dense, *elimination_tree(dense, {0.5, 0.3, 7, 2.0}), "dense clauses with fill");
    const Network wide = clauses(fill_most_axes + 40, 3 * fill_most_axes, 5);
    CHECK(steps_of(*elimination_tree(wide, {0.5, 0.3, 7, 2.0})) == steps_of(*elimination_tree(wide, {0.5, 0.3, 7})));
    const std::atomic<bool> stop{true};
    CHECK(!elimination_tree(network, {}, &stop));
}

// Calls of the interrupt check and the progress report, with the threads that made them.
struct Watch {
    int checks = 0;
    int interrupt_at = 0;  // the check that answers true (0: never)
    int reports = 0;
    std::set<std::thread::id> threads;
};

bool watch_check(void* context) {
    auto* watch = static_cast<Watch*>(context);
    watch->threads.insert(std::this_thread::get_id());
    return ++watch->checks == watch->interrupt_at;
}

void watch_progress(void* context, double, double best_cost) {
    auto* watch = static_cast<Watch*>(context);
    watch->threads.insert(std::this_thread::get_id());
    ++watch->reports;
    CHECK(best_cost > 0);
}

TEST_CASE("trees: interrupts, deadlines and progress reach only the calling thread") {
    // Only catches a hang: the machine may be loaded, so the search's speed is not asserted.
    constexpr auto hang = std::chrono::seconds(120);
    const Network network = regular(512, 4);
    const double plain = greedy(network, {})->cost();
    Settings settings = tuned();
    settings.threads = 2;
    settings.tuning.trials = 1000000;  // far more work than the test waits for
    settings.tuning.sweeps = 1000;
    // An interrupt on the 30th check.
    Watch interrupted;
    interrupted.interrupt_at = 30;
    settings.interrupt = {&watch_check, &interrupted};
    settings.progress = {&watch_progress, &interrupted};
    auto start = Clock::now();
    bool thrown = false;
    try {
        search(network, settings);
    } catch (const util::Interrupted&) {
        thrown = true;
    }
    CHECK(thrown);
    CHECK_EQ(interrupted.checks, 30);
    CHECK(Clock::now() - start < hang);
    CHECK(interrupted.threads == std::set<std::thread::id>{std::this_thread::get_id()});
    // A deadline 300 ms ahead: the best tree so far, at least as good as plain greedy.
    Watch timed;
    settings.interrupt = {&watch_check, &timed};
    settings.progress.context = &timed;
    start = Clock::now();
    settings.deadline = start + std::chrono::milliseconds(300);
    const Tree tree = search(network, settings);
    CHECK(Clock::now() - start < hang);
    check_tree(network, tree, "deadline");
    CHECK(tree.cost() <= plain);
    CHECK(timed.reports >= 1);
    CHECK(timed.checks >= 10);
    CHECK(timed.threads == std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST_CASE("trees: greedy and elimination complete chains, stars and crowded axes") {
    Network star;
    star.inputs.assign(1001, {});
    for (uint32_t i = 0; i < 1000; ++i) {
        star.inputs[0].push_back(i);
        star.inputs[i + 1] = {i};
    }
    star.sizes.assign(1000, 2);
    Network crowded;
    for (uint32_t i = 0; i < 1000; ++i) crowded.inputs.push_back({0, i + 1});
    crowded.sizes.assign(1001, 3);
    // Some of the shared axis's holders keep their other axis.
    crowded.output.assign(1001, 0);
    for (uint32_t i = 1; i <= 1000; i += 100) crowded.output[i] = 1;
    const std::pair<const char*, Network> cases[] = {
        {"chain of 4096", chain(4096, 9)}, {"star of 1000", checked(star)}, {"1000 sharing one axis", checked(crowded)}};
    for (const auto& [name, network] : cases) {
        for (const Tree& tree : {*greedy(network, {}), *elimination_tree(network, {0.5, 0.3, 1})}) {
            if (steps_of(tree).size() != network.inputs.size() - 1) std::fprintf(stderr, "%s: incomplete\n", name);
            CHECK(steps_of(tree).size() == network.inputs.size() - 1);
            check_tree(network, tree, name);
        }
    }
}

TEST_CASE("trees: bad input is refused") {
    const std::pair<Network, const char*> networks[] = {
        {{{}, {}, {}}, "the network has no inputs"},
        {{{{0, 0}}, {2}, {}}, "input 0 repeats an axis"},
        {{{{1}}, {2}, {}}, "input 0 names axis 1, which has no size"},
        {{{{0}}, {0}, {}}, "axis 0 has size 0"},
        {{{{0}}, {2}, {1, 1}}, "output has 2 entries for 1 axes"},
    };
    for (const auto& [network, text] : networks) {
        CHECK_THROWS_TEXT(util::InvalidValue, checked(network), text);
        CHECK_THROWS_TEXT(util::InvalidValue, search(network, tuned()), text);
    }
    const Network three = checked({{{0}, {0, 1}, {1}}, {2, 2}, {}});
    const std::pair<Steps, const char*> steps[] = {
        {{{0, 1}}, "1 steps for 3 inputs"},
        {{{0, 1}, {1, 3}}, "step 1 uses node 1 again"},
        {{{0, 3}, {1, 2}}, "step 0 uses node 3, which does not exist yet"},
        {{{0, 0}, {1, 2}}, "step 0 uses node 0 again"},
    };
    for (const auto& [list, text] : steps) CHECK_THROWS_TEXT(util::InvalidValue, tree_from_steps(three, list), text);
    CHECK_THROWS_TEXT(util::InvalidValue, best_order({}, {}, {}, false), "a window holds 1 to 16 operands, not 0");
    CHECK_THROWS_TEXT(util::InvalidValue, best_order(std::vector<Axes>(17, Axes{0}), {2}, {0}, false),
                      "a window holds 1 to 16 operands, not 17");
}

}  // namespace
