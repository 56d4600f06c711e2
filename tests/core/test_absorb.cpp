// Unit tests of the absorption of vectors and matrices before a search: each case's spliced path
// replayed over the original network by an independent replay (valid, complete, no absorption
// growing a tensor, the reduced network matching what the absorption steps leave), what is
// absorbed and what is left alone on a table of small networks, nothing left that the rules
// absorb on random ones, and bad input.
#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.hpp"
#include "driver/absorb.hpp"
#include "util/failure.hpp"

namespace {

using namespace plenexa;
using namespace plenexa::driver;
using Ids = std::vector<uint64_t>;
using Inputs = std::vector<Ids>;
using AxisSet = std::set<uint64_t>;

struct Net {
    Inputs inputs;
    Ids output;
    Ids sizes;
};

// The product of the sizes of `axes`, in double (the oracle's sizes stay small).
double elements(const AxisSet& axes, const Ids& sizes) {
    double product = 1;
    for (const uint64_t id : axes) product *= static_cast<double>(sizes[id]);
    return product;
}

// The live operands of a replay, by node number.
struct Replay {
    std::vector<AxisSet> nodes;
    std::vector<bool> live;
    double cost = 0;
};

// Replays numbered steps over `net` from `state`, checking each names two distinct live nodes;
// a result keeps the axes that the output or another live node holds. With `absorbing`, also
// checks each step absorbs a tensor of one or two axes without growing its neighbour and costs
// at most twice the neighbour's size.
void replay(const Net& net, Replay& state, const NumberedPath& steps, bool absorbing) {
    const AxisSet output(net.output.begin(), net.output.end());
    for (const auto& [x, y] : steps) {
        CHECK(x != y && x < state.nodes.size() && y < state.nodes.size());
        if (x == y || x >= state.nodes.size() || y >= state.nodes.size()) return;
        CHECK(state.live[x] && state.live[y]);
        state.live[x] = state.live[y] = false;
        AxisSet both = state.nodes[x];
        both.insert(state.nodes[y].begin(), state.nodes[y].end());
        AxisSet result;
        for (const uint64_t id : both) {
            bool elsewhere = output.count(id) > 0;
            for (size_t n = 0; n < state.nodes.size() && !elsewhere; ++n)
                elsewhere = state.live[n] && state.nodes[n].count(id);
            if (elsewhere) result.insert(id);
        }
        const double cost = elements(both, net.sizes);
        state.cost += cost;
        if (absorbing) {
            // One operand of one or two axes goes into the other, which does not grow.
            auto absorbs = [&](const AxisSet& a, const AxisSet& b) {
                const double size_b = elements(b, net.sizes);
                return (a.size() == 1 || a.size() == 2) && result.size() <= b.size() &&
                       elements(result, net.sizes) <= size_b && cost <= 2 * size_b;
            };
            // Or vectors (or their outer products) joined on their way into the one live tensor
            // that holds all their axes, and no larger than it.
            auto joined_for = [&]() {
                for (size_t n = 0; n < state.nodes.size(); ++n)
                    if (state.live[n] && std::includes(state.nodes[n].begin(), state.nodes[n].end(), both.begin(), both.end()) &&
                        cost <= elements(state.nodes[n], net.sizes))
                        return true;
                return false;
            };
            CHECK(absorbs(state.nodes[x], state.nodes[y]) || absorbs(state.nodes[y], state.nodes[x]) || joined_for());
        }
        state.nodes.push_back(result);
        state.live.push_back(true);
    }
}

// The replay's start: one node per input, its distinct axes.
Replay start(const Net& net) {
    Replay state;
    for (const Ids& axes : net.inputs) state.nodes.push_back(AxisSet(axes.begin(), axes.end()));
    state.live.assign(net.inputs.size(), true);
    return state;
}

// A path over m inputs that joins them left to right.
NumberedPath left_to_right(uint64_t m) {
    NumberedPath path;
    for (uint64_t k = 1; k < m; ++k) path.push_back({k == 1 ? 0 : m + k - 2, k});
    return path;
}

// Whether the rules absorb `a` into `b` of a replay's live nodes: a vector always; else when no
// more axes and elements than `b` result and the step costs at most twice `b`'s size, provided
// an axis of `a` leaves (held by `a` and `b` alone, not kept).
bool absorbable(const Net& net, const Replay& state, uint64_t a, uint64_t b) {
    const AxisSet& axes = state.nodes[a];
    bool shares = false;
    for (const uint64_t id : axes) shares = shares || state.nodes[b].count(id);
    if (!shares || axes.empty() || axes.size() > 2) return false;
    if (axes.size() == 1) return true;
    // A matrix goes only into a tensor of three or more axes.
    if (state.nodes[b].size() < 3) return false;
    const AxisSet output(net.output.begin(), net.output.end());
    auto holders = [&](uint64_t id) {
        int count = 0;
        for (size_t n = 0; n < state.nodes.size(); ++n) count += state.live[n] && state.nodes[n].count(id);
        return count;
    };
    bool leaves = false;
    for (const uint64_t id : axes)
        leaves = leaves || (!output.count(id) && holders(id) == 2 && state.nodes[b].count(id));
    if (!leaves) return false;
    AxisSet both = axes, result;
    both.insert(state.nodes[b].begin(), state.nodes[b].end());
    for (const uint64_t id : both)
        if (output.count(id) || holders(id) > int(axes.count(id) + state.nodes[b].count(id))) result.insert(id);
    const double size_b = elements(state.nodes[b], net.sizes);
    return result.size() <= state.nodes[b].size() && elements(result, net.sizes) <= size_b &&
           elements(both, net.sizes) <= 2 * size_b;
}

// Absorbs `net`, then checks against the replay: the absorption steps grow nothing and leave
// exactly the reduced network; no vector or matrix the rules absorb is left; the spliced path
// (the reduced inputs joined left to right) is complete. Returns the absorption.
Absorbed checked_absorb(const Net& net) {
    const Absorbed absorbed = absorb(net.inputs, net.output, net.sizes);
    Replay state = start(net);
    replay(net, state, absorbed.steps, true);
    CHECK_EQ(absorbed.inputs.size(), absorbed.nodes.size());
    std::vector<uint64_t> live_nodes;
    for (uint64_t n = 0; n < state.nodes.size(); ++n)
        if (state.live[n]) live_nodes.push_back(n);
    CHECK_EQ(absorbed.nodes, live_nodes);
    for (size_t r = 0; r < absorbed.inputs.size() && r < live_nodes.size(); ++r) {
        const uint64_t node = absorbed.nodes[r];
        if (node < net.inputs.size()) CHECK_EQ(absorbed.inputs[r], net.inputs[node]);
        CHECK_EQ(AxisSet(absorbed.inputs[r].begin(), absorbed.inputs[r].end()), state.nodes[node]);
        for (const uint64_t other : live_nodes) CHECK(other == node || !absorbable(net, state, node, other));
    }

    const NumberedPath reduced = left_to_right(absorbed.inputs.size());
    const NumberedPath whole = splice(absorbed, net.inputs.size(), reduced);
    CHECK_EQ(whole.size(), absorbed.steps.size() + reduced.size());
    CHECK(std::equal(absorbed.steps.begin(), absorbed.steps.end(), whole.begin()));
    Replay full = start(net);
    replay(net, full, whole, false);
    CHECK_EQ(std::count(full.live.begin(), full.live.end(), true), 1);
    if (!whole.empty()) CHECK_EQ(full.nodes.back(), AxisSet(net.output.begin(), net.output.end()));
    return absorbed;
}

// A network for the table: every one of `n_axes` axes of size 2 unless `sizes` says otherwise.
Net net2(Inputs inputs, Ids output, uint64_t n_axes, Ids sizes = {}) {
    if (sizes.empty()) sizes.assign(n_axes, 2);
    return {std::move(inputs), std::move(output), std::move(sizes)};
}

TEST_CASE("absorb: what is absorbed and what is left, by case") {
    struct Row {
        const char* name;
        Net net;
        Inputs reduced;     // the reduced network's inputs
        Ids nodes;          // the nodes they stand for
    };
    const Row rows[] = {
        // |0>, two gates, <x|: a closed qubit line collapses to one scalar.
        {"qubit line", net2({{0}, {0, 1}, {1, 2}, {2}}, {}, 3), {{}}, {6}},
        // Two lines with a gate each, a two-qubit gate, a gate each and open legs: the vectors go
        // first (smallest results), leaving the two-qubit gate a matrix, so the last gates stay.
        {"two-qubit gate",
         net2({{0}, {0, 1}, {2}, {2, 3}, {1, 3, 4, 5}, {4, 6}, {5, 7}}, {6, 7}, 8),
         {{4, 6}, {5, 7}, {4, 5}},
         {5, 6, 10}},
        // Unary weights on a variable held by three clauses: absorbed into the smallest holder
        // (of 12, 4 and 6 elements), the variable kept.
        {"hyperedge with unary weights",
         net2({{0, 1, 2}, {0, 2, 3}, {0, 1, 3}, {0}, {1}}, {}, 4, {2, 3, 2, 1}),
         {{0, 1, 2}, {0, 2, 3}, {0, 1, 3}},
         {0, 5, 6}},
        // A matrix whose axes both stay held by two other tensors: left to the search.
        {"matrix whose axes stay",
         net2({{0, 1}, {0, 2, 5}, {0, 3, 5}, {1, 2, 6}, {1, 3, 6}}, {}, 7),
         {{0, 1}, {0, 2, 5}, {0, 3, 5}, {1, 2, 6}, {1, 3, 6}},
         {0, 1, 2, 3, 4}},
        // A matrix from a leaving axis of size 1 to one of size 2 would double its neighbour.
        {"matrix that would grow",
         net2({{0, 1}, {0, 2, 3}, {1, 2, 3}, {1, 2, 3}}, {}, 4, {1, 2, 2, 2}),
         {{0, 1}, {0, 2, 3}, {1, 2, 3}, {1, 2, 3}},
         {0, 1, 2, 3}},
        // Matrices go only into tensors of three or more axes: a chain of matrices, large or of
        // size 2, is the search's (its order is a matrix-chain problem that absorbing in turn
        // gets wrong), and a gate between two-qubit gates is absorbed.
        {"matrix chain, large", net2({{0, 1}, {1, 2}, {2, 3}}, {0, 3}, 4, {1000, 1000, 1000, 2}),
         {{0, 1}, {1, 2}, {2, 3}},
         {0, 1, 2}},
        {"matrix chain, size 2", net2({{0, 1}, {1, 2}, {2, 3}}, {0, 3}, 4), {{0, 1}, {1, 2}, {2, 3}}, {0, 1, 2}},
        {"gate between two-qubit gates", net2({{0, 1, 2, 3}, {2, 4}, {4, 3, 5, 6}}, {0, 1, 5, 6}, 7),
         {{4, 3, 5, 6}, {0, 1, 3, 4}},
         {2, 3}},
        // Output axes on absorbed tensors stay: the vector's, and the gate's new one.
        {"outputs on absorbed axes", net2({{0}, {0, 1, 2}, {1, 3}, {2, 4, 5}}, {0, 3}, 6),
         {{2, 4, 5}, {0, 2, 3}},
         {3, 5}},
        // A repeated id is one axis: [0, 0] is a vector; an untouched input keeps its list.
        {"repeated ids", net2({{0, 0}, {0, 1, 1, 2}, {1, 2, 3}, {3, 1, 3, 2}}, {}, 4),
         {{3, 1, 3, 2}, {1, 2, 3}},
         {3, 5}},
        // A scalar and a tensor sharing no axis are left for the search's component join.
        {"disconnected scalar", net2({{}, {0}, {0, 1}, {1}, {2}}, {2}, 3), {{}, {2}, {}}, {0, 4, 6}},
        // One input: nothing to absorb.
        {"single input", net2({{0, 1, 0}}, {1}, 2), {{0, 1, 0}}, {0}},
    };
    for (const Row& row : rows) {
        const Absorbed absorbed = checked_absorb(row.net);
        if (absorbed.inputs != row.reduced || absorbed.nodes != row.nodes)
            std::fprintf(stderr, "case: %s\n", row.name);
        CHECK_EQ(absorbed.inputs, row.reduced);
        CHECK_EQ(absorbed.nodes, row.nodes);
        CHECK_EQ(absorbed.steps.size(), row.net.inputs.size() - row.nodes.size());
    }
}

TEST_CASE("absorb: a tensor's leaf vectors are joined first when that is cheaper") {
    // A tensor [0, 1, 2] (2 open) with vectors on 0 and 1: one by one costs H + H / 5; the
    // vectors' outer product first costs 25 + H. With H = 500 joining wins (525 against 600), with H = 50 not
    // (75 against 60).
    const struct {
        uint64_t last_size;
        double cost;
    } cases[] = {{20, 525}, {2, 60}};
    for (const auto& c : cases) {
        const Net net = net2({{0, 1, 2}, {0}, {1}}, {2}, 3, {5, 5, c.last_size});
        const Absorbed absorbed = checked_absorb(net);
        Replay state = start(net);
        replay(net, state, absorbed.steps, true);
        CHECK_EQ(state.cost, c.cost);
    }
}

TEST_CASE("absorb: a network reduced to one tensor is spliced to the absorption steps alone") {
    const Net net = net2({{0}, {0, 1}, {1, 2}, {2, 3}, {3}}, {}, 4);
    const Absorbed absorbed = checked_absorb(net);
    CHECK_EQ(absorbed.inputs.size(), size_t{1});
    CHECK_EQ(splice(absorbed, net.inputs.size(), {}), absorbed.steps);
}

// A random network of `n` tensors: vectors, matrices and larger tensors over few axes of sizes 1
// to 3, so that axes are shared by one to many tensors; some ids repeat within an input and a few
// are kept by the output.
Net random_net(uint64_t n, std::mt19937_64& rng) {
    const uint64_t n_axes = 1 + n * 3 / 4;
    Net net;
    for (uint64_t a = 0; a < n_axes; ++a) net.sizes.push_back(1 + rng() % 3);
    for (uint64_t t = 0; t < n; ++t) {
        const uint64_t rank = rng() % 5;
        Ids axes;
        for (uint64_t k = 0; k < rank; ++k) axes.push_back(rng() % n_axes);
        if (!axes.empty() && rng() % 8 == 0) axes.push_back(axes.front());
        net.inputs.push_back(axes);
    }
    AxisSet present;
    for (const Ids& axes : net.inputs) present.insert(axes.begin(), axes.end());
    for (const uint64_t id : present)
        if (rng() % 6 == 0) net.output.push_back(id);
    return net;
}

TEST_CASE("absorb: random networks replay as valid paths, nothing absorbable left") {
    std::mt19937_64 rng(32);
    for (int trial = 0; trial < 300; ++trial) checked_absorb(random_net(2 + rng() % 30, rng));
}

TEST_CASE("absorb: deterministic, and splice renumbers the reduced path") {
    std::mt19937_64 rng(7);
    const Net net = random_net(40, rng);
    const Absorbed first = absorb(net.inputs, net.output, net.sizes);
    const Absorbed second = absorb(net.inputs, net.output, net.sizes);
    CHECK_EQ(first.steps, second.steps);
    CHECK_EQ(first.inputs, second.inputs);
    // Two reduced inputs joined, then the result with a third: the second step names the first's
    // result, number N + (absorption steps).
    const Net line = net2({{0}, {0, 1, 2, 3}, {1, 2, 4, 5}, {3, 4, 5}}, {}, 6);
    const Absorbed absorbed = absorb(line.inputs, line.output, line.sizes);
    CHECK_EQ(absorbed.nodes, (Ids{2, 3, 4}));
    CHECK_EQ(splice(absorbed, 4, {{{0, 2}}, {{1, 3}}}), (NumberedPath{{{0, 1}}, {{2, 4}}, {{3, 5}}}));
}

TEST_CASE("absorb: bad input and bad reduced paths") {
    using util::InvalidValue;
    CHECK_THROWS_TEXT(InvalidValue, absorb({{0, 2}}, {}, {2, 2}), "input 0 names axis 2, which has no size");
    CHECK_THROWS_TEXT(InvalidValue, absorb({{0}}, {1}, {2}), "the output names axis 1, which has no size");
    CHECK_THROWS_TEXT(InvalidValue, absorb({{0}}, {}, {0}), "axis 0 has size 0");
    const Net net = net2({{0, 1, 2}, {0, 1, 2}, {0, 1, 2}}, {}, 3);
    const Absorbed absorbed = absorb(net.inputs, net.output, net.sizes);
    CHECK_EQ(absorbed.inputs.size(), size_t{3});
    CHECK_THROWS_TEXT(util::Panic, splice(absorbed, 3, {{{0, 3}}}), "reduced step 0 names node 3, which is not available");
    CHECK_THROWS_TEXT(util::Panic, splice(absorbed, 3, {{{0, 1}}, {{1, 2}}}),
                      "reduced step 1 names node 1, which is not available");
    CHECK_THROWS_TEXT(util::Panic, splice(absorbed, 3, {{{2, 2}}}), "reduced step 0 names node 2, which is not available");
}

}  // namespace
