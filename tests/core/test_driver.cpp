// Unit tests of the driver of plenexa_paths' searches: its strategy's description and the
// preconditions it refuses.
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "driver/driver.hpp"
#include "util/failure.hpp"

namespace {

using namespace plenexa;

// The "name = value" lines of a description, as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> knobs(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find(" = ");
        lines.emplace_back(at == std::string::npos ? line : line.substr(0, at),
                           at == std::string::npos ? "" : line.substr(at + 3));
    }
    return lines;
}

TEST_CASE("driver: the strategy describes each of its knobs once, with the value it holds") {
    const auto listed = knobs(driver::strategy.describe());
    std::set<std::string> names;
    for (const auto& [name, value] : listed) {
        CHECK(!value.empty());
        CHECK(names.insert(name).second);
    }
    CHECK(names.count("anytime_from") && names.count("trees.rebuild_rounds") &&
          names.count("trees.partition.patience_divisor"));
    // A changed knob of each kind shows its own value.
    driver::Strategy changed;
    changed.work_limit = 12345;
    changed.refine = false;
    changed.trees.partition.coarsen_shrink = 0.75;
    const auto shown = knobs(changed.describe());
    CHECK_EQ(shown.size(), listed.size());
    for (const auto& [name, value] : shown) {
        if (name == "work_limit") CHECK_EQ(value, std::string("12345"));
        if (name == "refine") CHECK_EQ(value, std::string("false"));
        if (name == "trees.partition.coarsen_shrink") CHECK_EQ(value, std::string("0.75"));
    }
}

TEST_CASE("driver: an output id in no input, or named twice, and an empty network are refused") {
    struct Case {
        std::vector<std::vector<uint64_t>> inputs;
        std::vector<uint64_t> output;
        const char* text;
    };
    const Case cases[] = {{{}, {}, "terms is empty"},
                          {{{0}, {0, 1}}, {2}, "output id 2 is in no term"},
                          {{{0, 1}, {1}}, {0, 0}, "output id 0 repeats"}};
    for (const Case& c : cases)
        CHECK_THROWS_TEXT(util::InvalidValue, driver::find_path(c.inputs, c.output, {2, 3, 4}, driver::Query{}), c.text);
}

}  // namespace
