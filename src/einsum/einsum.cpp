#include "einsum/einsum.hpp"

#include <algorithm>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "util/failure.hpp"
#include "util/format.hpp"
#include "util/letters.hpp"

namespace plenexa::einsum {

Ids dense_sizes(const std::vector<std::pair<uint64_t, uint64_t>>& entries) {
    uint64_t largest = 0;
    for (const auto& [id, size] : entries) largest = std::max(largest, id);
    // A table up to and including id 2^64 - 1 has a length that does not fit in 64 bits.
    if (largest == UINT64_MAX) throw std::bad_alloc();
    Ids table(largest + 1, 0);
    for (const auto& [id, size] : entries) table[id] = size;
    return table;
}

Ids ints_in_input(const EinsumRecord& r) {
    Ids ids;
    std::unordered_set<uint64_t> seen;
    for (const auto& list : r.input_ints)
        for (uint64_t id : list)
            if (seen.insert(id).second) ids.push_back(id);
    return ids;
}

bool validate(const EinsumRecord& r) {
    // Every input id must have a size, so the size table is long enough to mark them in: one
    // bit per id, on the stack for the tables of small calls, where an allocation would cost
    // more than the whole check.
    constexpr size_t stack_words = 64;
    const size_t n_marks = r.output_ints.empty() ? 0 : r.int_sizes.size();
    const size_t words = (n_marks + 63) / 64;
    uint64_t stack[stack_words];
    std::vector<uint64_t> heap;
    uint64_t* used = stack;
    if (words > stack_words) {
        heap.assign(words, 0);
        used = heap.data();
    } else {
        std::fill_n(stack, words, 0);
    }
    for (const auto& list : r.input_ints) {
        for (uint64_t id : list) {
            if (id >= r.int_sizes.size() || r.int_sizes[id] == 0) return false;
            if (n_marks != 0) used[id / 64] |= uint64_t{1} << (id % 64);
        }
    }
    for (uint64_t id : r.output_ints)
        if (id >= n_marks || ((used[id / 64] >> (id % 64)) & 1) == 0) return false;
    return true;
}

std::pair<std::vector<Ids>, Ids> shapes(const EinsumRecord& r) {
    std::vector<Ids> inputs;
    inputs.reserve(r.input_ints.size());
    for (const auto& list : r.input_ints) {
        Ids shape;
        shape.reserve(list.size());
        for (uint64_t id : list) shape.push_back(util::at(r.int_sizes, id));
        inputs.push_back(std::move(shape));
    }
    Ids output;
    output.reserve(r.output_ints.size());
    for (uint64_t id : r.output_ints) output.push_back(util::at(r.int_sizes, id));
    return {std::move(inputs), std::move(output)};
}

uint64_t flops(const EinsumRecord& r) {
    const Ids used = ints_in_input(r);
    const std::unordered_set<uint64_t> in_output(r.output_ints.begin(), r.output_ints.end());
    uint64_t full = 1, out = 1, summed = 1;  // unsigned arithmetic wraps by design
    for (uint64_t id : used) {
        const uint64_t size = util::at(r.int_sizes, id);
        full *= size;
        if (!in_output.contains(id)) summed *= size;
    }
    for (uint64_t id : r.output_ints) out *= util::at(r.int_sizes, id);
    const uint64_t n = r.input_ints.size();
    return out * (summed - 1) + full * (n - 1);
}

EinsumRecord normalize(const EinsumRecord& r) {
    std::unordered_map<uint64_t, uint64_t> renumber;
    for (const auto& list : r.input_ints)
        for (uint64_t id : list) renumber.try_emplace(id, renumber.size());

    EinsumRecord out;
    out.int_sizes.assign(renumber.empty() ? 1 : renumber.size(), 0);
    for (const auto& [old_id, new_id] : renumber) out.int_sizes[new_id] = util::at(r.int_sizes, old_id);

    const auto lookup = [&](uint64_t id) {
        const auto found = renumber.find(id);
        if (found == renumber.end()) util::panic_none();
        return found->second;
    };
    out.input_ints.reserve(r.input_ints.size());
    for (const auto& list : r.input_ints) {
        Ids renamed;
        renamed.reserve(list.size());
        for (uint64_t id : list) renamed.push_back(lookup(id));
        out.input_ints.push_back(std::move(renamed));
    }
    out.output_ints.reserve(r.output_ints.size());
    for (uint64_t id : r.output_ints) out.output_ints.push_back(lookup(id));
    return out;
}

std::string to_einsum_string(const EinsumRecord& r) {
    std::string text;
    for (std::size_t i = 0; i < r.input_ints.size(); ++i) {
        if (i) text += ',';
        for (uint64_t id : r.input_ints[i]) text += util::axis_letter(id);
    }
    text += "->";
    for (uint64_t id : r.output_ints) text += util::axis_letter(id);
    return text;
}

std::string render(const EinsumRecord& r) {
    std::string output;
    util::append_ids(output, r.output_ints);
    return util::render_record("EinsumSpec", r.input_ints, output, r.int_sizes);
}

}  // namespace plenexa::einsum
