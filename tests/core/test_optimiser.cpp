// Unit tests of the contraction-order optimiser's pieces and of its fixed answers.
#include <algorithm>
#include <random>

#include "check.hpp"
#include "optimiser/detail.hpp"
#include "optimiser/optimiser.hpp"
#include "optimiser/table.hpp"
#include "util/failure.hpp"

namespace {

using namespace plenexa;
using optimiser::Bits;
using optimiser::Options;
using optimiser::Path;
using optimiser::detail::Numbered;
constexpr uint64_t max = optimiser::max_u64;

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
        CHECK_EQ(uniform.of_union(a, sa, b, sb, shortcut), joined);
        if (joined) CHECK_EQ(shortcut, direct);
    }
}

TEST_CASE("tables keep insertion order and a replaced entry's place") {
    optimiser::Table<1> table(64, 64);
    Bits<1> axes;
    axes.w[0] = 0b101;
    auto key = [](uint64_t i) { return (i * 0x9E3779B97F4A7C15ull) | 1; };
    for (uint64_t i = 0; i < 1000; ++i) table.append(key(i), axes, 1000 - i, 1, static_cast<uint32_t>(i));
    table.replace(500, 3, 7);
    CHECK_EQ(table.size(), size_t{1000});
    CHECK_EQ(table.find(key(500)), int64_t{500});
    CHECK_EQ(table.entries[500].cost, uint64_t{3});
    CHECK_EQ(table.entries[500].floor, uint64_t{4});
    CHECK_EQ(table.find(2), int64_t{-1});
    for (uint64_t i = 0; i < 1000; ++i) CHECK_EQ(table.find(table.entries[i].subgraph), static_cast<int64_t>(i));
    // Block floors: the cheapest entry of each group of 64, lowered by the replacement.
    CHECK_EQ(table.block_floor(0), uint64_t{1000 - 63 + 1});
    CHECK_EQ(table.block_floor(7), uint64_t{4});
    // Membership words: entry 130 contains input 0 and axis 2 (bit 130 % 64 of block 2), not axis 1.
    CHECK((table.block(2)[optimiser::Table<1>::input_feature(0)] >> 2) & 1);
    CHECK((table.block(2)[table.axis_feature(2)] >> 2) & 1);
    CHECK(!((table.block(2)[table.axis_feature(1)] >> 2) & 1));
}

TEST_CASE("ids far beyond the size table count as size 1") {
    // Python cannot build such a spec (its size table is dense), so the core is asked directly.
    const Path path = optimiser::optimize_dp({{max, 0}, {0, max - 1}, {max - 1}}, {max}, {2}, Options{});
    // Only id 0 has a size (2): contracting inputs 0 and 1 first costs 2 + 1, inputs 1 and 2 first 2 + 2.
    CHECK_EQ(path, (Path{{0, 1}, {0, 1}}));
}

// A side x side lattice of tensors, one axis of size 2 per bond.
std::vector<std::vector<uint64_t>> grid(uint64_t side) {
    std::vector<std::vector<uint64_t>> inputs(side * side);
    uint64_t bond = 0;
    for (uint64_t r = 0; r < side; ++r) {
        for (uint64_t c = 0; c < side; ++c) {
            if (c + 1 < side) {
                inputs[r * side + c].push_back(bond);
                inputs[r * side + c + 1].push_back(bond++);
            }
            if (r + 1 < side) {
                inputs[r * side + c].push_back(bond);
                inputs[(r + 1) * side + c].push_back(bond++);
            }
        }
    }
    return inputs;
}

TEST_CASE("the interrupt check is asked during a long search and can stop it") {
    struct Count {
        int calls = 0;
        int stop_at = 0;
    };
    auto check = [](void* context) {
        Count& count = *static_cast<Count*>(context);
        return ++count.calls == count.stop_at;
    };
    // An exhaustive search of the 7 x 7 lattice takes seconds: stopped at the third check.
    const auto inputs = grid(7);
    const std::vector<uint64_t> sizes(200, 2);
    Count count{0, 3};
    Options options;
    options.hash_map_cap = max;
    options.interrupt = {check, &count};
    bool stopped = false;
    try {
        optimiser::find_path(inputs, {}, sizes, options);
    } catch (const util::Interrupted&) {
        stopped = true;
    }
    CHECK(stopped);
    CHECK_EQ(count.calls, 3);
    // A check that never stops the search leaves its path as it was.
    count = {0, -1};
    options.hash_map_cap = 2000;
    const Path quiet = optimiser::optimize_dp(inputs, {}, sizes, Options{.hash_map_cap = 2000});
    CHECK_EQ(optimiser::optimize_dp(inputs, {}, sizes, options), quiet);
}

}  // namespace
