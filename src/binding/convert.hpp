// Conversions between Python objects and native values.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/api.hpp"
#include "binding/error.hpp"
#include "vocabulary/vocabulary.hpp"

namespace plenexa::binding {

using Ids = std::vector<uint64_t>;
using Groups = std::vector<Ids>;

// --- Python to native -------------------------------------------------------

// Room reserved up front for a sequence; the reported length is only a hint.
inline constexpr Py_ssize_t max_reserve = 1 << 16;

// Converts any sequence item by item with `item`, holding a reference to each item while
// `item` runs: an item's conversion may run Python code that changes the sequence. A list
// that shrinks meanwhile ends sooner, as its iterator would.
template <class T, class Item>
std::vector<T> sequence_of(PyObject* object, Item item) {
    std::vector<T> out;
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
        // Read by index, its length read anew each time, without an iterator object.
        out.reserve(static_cast<std::size_t>(std::min(api::fast_size(object), max_reserve)));
        for (Py_ssize_t i = 0; i < api::fast_size(object); ++i) {
            const Ref element = Ref::new_ref(api::fast_item(object, i));
            out.push_back(item(element.get()));
        }
        return out;
    }
    if (!PySequence_Check(object)) throw PyError::conversion(object, "Sequence");
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) PyErr_Clear();
    else out.reserve(static_cast<std::size_t>(std::min(hint, max_reserve)));
    Ref iterator = fetched(PyObject_GetIter(object));
    while (Ref element = Ref::steal(PyIter_Next(iterator.get()))) out.push_back(item(element.get()));
    if (PyErr_Occurred()) throw_fetched();
    return out;
}

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
Ref list_from_path(const Path& path, bool tuples);
// A set of int.
Ref set_from_ids(const Ids& ids);
// A 2-tuple taking over both items.
Ref pair_tuple(Ref first, Ref second);
// A list of (str, int) tuples.
Ref list_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs);
// A dict of str to int.
Ref dict_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs);

}  // namespace plenexa::binding
