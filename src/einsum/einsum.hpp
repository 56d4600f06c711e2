// The native record of an einsum contraction and its queries. Pure C++.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace plenexa::einsum {

using Ids = std::vector<uint64_t>;

// One axis list per input, the output's axis list, and the dense size table
// (entry i is the size of axis id i; 0 means "no size").
struct EinsumRecord {
    std::vector<Ids> input_ints;
    Ids output_ints;
    Ids int_sizes;
};

// Builds the dense size table from (id, size) entries; later entries win.
Ids dense_sizes(const std::vector<std::pair<uint64_t, uint64_t>>& entries);

// The validity rule: output ids occur in an input; input ids have a non-zero size.
bool validate(const EinsumRecord& r);

// Distinct ids of the inputs, in order of first appearance.
Ids ints_in_input(const EinsumRecord& r);

// Operand shapes and the result shape.
std::pair<std::vector<Ids>, Ids> shapes(const EinsumRecord& r);

// Operation count of a direct evaluation (additions plus multiplications), wrapping.
uint64_t flops(const EinsumRecord& r);

// The same contraction with ids renumbered densely by first appearance in the inputs.
EinsumRecord normalize(const EinsumRecord& r);

// The einsum subscript string, e.g. "ab,bc->ac".
std::string to_einsum_string(const EinsumRecord& r);

// The structure form used by repr.
std::string render(const EinsumRecord& r);

}  // namespace plenexa::einsum
