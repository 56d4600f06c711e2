// Table-driven argument extraction for constructors and fast-call methods.
#pragma once

#include <span>

#include "binding/error.hpp"

namespace plenexa::binding {

// A keyword-only parameter.
struct KeywordOnly {
    const char* name;
    bool required;
};

// The constant description of one function's parameters.
struct FunctionDescription {
    const char* class_name;
    const char* function_name;
    std::span<const char* const> positional;  // may also be passed by keyword
    std::size_t positional_only;
    std::size_t required;                     // leading positional parameters that must be given
    std::span<const KeywordOnly> keyword_only;

    constexpr std::size_t slot_count() const noexcept { return positional.size() + keyword_only.size(); }
};

// Fills `slots` (positional parameters, then keyword-only ones) from an argument
// tuple and a keyword dict (either may be NULL for the dict). Empty slot: not given.
void extract_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                        std::span<Ref> slots);

// The same from a vectorcall argument array and its tuple of keyword names.
void extract_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<Ref> slots);

// The error to report for a failed conversion of argument `name`: an exact
// TypeError becomes "argument '{name}': {inner}" keeping the inner __cause__.
PyError with_argument_name(PyError&& inner, const char* name);

// Converts one argument with `convert`, naming the argument on a TypeError.
template <class F>
auto convert_argument(const char* name, F&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PyError& inner) {
        throw with_argument_name(std::move(inner), name);
    }
}

}  // namespace plenexa::binding
