// The few interpreter calls whose fast forms lie outside CPython's limited API.
//
// The version-specific build (the default) uses the unchecked macros; a build for the stable
// ABI (Py_LIMITED_API, the abi3 wheels) uses the checked functions the stable ABI of 3.10
// exports instead. Both give the same results for the arguments the binding passes: tuples and
// lists it made itself, or the list or tuple that PySequence_Fast returned.
#pragma once

#include "binding/error.hpp"

namespace plenexa::binding::api {

// The length of a tuple.
inline Py_ssize_t tuple_size(PyObject* tuple) {
#ifdef Py_LIMITED_API
    return PyTuple_Size(tuple);
#else
    return PyTuple_GET_SIZE(tuple);
#endif
}

// Item `i` of a tuple (borrowed), `i` in range.
inline PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    return PyTuple_GetItem(tuple, i);
#else
    return PyTuple_GET_ITEM(tuple, i);
#endif
}

// Fills slot `i` of a tuple just made, taking over the reference to `item`.
inline void tuple_fill(PyObject* tuple, Py_ssize_t i, PyObject* item) {
#ifdef Py_LIMITED_API
    if (PyTuple_SetItem(tuple, i, item) < 0) throw_fetched();
#else
    PyTuple_SET_ITEM(tuple, i, item);
#endif
}

// Fills slot `i` of a list just made, taking over the reference to `item`.
inline void list_fill(PyObject* list, Py_ssize_t i, PyObject* item) {
#ifdef Py_LIMITED_API
    if (PyList_SetItem(list, i, item) < 0) throw_fetched();
#else
    PyList_SET_ITEM(list, i, item);
#endif
}

// The length of the result of PySequence_Fast (a list or a tuple).
inline Py_ssize_t fast_size(PyObject* fast) {
#ifdef Py_LIMITED_API
    return PyList_Check(fast) ? PyList_Size(fast) : PyTuple_Size(fast);
#else
    return PySequence_Fast_GET_SIZE(fast);
#endif
}

// Item `i` of the result of PySequence_Fast (borrowed), `i` in range.
inline PyObject* fast_item(PyObject* fast, Py_ssize_t i) {
#ifdef Py_LIMITED_API
    return PyList_Check(fast) ? PyList_GetItem(fast, i) : PyTuple_GetItem(fast, i);
#else
    return PySequence_Fast_GET_ITEM(fast, i);
#endif
}

// The positional count of a vectorcall, without the flag bit the caller may set in it.
inline Py_ssize_t vectorcall_nargs(Py_ssize_t nargsf) {
#ifdef Py_LIMITED_API
    // PyVectorcall_NARGS joins the limited API only in 3.12; the flag is the top bit.
    constexpr auto offset = static_cast<std::size_t>(1) << (8 * sizeof(std::size_t) - 1);
    return static_cast<Py_ssize_t>(static_cast<std::size_t>(nargsf) & ~offset);
#else
    return PyVectorcall_NARGS(nargsf);
#endif
}

// `callable(arg)`, a new reference or nullptr with the exception set.
inline PyObject* call_one(PyObject* callable, PyObject* arg) {
#ifdef Py_LIMITED_API
    return PyObject_CallFunctionObjArgs(callable, arg, nullptr);
#else
    return PyObject_CallOneArg(callable, arg);
#endif
}

}  // namespace plenexa::binding::api
