// Unit tests of the native rearrange record: predicates, shapes, einops patterns, repr.
#include <string>

#include "check.hpp"
#include "rearrange/rearrange.hpp"
#include "util/failure.hpp"

using namespace plenexa::rearrange;
using plenexa::util::Panic;

namespace {

struct PredicateRow {
    Record r;
    bool identity;
    bool permute;
    bool valid;
};

struct PatternRow {
    Record r;
    std::string pattern;
    LetterSizes letters;
};

struct PanicRow {
    Record r;
    std::string text;
};

// Letter sizes as "b=5 c=6", for comparison and readable failure output.
std::string show_letters(const LetterSizes& letters) {
    std::string out;
    for (const auto& [letter, size] : letters) {
        if (!out.empty()) out += ' ';
        out += letter + "=" + std::to_string(size);
    }
    return out;
}

// Both sides of shapes() as "[...] -> [...]".
std::string show_shapes(const std::pair<Ids, Ids>& s) {
    return core_tests::show(s.first) + " -> " + core_tests::show(s.second);
}

// The index-out-of-bounds panic text.
std::string oob(uint64_t len, uint64_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace

TEST_CASE("rearrange predicates") {
    const PredicateRow rows[] = {
        {{{}, {}, {}}, true, true, true},
        {{{{0}, {1}}, {{1}, {0}}, {2, 3}}, false, true, true},
        {{{{0}, {1}}, {{1}, {0}}, {1, 1}}, true, true, true},
        {{{{0}, {1}}, {{0}}, {2, 1}}, false, false, true},
        {{{{0, 1}}, {{0}, {1}}, {2, 3}}, false, false, true},
        {{{{0, 1}}, {{1, 0}}, {2, 3}}, false, false, true},
        {{{{0}, {0}}, {{0}}, {2}}, false, true, false},
        {{{{1}}, {{1}, {1}}, {2, 3}}, false, true, false},
        {{{{0}, {}}, {{0}, {}}, {2}}, true, true, false},
        {{{{0}}, {{}}, {2}}, false, false, false},
        {{{{0, 1}, {2}}, {{0, 1}, {2}}, {2, 3, 4}}, true, true, true},
    };
    for (const auto& row : rows) {
        CHECK_EQ(is_identity(row.r), row.identity);
        CHECK_EQ(is_permute(row.r), row.permute);
        CHECK_EQ(is_valid(row.r), row.valid);
    }
    // Ids beyond the size table do not make a spec invalid, and is_permute ignores sizes.
    const Record beyond{{{7}}, {{7}}, {}};
    CHECK(is_valid(beyond));
    CHECK(is_permute(beyond));
}

TEST_CASE("rearrange id sets in order of first appearance") {
    const Record r{{{3, 1}, {1, 0}, {}}, {{0}, {5, 3}}, {}};
    CHECK_EQ(ints_in_inp(r), (Ids{3, 1, 0}));
    CHECK_EQ(ints_in_out(r), (Ids{0, 5, 3}));
    CHECK_EQ(ints_in_inp(Record{}), Ids{});
}

TEST_CASE("rearrange shapes wrap") {
    CHECK_EQ(show_shapes(shapes(Record{{{0, 1}, {}}, {{1}, {0}}, {2, 3}})), std::string("[6, 1] -> [3, 2]"));
    CHECK_EQ(show_shapes(shapes(Record{{{0, 1}}, {{0, 1}, {0}}, {1ULL << 32, 1ULL << 32}})),
             std::string("[0] -> [0, 4294967296]"));
    CHECK_EQ(show_shapes(shapes(Record{})), std::string("[] -> []"));
}

TEST_CASE("rearrange einops patterns and letter sizes") {
    const PatternRow rows[] = {
        {{{}, {}, {}}, " -> ", {}},
        {{{{0}, {1, 2}}, {{1}, {0}, {2, 3}}, {4, 5, 6, 7}}, "a (b c) -> b a (c 7)", {{"b", 5}, {"c", 6}}},
        {{{{0}}, {{0}, {1}}, {2, 3}}, "a -> a 3", {}},
        {{{{0}, {1}}, {{0}}, {3, 1}}, "a 1 -> a", {}},
        {{{{0}}, {{0}}, {}}, "a -> a", {}},
        {{{{0, 1}, {2}}, {{2}, {0, 1}}, {2, 3, 4}}, "(a b) c -> c (a b)", {{"a", 2}, {"b", 3}}},
        {{{{0, 1}}, {{0}, {}}, {2, 3}}, "(a 3) -> a ()", {{"a", 2}, {"b", 3}}},
        {{{{2, 1, 2}, {1, 0}}, {{0, 1, 2}}, {4, 5, 6}}, "(c b c) (b a) -> (a b c)", {{"c", 6}, {"b", 5}, {"a", 4}}},
    };
    for (const auto& row : rows) {
        CHECK_EQ(to_einops_string(row.r), row.pattern);
        const auto [pattern, letters] = to_einops_string_and_letter_sizes(row.r);
        CHECK_EQ(pattern, row.pattern);
        CHECK_EQ(show_letters(letters), show_letters(row.letters));
    }
    // Ids 24, 25 and 49 are the last lowercase, first and last uppercase letters.
    CHECK_EQ(to_einops_string(Record{{{24, 25, 49}}, {{49, 25, 24}}, {}}), std::string("(y A Y) -> (Y A y)"));
}

TEST_CASE("rearrange index failures and their order") {
    const PanicRow patterns[] = {
        // id 50 on both sides has no letter
        {{{{50}}, {{50}}, {}}, oob(50, 50)},
        // a one-sided id without a size
        {{{{0}, {3}}, {{0}}, {1}}, oob(1, 3)},
        // input side is rendered before the output side
        {{{{4}, {0}}, {{0}, {9}}, {1}}, oob(1, 4)},
        {{{{0}}, {{0}, {9}}, {1}}, oob(1, 9)},
        // within a side, the first failing id decides
        {{{{0, 60, 70}}, {{0}}, {}}, oob(0, 60)},
    };
    for (const auto& row : patterns) CHECK_THROWS_TEXT(Panic, to_einops_string(row.r), row.text);

    // Letter sizes are checked before the pattern; within an id, the letter before the size.
    CHECK_THROWS_TEXT(Panic, to_einops_string_and_letter_sizes(Record{{{7}, {0, 1}}, {{0}}, {2}}), oob(1, 1));
    CHECK_THROWS_TEXT(Panic, to_einops_string_and_letter_sizes(Record{{{0, 50}}, {{0}}, {1}}), oob(50, 50));
    CHECK_THROWS_TEXT(Panic, to_einops_string_and_letter_sizes(Record{{{0, 1}}, {{0, 1}}, {}}), oob(0, 0));
    // An id that feeds the letter sizes needs a size even when the pattern writes a letter.
    CHECK_THROWS_TEXT(Panic, to_einops_string_and_letter_sizes(Record{{{0, 1}}, {{1, 0}}, {2}}), oob(1, 1));

    CHECK_THROWS_TEXT(Panic, shapes(Record{{{5}}, {}, {2, 3}}), oob(2, 5));
    CHECK_THROWS_TEXT(Panic, shapes(Record{{{0}}, {{9}, {0}}, {2}}), oob(1, 9));
    CHECK_THROWS_TEXT(Panic, shapes(Record{{{0}, {8}}, {{9}}, {2}}), oob(1, 8));
    // is_identity maps both sides before comparing, even when their group counts differ.
    CHECK_THROWS_TEXT(Panic, is_identity(Record{{{0}}, {{0}, {4}}, {2}}), oob(1, 4));
    CHECK_THROWS_TEXT(Panic, is_identity(Record{{{3}}, {{4}}, {2}}), oob(1, 3));
}

TEST_CASE("rearrange repr") {
    CHECK_EQ(render(Record{{{0, 1}, {2}}, {{2}, {0, 1}}, {2, 3, 4}}),
             std::string("RearrangeSpec { input_ints: [[0, 1], [2]], output_ints: [[2], [0, 1]], int_sizes: [2, 3, 4] }"));
    CHECK_EQ(render(Record{}),
             std::string("RearrangeSpec { input_ints: [], output_ints: [], int_sizes: [] }"));
    CHECK_EQ(render(Record{{{}}, {}, {18446744073709551615ULL}}),
             std::string("RearrangeSpec { input_ints: [[]], output_ints: [], int_sizes: [18446744073709551615] }"));
}
