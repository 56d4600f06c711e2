#include "util/letters.hpp"

#include "util/failure.hpp"

namespace plenexa::util {

namespace {
std::array<std::string, axis_letter_count> build_letters() {
    std::array<std::string, axis_letter_count> table;
    for (std::size_t i = 0; i < 25; ++i) {
        table[i] = std::string(1, static_cast<char>('a' + i));
        table[25 + i] = std::string(1, static_cast<char>('A' + i));
    }
    return table;
}
}  // namespace

const std::array<std::string, axis_letter_count>& axis_letters() {
    // A function-local static is initialised exactly once, even under concurrent first use.
    static const std::array<std::string, axis_letter_count> table = build_letters();
    return table;
}

const std::string& axis_letter(uint64_t id) {
    return at(axis_letters(), id);
}

}  // namespace plenexa::util
