// Ordinary failures on their way to the interpreter, and the panic exception.
#pragma once

#include <optional>
#include <string>

#include "binding/ref.hpp"

namespace plenexa::binding {

// An ordinary failure, thrown as a C++ exception up to the per-call frame.
// Either made by the module (an exception type and a message, or the lazily
// formatted conversion error) or taken from the interpreter (the fetched type,
// value and traceback, any of the last two possibly absent). Nothing touches
// the interpreter until the error is restored or rendered; a PyError dropped
// without being restored releases its references and leaves nothing pending.
class PyError {
public:
    // An error of `type` (a borrowed, immortal builtin exception type) with `message`.
    PyError(PyObject* type, std::string message);
    // The conversion error for `object`, whose text is built only when needed.
    static PyError conversion(PyObject* object, const char* target);
    // The pending exception, or nothing. A pending PanicException is resumed (throws util::Panic).
    static std::optional<PyError> take();
    // The pending exception, or SystemError when none is set.
    static PyError fetch();
    // An error of `type` whose value (an instance or its argument) the module built.
    static PyError from_value(Ref type, Ref value);

    // Hands the error to the interpreter as the pending exception.
    void restore() &&;
    // The exception type (borrowed).
    PyObject* type() const noexcept { return type_.get(); }
    // Turns the error into a normalised exception instance; returns the value (borrowed).
    PyObject* normalized_value();
    // str() of the exception value; panics when str() raises.
    std::string value_text();
    // "PyErr { type: ..., value: ..., traceback: ... }"
    std::string debug();

private:
    PyError() = default;
    void materialize();

    Ref type_;
    Ref value_;      // message object, or exception instance once normalised
    Ref traceback_;
    std::string message_;
    Ref lazy_object_;  // set for a conversion error not yet formatted
    const char* lazy_target_ = nullptr;
    bool made_ = false;  // made by the module, value not yet built
};

// Throws the pending exception (or SystemError when none is set).
[[noreturn]] void throw_fetched();

// Throws `PyError(type, message)`.
[[noreturn]] void throw_error(PyObject* type, std::string message);

// The process-wide PanicException class, created on first need.
PyObject* panic_type();

// Panics with "called `Result::unwrap()` on an `Err` value: " and the error's debug form.
[[noreturn]] void panic_unwrap(PyError& error);

// For a Python API call that must not fail: prints the pending exception and panics.
// A pending MemoryError passes through unchanged instead.
[[noreturn]] void api_failed();

// Steals `ptr`, or reports a failed Python API call when it is NULL.
inline Ref checked(PyObject* ptr) {
    if (!ptr) api_failed();
    return Ref::steal(ptr);
}

// Steals `ptr`, or throws the pending exception when it is NULL.
inline Ref fetched(PyObject* ptr) {
    if (!ptr) throw_fetched();
    return Ref::steal(ptr);
}

}  // namespace plenexa::binding
