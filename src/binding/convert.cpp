#include "binding/convert.hpp"

#include <algorithm>

#include "binding/api.hpp"
#include "binding/messages.hpp"
#include "util/failure.hpp"

namespace plenexa::binding {

namespace {
// An owned "(str, int)" tuple.
Ref letter_size_tuple(const std::pair<std::string, uint64_t>& pair) {
    return pair_tuple(from_text(pair.first), from_u64(pair.second));
}

// Fills a new list of `size` items with `make(i)`.
template <class Make>
Ref list_of(std::size_t size, Make make) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(size)));
    for (std::size_t i = 0; i < size; ++i) api::list_fill(list.get(), static_cast<Py_ssize_t>(i), make(i).release());
    return list;
}
}  // namespace

PyObject* require_list(PyObject* object) {
    if (!PyList_Check(object)) throw PyError::conversion(object, "PyList");
    return object;
}

PyObject* require_dict(PyObject* object) {
    if (!PyDict_Check(object)) throw PyError::conversion(object, "PyDict");
    return object;
}

std::optional<bool> optional_bool(PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    if (!PyBool_Check(object)) throw PyError::conversion(object, "PyBool");
    return object == Py_True;
}

uint64_t to_u64(PyObject* object) {
    // An int is its own index (and the common case, read without a reference of its own);
    // anything else goes through __index__.
    Ref index;
    if (!PyLong_CheckExact(object)) {
        index = fetched(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1)) {
        if (auto error = PyError::take()) throw std::move(*error);
    }
    return value;
}

std::optional<uint64_t> optional_u64(PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    return to_u64(object);
}

Ids to_ids(PyObject* object) {
    return sequence_of<uint64_t>(object, to_u64);
}

Groups to_groups(PyObject* object) {
    return sequence_of<Ids>(object, to_ids);
}

std::vector<std::pair<uint64_t, uint64_t>> to_u64_entries(PyObject* object) {
    require_dict(object);
    std::vector<std::pair<uint64_t, uint64_t>> entries;
    const Py_ssize_t size = PyDict_Size(object);
    entries.reserve(static_cast<std::size_t>(std::min(size, max_reserve)));
    Py_ssize_t pos = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(object, &pos, &key, &value)) {
        if (PyLong_CheckExact(key) && PyLong_CheckExact(value)) {
            // Reading an int runs no Python code, so the dict cannot change meanwhile.
            const uint64_t k = to_u64(key);
            entries.emplace_back(k, to_u64(value));
            continue;
        }
        // Own both while converting: an __index__ may change the dict, and a dict that
        // changed is refused as the interpreter's own iteration refuses it.
        Ref key_ref = Ref::new_ref(key), value_ref = Ref::new_ref(value);
        const uint64_t k = to_u64(key_ref.get());
        entries.emplace_back(k, to_u64(value_ref.get()));
        if (PyDict_Size(object) != size) throw PyError(PyExc_RuntimeError, messages::dict_changed_size);
    }
    return entries;
}

Ref from_u64(uint64_t value) {
    return checked(PyLong_FromUnsignedLongLong(value));
}

Ref from_bool(bool value) {
    return Ref::new_ref(value ? Py_True : Py_False);
}

Ref from_text(const std::string& text) {
    return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Ref list_from_ids(const Ids& ids) {
    return list_of(ids.size(), [&](std::size_t i) { return from_u64(ids[i]); });
}

Ref list_from_groups(const Groups& groups) {
    return list_of(groups.size(), [&](std::size_t i) { return list_from_ids(groups[i]); });
}

Ref list_from_path(const Path& path, bool tuples) {
    return list_of(path.size(), [&](std::size_t s) {
        const Step& step = path[s];
        const auto n = static_cast<Py_ssize_t>(step.size());
        Ref out = checked(tuples ? PyTuple_New(n) : PyList_New(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject* position = from_u64(step[static_cast<std::size_t>(k)]).release();
            if (tuples) api::tuple_fill(out.get(), k, position);
            else api::list_fill(out.get(), k, position);
        }
        return out;
    });
}

Ref set_from_ids(const Ids& ids) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) {
        PyError error = PyError::fetch();
        throw util::Panic(std::string(messages::set_new_failed) + ": " + error.debug());
    }
    for (uint64_t id : ids) {
        Ref item = from_u64(id);
        if (PySet_Add(set.get(), item.get()) < 0) {
            PyError error = PyError::fetch();
            throw util::Panic(std::string(messages::set_add_failed) + ": " + error.debug());
        }
    }
    return set;
}

Ref pair_tuple(Ref first, Ref second) {
    Ref tuple = checked(PyTuple_New(2));
    api::tuple_fill(tuple.get(), 0, first.release());
    api::tuple_fill(tuple.get(), 1, second.release());
    return tuple;
}

Ref list_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs) {
    return list_of(pairs.size(), [&](std::size_t i) { return letter_size_tuple(pairs[i]); });
}

Ref dict_from_letter_sizes(const std::vector<std::pair<std::string, uint64_t>>& pairs) {
    Ref dict = checked(PyDict_New());
    for (const auto& [letter, size] : pairs) {
        Ref key = from_text(letter), value = from_u64(size);
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) {
            PyError error = PyError::fetch();
            throw util::Panic(std::string(messages::dict_set_failed) + ": " + error.debug());
        }
    }
    return dict;
}

}  // namespace plenexa::binding
