// Unit tests of the contraction-order optimiser's pieces and of its fixed answers.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <random>
#include <tuple>

#include "check.hpp"
#include "driver/driver.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/optimiser.hpp"
#include "optimiser/table.hpp"
#include "util/failure.hpp"

namespace {

using namespace plenexa;
using optimiser::Bits;
using optimiser::Options;
using optimiser::detail::Numbered;
constexpr uint64_t max = max_u64;

// The position rule applied literally: a table of positions shifted down after each step.
Path positions_by_table(const Numbered& numbered, uint64_t n_inputs) {
    std::vector<int64_t> pos(n_inputs + numbered.size() + 1);
    for (size_t j = 0; j < pos.size(); ++j) pos[j] = static_cast<int64_t>(j);
    Path path;
    for (const auto& [x, y] : numbered) {
        path.push_back({static_cast<uint64_t>(pos[x]), static_cast<uint64_t>(pos[y])});
        for (size_t j = x; j < pos.size(); ++j) --pos[j];
        for (size_t j = y; j < pos.size(); ++j) --pos[j];
    }
    return path;
}

// The combination rule applied literally: stable descending sort, take the last two.
Numbered combine_by_sorting(const std::vector<std::array<uint64_t, 2>>& sizes) {
    struct Item {
        uint64_t size, output_size, number;
    };
    std::vector<Item> items;
    for (uint64_t i = 0; i < sizes.size(); ++i) items.push_back({sizes[i][0], sizes[i][1], i});
    Numbered steps;
    uint64_t next = sizes.size();
    while (items.size() > 1) {
        std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.size > b.size; });
        const Item a = items.back();
        items.pop_back();
        const Item b = items.back();
        items.pop_back();
        steps.push_back({a.number, b.number});
        const uint64_t merged = optimiser::mul_saturating(a.output_size, b.output_size);
        items.push_back({merged, merged, next++});
    }
    return steps;
}

TEST_CASE("positions follow the shrinking operand list") {
    using optimiser::detail::path_from_numbered;
    CHECK_EQ(path_from_numbered({{0, 1}, {2, 3}}, 3), (Path{{0, 1}, {0, 1}}));
    CHECK_EQ(path_from_numbered({{1, 0}, {2, 3}}, 3), (Path{{1, 0}, {0, 1}}));
    CHECK_EQ(path_from_numbered({{0, 2}, {1, 3}, {4, 5}}, 4), (Path{{0, 2}, {0, 1}, {0, 1}}));
    // Random trees: every numbered list of a valid tree agrees with the literal rule.
    std::mt19937_64 rng(7);
    for (int round = 0; round < 200; ++round) {
        const uint64_t n = 2 + rng() % 30;
        std::vector<uint64_t> live(n);
        for (uint64_t i = 0; i < n; ++i) live[i] = i;
        Numbered numbered;
        while (live.size() > 1) {
            const size_t a = rng() % live.size();
            std::swap(live[a], live.back());
            const uint64_t x = live.back();
            live.pop_back();
            const size_t b = rng() % live.size();
            std::swap(live[b], live.back());
            const uint64_t y = live.back();
            live.pop_back();
            numbered.push_back({x, y});
            live.push_back(n + numbered.size() - 1);
        }
        CHECK_EQ(path_from_numbered(numbered, n), positions_by_table(numbered, n));
    }
}

TEST_CASE("tree numbering is post-order, left before right") {
    using optimiser::detail::Node;
    // ((0, 2), (1, 3)) over four inputs.
    const std::vector<Node> nodes{{Node::leaf, 0}, {Node::leaf, 2}, {Node::leaf, 1}, {Node::leaf, 3},
                                  {0, 1},          {2, 3},          {4, 5}};
    CHECK_EQ(optimiser::detail::number_tree(nodes, 6, 4), (Numbered{{0, 2}, {1, 3}, {4, 5}}));
    // A deep left spine is numbered without recursion.
    std::vector<Node> spine{{Node::leaf, 0}};
    const uint32_t depth = 200000;
    uint32_t root = 0;
    for (uint32_t i = 1; i <= depth; ++i) {
        spine.push_back({Node::leaf, i});
        spine.push_back({root, static_cast<uint32_t>(spine.size() - 1)});
        root = static_cast<uint32_t>(spine.size() - 1);
    }
    const Numbered deep = optimiser::detail::number_tree(spine, root, depth + 1);
    CHECK_EQ(deep.size(), size_t{depth});
    CHECK_EQ(deep.back(), (std::array<uint64_t, 2>{2 * depth - 1, depth}));
}

TEST_CASE("components merge smallest first, by the full 64-bit size") {
    using optimiser::detail::combine_order;
    // Sizes 1, 3 and 2^32: the two small ones first, then their product with 2^32.
    CHECK_EQ(combine_order({{1, 1}, {3, 3}, {uint64_t{1} << 32, uint64_t{1} << 32}}), (Numbered{{0, 1}, {3, 2}}));
    // Equal sizes: the later result is taken first.
    CHECK_EQ(combine_order({{5, 5}, {5, 5}}), (Numbered{{1, 0}}));
    // Axes summed inside a single input do not count once it is merged.
    CHECK_EQ(combine_order({{6, 1}, {4, 4}, {2, 2}}), (Numbered{{2, 1}, {0, 3}}));
    std::mt19937_64 rng(11);
    for (int round = 0; round < 300; ++round) {
        std::vector<std::array<uint64_t, 2>> sizes(1 + rng() % 12);
        for (auto& s : sizes) {
            const uint64_t pick = rng() % 4;
            s[1] = pick == 0 ? max : pick == 1 ? uint64_t{1} << (rng() % 64) : 1 + rng() % 4;
            s[0] = rng() % 3 == 0 ? optimiser::mul_saturating(s[1], 1 + rng() % 3) : s[1];
        }
        CHECK_EQ(combine_order(sizes), combine_by_sorting(sizes));
    }
}

TEST_CASE("sizes multiply exactly and report overflow") {
    std::vector<uint64_t> sizes(128, 1);
    sizes[0] = uint64_t{1} << 32;
    sizes[1] = uint64_t{1} << 32;
    sizes[2] = uint64_t{1} << 31;
    sizes[70] = 3;
    uint64_t out = 0;
    Bits<2> a, b;
    CHECK(optimiser::size_of(a, sizes.data(), out) && out == 1);
    a.set(0);
    a.set(1);
    CHECK(!optimiser::size_of(a, sizes.data(), out));
    b.set(0);
    b.set(2);
    b.set(70);
    CHECK(!optimiser::size_of(b | a, sizes.data(), out));
    b = Bits<2>{};
    b.set(0);
    b.set(2);
    CHECK(optimiser::size_of(b, sizes.data(), out) && out == uint64_t{1} << 63);
    CHECK_EQ(optimiser::add_saturating(max, 5), max);
    CHECK_EQ(optimiser::mul_saturating(uint64_t{1} << 32, uint64_t{1} << 32), max);

    // The union's size from the two known sizes matches the direct product.
    std::mt19937_64 rng(3);
    for (auto& s : sizes) s = 1 + rng() % 7;
    for (int round = 0; round < 2000; ++round) {
        Bits<2> x, y;
        for (int i = 0; i < 12; ++i) {
            x.set(rng() % 128);
            y.set(rng() % 128);
        }
        uint64_t sx = max, sy = max, direct = 0, joined = 0;
        const bool fits_x = optimiser::size_of(x, sizes.data(), sx);
        const bool fits_y = optimiser::size_of(y, sizes.data(), sy);
        const bool fits = optimiser::size_of(x | y, sizes.data(), direct);
        const bool fits_joined =
            optimiser::size_of_union(x, fits_x ? sx : max, y, fits_y ? sy : max, sizes.data(), joined);
        CHECK_EQ(fits_joined, fits);
        if (fits) CHECK_EQ(joined, direct);
    }
}

TEST_CASE("bit counts and uniform sizes agree with the general rule") {
    std::mt19937_64 rng(9);
    for (int round = 0; round < 1000; ++round) {
        const uint64_t x = rng() & rng();
        CHECK_EQ(optimiser::count_bits<false>(x), __builtin_popcountll(x));
    }
    // Every axis of size 16: the shortcut must give the same sizes and overflows.
    std::vector<uint64_t> sizes(128, 16);
    const optimiser::Sizer<2, false> uniform(sizes.data(), 128);
    for (int round = 0; round < 1000; ++round) {
        Bits<2> a, b;
        for (int i = 0; i < 20; ++i) {
            if (rng() % 2) a.set(rng() % 128);
            if (rng() % 3) b.set(rng() % 128);
        }
        uint64_t direct = 0, shortcut = 0, sa = max, sb = max;
        const bool fits = optimiser::size_of(a, sizes.data(), direct);
        CHECK_EQ(uniform.of(a, shortcut), fits);
        if (fits) CHECK_EQ(shortcut, direct);
        if (!optimiser::size_of(a, sizes.data(), sa)) sa = max;
        if (!optimiser::size_of(b, sizes.data(), sb)) sb = max;
        const bool joined = optimiser::size_of(a | b, sizes.data(), direct);
        // The shift needs A's size; a B of size MAX gives an answer the caller discards.
        if (sa == max || sb == max) continue;
        CHECK_EQ(uniform.of_union_uniform(a, sa, b, sb, shortcut), joined);
        if (joined) CHECK_EQ(shortcut, direct);
    }
    // Axis counts of sizes 2, 8 and 16: a set of c axes stays below `room` exactly when c is at
    // most axes_below(room).
    for (const uint64_t size : {2, 8, 16}) {
        const std::vector<uint64_t> same(64, size);
        const optimiser::Sizer<1, false> counting(same.data(), 64);
        CHECK(counting.counts_axes());
        const int shift = __builtin_ctzll(size);
        for (int c = 0; c * shift < 64; ++c) CHECK_EQ(counting.axes_of(uint64_t{1} << (c * shift)), c);
        for (int round = 0; round < 1000; ++round) {
            const uint64_t room = 2 + (rng() >> (rng() % 64));
            int most = 0;
            while ((most + 1) * shift < 64 && (uint64_t{1} << ((most + 1) * shift)) < room) ++most;
            CHECK_EQ(counting.axes_below(room), most);
        }
    }
    const std::vector<uint64_t> ones(4, 1);
    const optimiser::Sizer<1, false> unit(ones.data(), 4);
    CHECK(!unit.counts_axes());
}

TEST_CASE("tables keep insertion order and a replaced entry's place") {
    optimiser::Table<1> table(64, 64);
    Bits<1> axes;
    axes.w[0] = 0b101;
    auto key = [](uint64_t i) { return Bits<1>{{(i * 0x9E3779B97F4A7C15ull) | 1}}; };
    for (uint64_t i = 0; i < 1000; ++i) table.append(key(i), axes, 1000 - i, 1, static_cast<uint32_t>(i));
    table.replace(500, 3, 7);
    CHECK_EQ(table.size(), size_t{1000});
    CHECK_EQ(table.find(key(500)), int64_t{500});
    CHECK_EQ(table.entries[500].cost, uint64_t{3});
    CHECK_EQ(table.entries[500].floor, uint64_t{4});
    CHECK_EQ(table.find(Bits<1>{{2}}), int64_t{-1});
    for (uint64_t i = 0; i < 1000; ++i) CHECK_EQ(table.find(table.entries[i].subgraph), static_cast<int64_t>(i));
    // Block floors: the cheapest entry of each group of 64, lowered by the replacement.
    CHECK_EQ(table.block_bounds(0).floor, uint64_t{1000 - 63 + 1});
    CHECK_EQ(table.block_bounds(7).floor, uint64_t{4});
    // Membership words: entry 130 contains input 0 and axis 2 (bit 130 % 64 of block 2), not axis 1.
    CHECK((table.block(2)[optimiser::Table<1>::input_feature(0)] >> 2) & 1);
    CHECK((table.block(2)[table.axis_feature(2)] >> 2) & 1);
    CHECK(!((table.block(2)[table.axis_feature(1)] >> 2) & 1));
}

TEST_CASE("compact tables answer membership like dense ones") {
    // 200 inputs and 300 axes in four-word subgraphs and eight-word axis sets.
    optimiser::Table<8, 4> table(200, 300);
    static_assert(optimiser::Table<8, 4>::compact && !optimiser::Table<8, 1>::compact);
    std::mt19937_64 rng(13);
    std::vector<std::pair<Bits<4>, Bits<8>>> held;
    for (uint32_t e = 0; e < 300; ++e) {
        // Entries of nearby inputs and axes, now and then one far away or without axes.
        Bits<4> inputs;
        Bits<8> axes;
        const size_t base = rng() % 150;
        for (int i = 0; i < 4; ++i) inputs.set(rng() % 8 == 0 ? rng() % 200 : base + rng() % 50);
        for (int i = 0; i < 3 && rng() % 5 != 0; ++i) axes.set(rng() % 8 == 0 ? rng() % 300 : base + rng() % 60);
        if (table.find(inputs) >= 0) continue;
        table.append(inputs, axes, e, 1, e);
        held.push_back({inputs, axes});
    }
    for (size_t b = 0; b * 64 < held.size(); ++b) {
        const auto in = table.block_inputs(b), ax = table.block_axes(b);
        for (size_t j = 0; j < 200; ++j) {
            uint64_t expected = 0;
            for (size_t e = 64 * b; e < std::min(held.size(), 64 * b + 64); ++e)
                expected |= uint64_t{held[e].first.has(j)} << (e % 64);
            CHECK_EQ(j >= in.lo && j < in.hi ? in.words[j - in.lo] : 0, expected);
        }
        for (size_t a = 0; a < 300; ++a) {
            uint64_t expected = 0;
            for (size_t e = 64 * b; e < std::min(held.size(), 64 * b + 64); ++e)
                expected |= uint64_t{held[e].second.has(a)} << (e % 64);
            CHECK_EQ(a >= ax.lo && a < ax.hi ? ax.words[a - ax.lo] : 0, expected);
        }
    }
}

TEST_CASE("ids far beyond the size table count as size 1") {
    // Python cannot build such a spec (its size table is dense), so the core is asked directly.
    const Path path = optimiser::optimize_dp({{max, 0}, {0, max - 1}, {max - 1}}, {max}, {2}, Options{});
    // Only id 0 has a size (2): contracting inputs 0 and 1 first costs 2 + 1, inputs 1 and 2 first 2 + 2.
    CHECK_EQ(path, (Path{{0, 1}, {0, 1}}));
}

using Inputs = std::vector<std::vector<uint64_t>>;

// Product of the sizes of `axes`, as a double so that large networks cannot wrap.
double size_of_axes(const std::vector<uint64_t>& axes, const std::vector<uint64_t>& sizes) {
    double product = 1;
    for (uint64_t x : axes) product *= static_cast<double>(sizes[x]);
    return product;
}

// Axes of `a` and `b` together, and those of them that the output or another live operand still needs.
std::pair<std::vector<uint64_t>, std::vector<uint64_t>> merge_axes(const std::vector<uint64_t>& a,
                                                                   const std::vector<uint64_t>& b,
                                                                   const std::vector<uint64_t>& holders,
                                                                   const std::vector<uint8_t>& in_output) {
    std::vector<uint64_t> both;
    std::set_union(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(both));
    std::vector<uint64_t> kept;
    for (uint64_t x : both) {
        const uint64_t inside = std::binary_search(a.begin(), a.end(), x) + std::binary_search(b.begin(), b.end(), x);
        if (in_output[x] || holders[x] > inside) kept.push_back(x);
    }
    return {both, kept};
}

// A network's operands with their axes sorted and deduplicated, and per axis how many hold it.
struct Network {
    std::vector<std::vector<uint64_t>> operands;
    std::vector<uint64_t> holders;
    std::vector<uint8_t> in_output;

    Network(const Inputs& inputs, const std::vector<uint64_t>& output, size_t n_ids)
        : holders(n_ids, 0), in_output(n_ids, 0) {
        for (auto axes : inputs) {
            std::sort(axes.begin(), axes.end());
            axes.erase(std::unique(axes.begin(), axes.end()), axes.end());
            for (uint64_t x : axes) ++holders[x];
            operands.push_back(axes);
        }
        for (uint64_t x : output) in_output[x] = 1;
    }

    // Replaces operands i and j by their contraction at the end of the list; returns its cost.
    double contract(size_t i, size_t j, const std::vector<uint64_t>& sizes) {
        auto [both, kept] = merge_axes(operands[i], operands[j], holders, in_output);
        for (uint64_t x : operands[i]) --holders[x];
        for (uint64_t x : operands[j]) --holders[x];
        for (uint64_t x : kept) ++holders[x];
        operands.erase(operands.begin() + std::max(i, j));
        operands.erase(operands.begin() + std::min(i, j));
        operands.push_back(kept);
        return size_of_axes(both, sizes);
    }
};

// Cost of `path` under the shared model (a step costs the product of the sizes of both
// operands' axes), or -1 when a step names a position outside the shrinking list or the
// same operand twice, or the path leaves more than one operand.
double path_cost(const Inputs& inputs, const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes,
                 const Path& path) {
    Network net(inputs, output, sizes.size());
    double total = 0;
    for (const auto& step : path) {
        if (step.size() != 2 || step[0] == step[1] || step[0] >= net.operands.size() || step[1] >= net.operands.size())
            return -1;
        total += net.contract(step[0], step[1], sizes);
    }
    return net.operands.size() == 1 ? total : -1;
}

// Cost of contracting, again and again, the pair of operands sharing an axis whose result
// is smallest (the first such pair on ties), then any remaining operands in list order.
double greedy_cost(const Inputs& inputs, const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes) {
    Network net(inputs, output, sizes.size());
    double total = 0;
    while (net.operands.size() > 1) {
        std::vector<std::vector<size_t>> users(sizes.size());
        for (size_t i = 0; i < net.operands.size(); ++i)
            for (uint64_t x : net.operands[i]) users[x].push_back(i);
        double best = -1;
        std::pair<size_t, size_t> pick{0, 1};
        for (const auto& holding : users) {
            for (size_t p = 0; p < holding.size(); ++p) {
                for (size_t q = p + 1; q < holding.size(); ++q) {
                    const auto& kept = merge_axes(net.operands[holding[p]], net.operands[holding[q]], net.holders,
                                                  net.in_output).second;
                    const double size = size_of_axes(kept, sizes);
                    if (best < 0 || size < best) {
                        best = size;
                        pick = {holding[p], holding[q]};
                    }
                }
            }
        }
        total += net.contract(pick.first, pick.second, sizes);
    }
    return total;
}

// Inputs of n tensors with one axis per edge.
Inputs from_edges(size_t n, const std::vector<std::pair<uint64_t, uint64_t>>& edges) {
    Inputs inputs(n);
    for (uint64_t e = 0; e < edges.size(); ++e) {
        inputs[edges[e].first].push_back(e);
        inputs[edges[e].second].push_back(e);
    }
    return inputs;
}

// A random simple 3-regular graph on an even number n of vertices.
Inputs regular_graph(size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    while (true) {
        std::vector<uint64_t> stubs;
        for (uint64_t v = 0; v < n; ++v) stubs.insert(stubs.end(), 3, v);
        std::shuffle(stubs.begin(), stubs.end(), rng);
        std::vector<std::pair<uint64_t, uint64_t>> edges;
        for (size_t p = 0; p < stubs.size(); p += 2) edges.emplace_back(std::minmax(stubs[p], stubs[p + 1]));
        std::vector<std::pair<uint64_t, uint64_t>> sorted = edges;
        std::sort(sorted.begin(), sorted.end());
        const bool simple = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end() &&
                            std::none_of(edges.begin(), edges.end(), [](const auto& e) { return e.first == e.second; });
        if (simple) return from_edges(n, edges);
    }
}

// A chain of n tensors, each with an open leg that the output keeps when `open` (an MPS).
std::pair<Inputs, std::vector<uint64_t>> chain(size_t n, bool open) {
    Inputs inputs(n);
    std::vector<uint64_t> output;
    for (uint64_t i = 0; i < n; ++i) {
        if (i > 0) inputs[i].push_back(i - 1);
        if (i + 1 < n) inputs[i].push_back(i);
        if (open) {
            inputs[i].push_back(n + i);
            if (i % 50 == 0) output.push_back(n + i);
        }
    }
    return {inputs, output};
}

// Sizes 2 and 3 for every id below `n_ids`.
std::vector<uint64_t> small_sizes(size_t n_ids) {
    std::vector<uint64_t> sizes(n_ids);
    for (size_t x = 0; x < n_ids; ++x) sizes[x] = 2 + x % 7 / 5;
    return sizes;
}

// Largest id used, plus one.
size_t n_ids(const Inputs& inputs) {
    uint64_t top = 0;
    for (const auto& axes : inputs)
        for (uint64_t x : axes) top = std::max(top, x + 1);
    return top;
}

TEST_CASE("the driver's greedy-bounded tables searches of large components give valid paths no costlier than greedy") {
    struct Case {
        const char* name;
        Inputs inputs;
        std::vector<uint64_t> output;
        uint64_t hash_map_cap;
    };
    // 70 tensors in a line, nine bonds per link (621 axes): the widest axis sets.
    Inputs ladder(70);
    for (uint64_t link = 0; link < 69; ++link) {
        for (uint64_t b = 0; b < 9; ++b) {
            ladder[link].push_back(9 * link + b);
            ladder[link + 1].push_back(9 * link + b);
        }
    }
    std::vector<Case> cases{{"chain 100", chain(100, false).first, {}, optimiser::default_hash_map_cap},
                            {"ladder 70", ladder, {}, 32},
                            {"3-regular 128", regular_graph(128, 3), {}, 64},
                            {"chain 500", chain(500, false).first, {}, 32}};
    for (const Case& c : cases) {
        // In the ladder only every ninth bond has a size above 1, so that links stay small.
        std::vector<uint64_t> sizes = small_sizes(n_ids(c.inputs));
        if (c.inputs.size() == 70)
            for (uint64_t x = 0; x < sizes.size(); ++x) sizes[x] = x % 9 == 0 ? sizes[x] : 1;
        // The tables with their greedy bound, without the tree search, refinement or a work limit.
        driver::Strategy tables_only;
        tables_only.anytime_from = max;
        tables_only.refine = false;
        driver::Query query;
        query.caps.hash_map_cap = c.hash_map_cap;
        query.work_limit = max;
        const std::optional<Path> path = driver::find_path(c.inputs, c.output, sizes, query, tables_only);
        if (!path) std::fprintf(stderr, "%s: no path\n", c.name);
        CHECK(path.has_value());
        if (!path) continue;
        CHECK_EQ(path->size(), c.inputs.size() - 1);
        const double cost = path_cost(c.inputs, c.output, sizes, *path);
        const double greedy = greedy_cost(c.inputs, c.output, sizes);
        if (!(cost >= 0 && cost <= greedy)) std::fprintf(stderr, "%s: cost %g, greedy %g\n", c.name, cost, greedy);
        CHECK(cost >= 0 && cost <= greedy);
    }
}

TEST_CASE("wide searches of components of up to 63 inputs match narrow ones") {
    auto [line, line_out] = chain(40, true);
    // Seven tensors in a line joined by 80 bonds per link: 480 axes, in eight-word sets.
    Inputs bundle(7);
    for (uint64_t link = 0; link < 6; ++link) {
        for (uint64_t b = 0; b < 80; ++b) {
            bundle[link].push_back(80 * link + b);
            bundle[link + 1].push_back(80 * link + b);
        }
    }
    // Only the first three bonds of a link have a size above 1, so that links stay within 64 bits.
    std::vector<uint64_t> bundle_sizes = small_sizes(480);
    for (uint64_t x = 0; x < 480; ++x)
        if (x % 80 >= 3) bundle_sizes[x] = 1;
    const std::vector<std::tuple<Inputs, std::vector<uint64_t>, std::vector<uint64_t>>> networks{
        {regular_graph(40, 8), {}, small_sizes(60)},
        {regular_graph(20, 9), {0, 7}, small_sizes(30)},
        {line, line_out, small_sizes(80)},
        {bundle, {}, bundle_sizes},
        {chain(63, false).first, {}, small_sizes(62)}};
    for (const auto& [inputs, output, sizes] : networks) {
        for (const bool check_outer : {false, true}) {
            Options narrow;
            narrow.caps.check_outer = check_outer;
            narrow.caps.hash_map_cap = 50;
            Options wide = narrow;
            wide.wide = true;
            const Path narrow_path = optimiser::find_path(inputs, output, sizes, narrow).value_or(Path{});
            if (narrow_path.empty()) std::fprintf(stderr, "network of %zu, outer %d: no path\n", inputs.size(), check_outer);
            CHECK(!narrow_path.empty());
            CHECK_EQ(optimiser::find_path(inputs, output, sizes, wide).value_or(Path{}), narrow_path);
        }
    }
}

TEST_CASE("wide searches lift the limits of narrow ones up to their own") {
    Options wide;
    wide.wide = true;
    // 600 axes among two inputs: too many for a narrow search.
    Inputs pair{{}, {}};
    for (uint64_t x = 0; x < 600; ++x) pair[x % 2].push_back(x);
    pair[0].push_back(1);
    const std::vector<uint64_t> ones(600, 1);
    CHECK_THROWS_TEXT(util::InvalidValue, optimiser::find_path(pair, {}, ones, Options{}),
                      "optimize_dp handles at most 512 distinct axes in one connected group of inputs, got 600");
    CHECK_EQ(optimiser::find_path(pair, {}, ones, wide).value_or(Path{}), (Path{{0, 1}}));
    // 64 inputs: narrow searches give up, wide ones search.
    const Inputs line = chain(64, false).first;
    CHECK_THROWS_TEXT(util::Panic, optimiser::find_path(line, {}, small_sizes(64), Options{}),
                      "store bitmaps as usize, so can only have 64 per subgraph");
    const std::optional<Path> path = optimiser::find_path(line, {}, small_sizes(64), wide);
    CHECK(path && path_cost(line, {}, small_sizes(64), *path) >= 0);
    // Beyond the widest bitmaps compiled in, a wide search refuses before any work.
    const Inputs long_line = chain(4097, false).first;
    CHECK_THROWS_TEXT(util::InvalidValue, optimiser::find_path(long_line, {}, small_sizes(4097), wide),
                      "the search handles at most 4096 inputs and 8192 distinct axes in one connected group of "
                      "inputs, got 4097 inputs and 4096 axes");
}

TEST_CASE("the interrupt check keeps being asked in a wide search of 2,000 inputs") {
    static int asked = 0;
    Options options;
    options.wide = true;
    options.interrupt = {[](void*) { return ++asked >= 3; }, nullptr};
    const auto [inputs, output] = chain(2000, true);
    bool interrupted = false;
    try {
        optimiser::find_path(inputs, output, small_sizes(4000), options);
    } catch (const util::Interrupted&) {
        interrupted = true;
    }
    CHECK(interrupted);
    CHECK_EQ(asked, 3);
}

// A side x side lattice, one axis per bond.
Inputs grid(uint64_t side) {
    std::vector<std::pair<uint64_t, uint64_t>> edges;
    for (uint64_t r = 0; r < side; ++r) {
        for (uint64_t c = 0; c < side; ++c) {
            if (c + 1 < side) edges.emplace_back(r * side + c, r * side + c + 1);
            if (r + 1 < side) edges.emplace_back(r * side + c, (r + 1) * side + c);
        }
    }
    return from_edges(side * side, edges);
}

TEST_CASE("the interrupt check stops a long narrow search, and one that never stops it changes nothing") {
    struct Count {
        int calls = 0;
        int stop_at = 0;
    };
    auto check = [](void* context) {
        Count& count = *static_cast<Count*>(context);
        return ++count.calls == count.stop_at;
    };
    // An exhaustive search of the 7 x 7 lattice takes seconds: stopped at the third check.
    const Inputs inputs = grid(7);
    const std::vector<uint64_t> sizes(200, 2);
    Count count{0, 3};
    Options options;
    options.caps.hash_map_cap = max;
    options.interrupt = {check, &count};
    bool stopped = false;
    try {
        optimiser::find_path(inputs, {}, sizes, options);
    } catch (const util::Interrupted&) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(count.calls, 3);
    count = {0, -1};
    options.caps.hash_map_cap = 2000;
    Options quiet;
    quiet.caps.hash_map_cap = 2000;
    CHECK_EQ(optimiser::optimize_dp(inputs, {}, sizes, options), optimiser::optimize_dp(inputs, {}, sizes, quiet));
}

TEST_CASE("the build for processors without a population-count instruction finds the same paths") {
    // Uniform and mixed sizes, narrow and wide axis sets, exhaustive and capped.
    std::mt19937_64 rng(17);
    for (int round = 0; round < 24; ++round) {
        const Inputs inputs = round % 3 == 2 ? grid(4 + round % 2) : regular_graph(10 + 2 * (round % 4), 100 + round);
        std::vector<uint64_t> sizes(n_ids(inputs));
        for (uint64_t& size : sizes) size = round % 2 ? 2 : 2 + rng() % 4;
        Options options;
        options.caps.hash_map_cap = round % 4 == 0 ? max : 1 + rng() % 50;
        const Path native = optimiser::optimize_dp(inputs, {}, sizes, options);
        optimiser::detail::force_portable(true);
        const Path portable = optimiser::optimize_dp(inputs, {}, sizes, options);
        optimiser::detail::force_portable(false);
        CHECK_EQ(portable, native);
    }
}

}  // namespace

namespace {

// What a call gives, as text: its path, "none" when it finds none, or the refusal.
std::string outcome(const Inputs& inputs, const std::vector<uint64_t>& output, const std::vector<uint64_t>& sizes,
                    const Options& options) {
    try {
        const std::optional<Path> path = optimiser::find_path(inputs, output, sizes, options);
        return path ? core_tests::show(*path) : "none";
    } catch (const util::InvalidValue& e) {
        return std::string("refused: ") + e.what();
    }
}

TEST_CASE("calls of up to eight inputs take the general search's paths without its tables") {
    // Few ids, so that inputs share axes, fall apart into components or repeat an id; sizes
    // from 1 up to ones that overflow, or one power of two for every id (which the general
    // search prices and filters by counting axes); every cap and option, binding or not.
    std::mt19937_64 rng(23);
    for (int round = 0; round < 4000; ++round) {
        const size_t n = 2 + rng() % 7;
        const uint64_t n_ids = 2 + rng() % 12;
        Inputs inputs(n);
        for (auto& input : inputs)
            for (size_t a = rng() % 5; a > 0; --a) input.push_back(rng() % 8 == 0 ? 60 + rng() % 10 : rng() % n_ids);
        std::vector<uint64_t> output;
        for (uint64_t id = 0; id < n_ids; ++id)
            if (rng() % 4 == 0) output.push_back(id);
        std::vector<uint64_t> sizes(n_ids);
        for (uint64_t& size : sizes) size = rng() % 16 == 0 ? uint64_t{1} << (20 + rng() % 30) : 1 + rng() % 6;
        if (round % 3 == 0) std::fill(sizes.begin(), sizes.end(), uint64_t{1} << std::array{1, 1, 2, 3, 21}[rng() % 5]);
        Options options;
        options.caps.check_outer = rng() % 4 == 0;
        options.caps.hash_map_cap = std::array<uint64_t, 6>{0, 1, 2, 3, 500, max}[rng() % 6];
        options.caps.mem_cap = rng() % 3 == 0 ? rng() % 200 : max;
        options.caps.fixed_mem_cap = rng() % 4 == 0;
        const std::string small = outcome(inputs, output, sizes, options);
        optimiser::detail::force_general(true);
        const std::string general = outcome(inputs, output, sizes, options);
        optimiser::detail::force_general(false);
        CHECK_EQ(small, general);
    }
}

}  // namespace
