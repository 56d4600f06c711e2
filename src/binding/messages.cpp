#include "binding/messages.hpp"

namespace plenexa::binding::messages {

namespace {
// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(std::span<const std::string> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) out += " and ";
            else if (i + 1 == names.size()) out += ", and ";
            else out += ", ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}
}  // namespace

[[gnu::cold]] std::string conversion(const std::string& type_name, const char* target) {
    return "'" + type_name + "' object cannot be converted to '" + target + "'";
}

[[gnu::cold]] std::string too_many_positional(const std::string& full, std::size_t required,
                                              std::size_t count, std::size_t given) {
    std::string out = full + " takes ";
    if (required != count) out += "from " + std::to_string(required) + " to ";
    out += std::to_string(count) + " positional arguments but " + std::to_string(given);
    out += given == 1 ? " was given" : " were given";
    return out;
}

[[gnu::cold]] std::string multiple_values(const std::string& full, const std::string& name) {
    return full + " got multiple values for argument '" + name + "'";
}

[[gnu::cold]] std::string unexpected_keyword_format(const std::string& full) {
    std::string out;
    for (char c : full) {  // escape for PyUnicode_FromFormat
        out += c;
        if (c == '%') out += '%';
    }
    return out + " got an unexpected keyword argument '%S'";
}

[[gnu::cold]] std::string positional_only(const std::string& full, std::span<const std::string> names) {
    return full + " got some positional-only arguments passed as keyword arguments: " + name_list(names);
}

[[gnu::cold]] std::string missing(const std::string& full, const char* kind,
                                  std::span<const std::string> names) {
    return full + " missing " + std::to_string(names.size()) + " required " + kind +
           (names.size() == 1 ? " argument: " : " arguments: ") + name_list(names);
}

[[gnu::cold]] std::string argument_prefix(const char* name, const std::string& inner) {
    return std::string("argument '") + name + "': " + inner;
}

}  // namespace plenexa::binding::messages
