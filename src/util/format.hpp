// The structure form: "Name { field: value, ... }" with vectors written as "[1, 2]".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plenexa::util {

// Appends "[a, b, ...]" for a vector of integers.
void append_ids(std::string& out, const std::vector<uint64_t>& ids);

// Appends "[[...], [...]]" for a vector of vectors of integers.
void append_groups(std::string& out, const std::vector<std::vector<uint64_t>>& groups);

// Renders "Name { input_ints: ..., output_ints: ..., int_sizes: ... }".
std::string render_record(const char* name, const std::vector<std::vector<uint64_t>>& input_ints,
                          const std::string& output_text, const std::vector<uint64_t>& int_sizes);

}  // namespace plenexa::util
