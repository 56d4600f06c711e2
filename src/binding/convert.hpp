// Conversions between Python objects and native values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "optimiser/optimiser.hpp"

namespace plenexa::binding {

using Ids = std::vector<uint64_t>;
using Groups = std::vector<Ids>;

// --- Python to native -------------------------------------------------------

// The object itself if it is a list (or subclass); else the conversion error "PyList".
PyObject* require_list(PyObject* object);
// The object itself if it is a dict (or subclass); else the conversion error "PyDict".
PyObject* require_dict(PyObject* object);
// None or absent: nothing; exactly bool: its truth; else the conversion error "PyBool".
std::optional<bool> optional_bool(PyObject* object);
// An unsigned 64-bit integer through the object's index conversion.
uint64_t to_u64(PyObject* object);
// None or absent: nothing; else `to_u64`.
std::optional<uint64_t> optional_u64(PyObject* object);
// Any sequence of unsigned integers.
Ids to_ids(PyObject* object);
// Any sequence of sequences of unsigned integers.
Groups to_groups(PyObject* object);
// The entries of a dict of unsigned integers, in the dict's order.
std::vector<std::pair<uint64_t, uint64_t>> to_u64_entries(PyObject* object);

// --- native to Python (new references) --------------------------------------

Ref from_u64(uint64_t value);
Ref from_bool(bool value);
Ref from_text(const std::string& text);
// A list of int.
Ref list_from_ids(const Ids& ids);
// A list of lists of int.
Ref list_from_groups(const Groups& groups);
// A contraction path as a list of steps, each a tuple of int when `tuples`, else a list.
Ref list_from_path(const optimiser::Path& path, bool tuples);
// A set of int.
Ref set_from_ids(const Ids& ids);
// A 2-tuple taking over both items.
Ref pair_tuple(Ref first, Ref second);
// A list of (str, int) tuples.
Ref list_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs);
// A dict of str to int.
Ref dict_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs);

}  // namespace plenexa::binding
