#include "rearrange/rearrange.hpp"

#include <set>
#include <unordered_set>

#include "util/failure.hpp"
#include "util/format.hpp"
#include "util/letters.hpp"

namespace plenexa::rearrange {

namespace {

// Distinct ids of the given groups in order of first appearance; groups shorter than
// `min_len` are skipped.
Ids distinct_ids(const Groups& groups, std::size_t min_len = 0) {
    Ids order;
    std::unordered_set<uint64_t> seen;
    for (const Ids& group : groups) {
        if (group.size() < min_len) continue;
        for (uint64_t id : group) {
            if (seen.insert(id).second) order.push_back(id);
        }
    }
    return order;
}

// Whether any id occurs more than once across all groups of one side.
bool has_repeat(const Groups& groups) {
    std::unordered_set<uint64_t> seen;
    for (const Ids& group : groups) {
        for (uint64_t id : group) {
            if (!seen.insert(id).second) return true;
        }
    }
    return false;
}

// Whether any group of one side is empty.
bool has_empty(const Groups& groups) {
    for (const Ids& group : groups) {
        if (group.empty()) return true;
    }
    return false;
}

// The identity key of each id, group by group: size-1 axes share one marker key.
Groups identity_keys(const Groups& groups, const Ids& int_sizes) {
    constexpr uint64_t unit_marker = ~uint64_t{0};
    Groups keys;
    keys.reserve(groups.size());
    for (const Ids& group : groups) {
        Ids& mapped = keys.emplace_back();
        mapped.reserve(group.size());
        for (uint64_t id : group) mapped.push_back(util::at(int_sizes, id) == 1 ? unit_marker : id);
    }
    return keys;
}

// Dimension lengths of one side as wrapping products of the group sizes.
Ids side_lengths(const Groups& groups, const Ids& int_sizes) {
    Ids lengths;
    lengths.reserve(groups.size());
    for (const Ids& group : groups) {
        uint64_t product = 1;
        for (uint64_t id : group) product *= util::at(int_sizes, id);
        lengths.push_back(product);
    }
    return lengths;
}

// Writes one side of the pattern: ids present on the other side as letters, the rest as sizes.
void append_side(std::string& out, const Groups& groups, const std::unordered_set<uint64_t>& other,
                 const Ids& int_sizes) {
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (g) out += ' ';
        const Ids& group = groups[g];
        const bool bare = group.size() == 1;
        if (!bare) out += '(';
        for (std::size_t k = 0; k < group.size(); ++k) {
            if (k) out += ' ';
            const uint64_t id = group[k];
            if (other.contains(id)) {
                out += util::axis_letter(id);
            } else {
                out += std::to_string(util::at(int_sizes, id));
            }
        }
        if (!bare) out += ')';
    }
}

// The set of all ids on one side, for membership tests while rendering.
std::unordered_set<uint64_t> id_set(const Groups& groups) {
    std::unordered_set<uint64_t> ids;
    for (const Ids& group : groups) ids.insert(group.begin(), group.end());
    return ids;
}

}  // namespace

Ids ints_in_inp(const Record& r) { return distinct_ids(r.input_ints); }

Ids ints_in_out(const Record& r) { return distinct_ids(r.output_ints); }

bool is_identity(const Record& r) {
    // Both sides are mapped before comparing so that an id without a size always fails,
    // input side first, whatever the shapes of the two sides.
    Groups in = identity_keys(r.input_ints, r.int_sizes);
    Groups out = identity_keys(r.output_ints, r.int_sizes);
    return in == out;
}

bool is_permute(const Record& r) {
    std::set<Ids> in(r.input_ints.begin(), r.input_ints.end());
    std::set<Ids> out(r.output_ints.begin(), r.output_ints.end());
    return in == out;
}

bool is_valid(const Record& r) {
    return !has_empty(r.input_ints) && !has_empty(r.output_ints) && !has_repeat(r.input_ints) &&
           !has_repeat(r.output_ints);
}

std::pair<Ids, Ids> shapes(const Record& r) {
    Ids in = side_lengths(r.input_ints, r.int_sizes);
    Ids out = side_lengths(r.output_ints, r.int_sizes);
    return {std::move(in), std::move(out)};
}

std::string to_einops_string(const Record& r) {
    std::string out;
    append_side(out, r.input_ints, id_set(r.output_ints), r.int_sizes);
    out += " -> ";
    append_side(out, r.output_ints, id_set(r.input_ints), r.int_sizes);
    return out;
}

std::pair<std::string, LetterSizes> to_einops_string_and_letter_sizes(const Record& r) {
    LetterSizes sizes;
    for (uint64_t id : distinct_ids(r.input_ints, 2)) {
        const std::string& letter = util::axis_letter(id);
        sizes.emplace_back(letter, util::at(r.int_sizes, id));
    }
    std::string pattern = to_einops_string(r);
    return {std::move(pattern), std::move(sizes)};
}

std::string render(const Record& r) {
    std::string output_text;
    util::append_groups(output_text, r.output_ints);
    return util::render_record("RearrangeSpec", r.input_ints, output_text, r.int_sizes);
}

}  // namespace plenexa::rearrange
