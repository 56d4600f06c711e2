#include "binding/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/api.hpp"
#include "binding/messages.hpp"
#include "util/failure.hpp"

namespace plenexa::binding {

namespace {
// Slot filling shared by both calling conventions.
class Parser {
public:
    Parser(const FunctionDescription& description, std::span<Ref> slots)
        : d_(description), slots_(slots) {}

    // Copies the positional arguments; more than there are parameters is an error.
    void positional(PyObject* const* items, std::size_t count) {
        const std::size_t n = std::min(count, d_.positional.size());
        for (std::size_t i = 0; i < n; ++i) slots_[i] = Ref::new_ref(items[i]);
        if (count > d_.positional.size())
            throw_error(PyExc_TypeError,
                        messages::too_many_positional(full(), d_.required, d_.positional.size(), count));
    }

    // Places one keyword argument.
    void keyword(PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) throw PyError::conversion(key, "PyString");
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (!text) {
            PyErr_Clear();
            unexpected(key);
        }
        const std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t k = 0; k < d_.keyword_only.size(); ++k) {
            if (name == d_.keyword_only[k].name) {
                fill(d_.positional.size() + k, value, name);
                return;
            }
        }
        for (std::size_t i = 0; i < d_.positional.size(); ++i) {
            if (name == d_.positional[i]) {
                if (i < d_.positional_only) positional_only_names_.emplace_back(name);
                else fill(i, value, name);
                return;
            }
        }
        unexpected(key);
    }

    // Reports positional-only names given by keyword, then missing required arguments.
    void finish(std::size_t given) {
        if (!positional_only_names_.empty())
            throw_error(PyExc_TypeError, messages::positional_only(full(), positional_only_names_));
        if (given < d_.required) {
            std::vector<std::string> names;
            for (std::size_t i = 0; i < d_.required; ++i)
                if (!slots_[i]) names.emplace_back(d_.positional[i]);
            if (!names.empty()) throw_error(PyExc_TypeError, messages::missing(full(), "positional", names));
        }
        std::vector<std::string> names;
        for (std::size_t k = 0; k < d_.keyword_only.size(); ++k)
            if (d_.keyword_only[k].required && !slots_[d_.positional.size() + k])
                names.emplace_back(d_.keyword_only[k].name);
        if (!names.empty()) throw_error(PyExc_TypeError, messages::missing(full(), "keyword", names));
    }

private:
    void fill(std::size_t index, PyObject* value, std::string_view name) {
        if (slots_[index]) throw_error(PyExc_TypeError, messages::multiple_values(full(), std::string(name)));
        slots_[index] = Ref::new_ref(value);
    }

    [[noreturn]] void unexpected(PyObject* key) {
        // Formatted by the interpreter so that any str key, even one without UTF-8, shows as itself.
        const std::string format = messages::unexpected_keyword_format(full());
        Ref text = Ref::steal(PyUnicode_FromFormat(format.c_str(), key));
        if (!text) {
            PyErr_Clear();
            throw util::Panic(messages::format_failed);
        }
        throw PyError::from_value(Ref::new_ref(PyExc_TypeError), std::move(text));
    }

    std::string full() const {
        std::string out;
        if (d_.class_name) {
            out += d_.class_name;
            out += '.';
        }
        out += d_.function_name;
        out += "()";
        return out;
    }

    const FunctionDescription& d_;
    std::span<Ref> slots_;
    std::vector<std::string> positional_only_names_;
};
}  // namespace

void extract_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                        std::span<Ref> slots) {
    if (!args) util::panic_none();
    Parser parser(description, slots);
    const auto given = static_cast<std::size_t>(api::tuple_size(args));
#ifdef Py_LIMITED_API
    // The stable ABI has no view of a tuple's item array: borrow the items one by one.
    std::vector<PyObject*> items(given);
    for (std::size_t i = 0; i < given; ++i) items[i] = api::tuple_item(args, static_cast<Py_ssize_t>(i));
    parser.positional(items.data(), given);
#else
    parser.positional(PySequence_Fast_ITEMS(args), given);
#endif
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Ref key_ref = Ref::new_ref(key), value_ref = Ref::new_ref(value);
            parser.keyword(key_ref.get(), value_ref.get());
        }
    }
    parser.finish(given);
}

void extract_fastcall(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, std::span<Ref> slots) {
    Parser parser(description, slots);
    const auto given = static_cast<std::size_t>(api::vectorcall_nargs(nargs));
    parser.positional(args, given);
    if (kwnames) {
        const Py_ssize_t count = api::tuple_size(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k)
            parser.keyword(api::tuple_item(kwnames, k), args[given + static_cast<std::size_t>(k)]);
    }
    parser.finish(given);
}

PyError with_argument_name(PyError&& inner, const char* name) {
    if (inner.type() != PyExc_TypeError) return std::move(inner);
    const std::string text = messages::argument_prefix(name, inner.value_text());
    Ref message = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    Ref wrapped = checked(api::call_one(PyExc_TypeError, message.get()));
    if (PyObject* cause = PyException_GetCause(inner.normalized_value()))
        PyException_SetCause(wrapped.get(), cause);  // steals the new reference
    return PyError::from_value(Ref::new_ref(PyExc_TypeError), std::move(wrapped));
}

}  // namespace plenexa::binding
