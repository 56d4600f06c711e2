// The native record of an einops-style rearrangement and its queries. Pure C++.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plenexa::rearrange {

using Ids = std::vector<uint64_t>;
using Groups = std::vector<Ids>;
using LetterSizes = std::vector<std::pair<std::string, uint64_t>>;

// Every input and output dimension is one axis group; int_sizes[i] is the size of id i.
struct Record {
    Groups input_ints;
    Groups output_ints;
    Ids int_sizes;
};

// Distinct ids of the input groups (order of first appearance).
Ids ints_in_inp(const Record& r);
// Distinct ids of the output groups (order of first appearance).
Ids ints_in_out(const Record& r);
// Whether the output is the input with size-1 axes treated as interchangeable.
bool is_identity(const Record& r);
// Whether both sides hold the same set of distinct groups.
bool is_permute(const Record& r);
// No empty group and no id repeated within a side.
bool is_valid(const Record& r);
// Dimension lengths of both sides (wrapping products).
std::pair<Ids, Ids> shapes(const Record& r);
// The einops pattern, e.g. "a (b c) -> b a (c 7)".
std::string to_einops_string(const Record& r);
// The pattern and the (letter, size) pairs of ids in composite input groups.
std::pair<std::string, LetterSizes> to_einops_string_and_letter_sizes(const Record& r);
// The structure form used by repr.
std::string render(const Record& r);

}  // namespace plenexa::rearrange
