// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace plenexa::binding {

// An owned (strong) reference. Ownership: a Ref holds exactly one reference
// count of the object it points to, or nothing; the destructor gives it back.
// `get()` lends the pointer, `release()` hands the count to the caller (usually
// the interpreter, as a return value). Raw PyObject* elsewhere is borrowed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a reference the caller already owns (a "new reference" result).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Takes a new reference to a borrowed object.
    static Ref new_ref(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace plenexa::binding
