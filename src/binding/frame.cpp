#include "binding/frame.hpp"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "util/failure.hpp"

namespace plenexa::binding {

namespace {
// Raises PanicException with `text`; falls back to SystemError if the class cannot be made.
void raise_panic(const std::string& text, const char* file, unsigned line) noexcept {
    std::fprintf(stderr, "plenexa: internal failure at %s:%u: %s\n", file, line, text.c_str());
    std::fflush(stderr);
    try {
        PyObject* type = panic_type();
        PyObject* value = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
        if (!value) return;  // MemoryError (or the decode failure) stays pending
        Py_INCREF(type);
        PyErr_Restore(type, value, nullptr);
    } catch (const util::Panic& failure) {
        PyErr_SetString(PyExc_SystemError, failure.text().c_str());
    } catch (...) {
        PyErr_NoMemory();
    }
}
}  // namespace

Interrupt signal_check() noexcept {
    return {[](void*) { return PyErr_CheckSignals() < 0; }, nullptr};
}

void raise_current() noexcept {
    try {
        throw;
    } catch (PyError& error) {
        try {
            std::move(error).restore();
        } catch (...) {
            raise_current();
        }
    } catch (const util::Panic& failure) {
        raise_panic(failure.text(), failure.where().file_name(), failure.where().line());
    } catch (const util::Interrupted&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::interrupted_without_error);
    } catch (const util::InvalidValue& refused) {
        PyErr_SetString(PyExc_ValueError, refused.text().c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& other) {
        raise_panic(other.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic(messages::unknown_failure, __FILE__, __LINE__);
    }
}

}  // namespace plenexa::binding
