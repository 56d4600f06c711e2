// plenexa_paths._search.search: the contraction-order search on dense integer ids,
// run on native copies with the interpreter lock released.
#pragma once

#include "binding/ref.hpp"

namespace plenexa::paths {

// search(terms, output, sizes, mem_cap, hash_map_cap, check_outer) -> list[tuple[int, ...]] | None
PyObject* search(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The docstring of `search`.
extern const char* const search_doc;

}  // namespace plenexa::paths
