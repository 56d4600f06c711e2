// Failures raised by the native core. The core never sees Python; the binding
// layer's per-call frame turns these into Python exceptions.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace plenexa::util {

// An internal failure: a violated invariant or a limit of the native code.
// Reaches Python as PanicException carrying `text()`.
class Panic : public std::exception {
public:
    explicit Panic(std::string text, std::source_location where = std::source_location::current());
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string text_;
    std::source_location where_;
};

// A caller's request that the native code refuses (reaches Python as ValueError).
class InvalidValue : public std::exception {
public:
    explicit InvalidValue(std::string text) : text_(std::move(text)) {}
    const char* what() const noexcept override { return text_.c_str(); }
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// A search stopped because the caller's interrupt check asked for it; the caller
// knows why (a signal, say) and reports that instead.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Throws the index-out-of-bounds panic for `index` into a vector of length `len`.
[[noreturn]] void panic_index(uint64_t len, uint64_t index,
                              std::source_location where = std::source_location::current());

// Throws the panic for an absent value that an operation requires.
[[noreturn]] void panic_none(std::source_location where = std::source_location::current());

// Bounds-checked read of `v[index]`, panicking with the index text when out of range.
template <class Vec>
inline auto at(const Vec& v, uint64_t index,
               std::source_location where = std::source_location::current()) -> decltype(v[0]) {
    if (index >= v.size()) panic_index(v.size(), index, where);
    return v[index];
}

}  // namespace plenexa::util
