#include "util/format.hpp"

namespace plenexa::util {

void append_ids(std::string& out, const std::vector<uint64_t>& ids) {
    out += '[';
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(ids[i]);
    }
    out += ']';
}

void append_groups(std::string& out, const std::vector<std::vector<uint64_t>>& groups) {
    out += '[';
    for (std::size_t i = 0; i < groups.size(); ++i) {
        if (i) out += ", ";
        append_ids(out, groups[i]);
    }
    out += ']';
}

std::string render_record(const char* name, const std::vector<std::vector<uint64_t>>& input_ints,
                          const std::string& output_text, const std::vector<uint64_t>& int_sizes) {
    std::string out = name;
    out += " { input_ints: ";
    append_groups(out, input_ints);
    out += ", output_ints: ";
    out += output_text;
    out += ", int_sizes: ";
    append_ids(out, int_sizes);
    out += " }";
    return out;
}

}  // namespace plenexa::util
