#include "util/failure.hpp"

namespace plenexa::util {

Panic::Panic(std::string text, std::source_location where)
    : text_(std::move(text)), where_(where) {}

[[gnu::cold]] void panic_index(uint64_t len, uint64_t index, std::source_location where) {
    throw Panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

[[gnu::cold]] void panic_none(std::source_location where) {
    throw Panic("called `Option::unwrap()` on a `None` value", where);
}

}  // namespace plenexa::util
