#include "rearrange/rearrange_type.hpp"

#include <array>
#include <span>

#include "binding/args.hpp"
#include "binding/convert.hpp"

namespace plenexa::rearrange {

namespace {
using namespace binding;

constexpr const char* new_parameters[] = {"input_ints", "output_ints", "int_sizes"};
constexpr FunctionDescription new_description{"RearrangeSpec", "__new__", new_parameters, 0, 3, {}};

constexpr const char* apply_parameters[] = {"tensor"};
constexpr FunctionDescription apply_description{"RearrangeSpec", "apply", apply_parameters, 0, 1, {}};

// RearrangeSpec(input_ints, output_ints, int_sizes): three list checks, then contents.
Ref make_spec(PyTypeObject* type, std::span<Ref> slots) {
    for (std::size_t i = 0; i < slots.size(); ++i)
        convert_argument(new_parameters[i], [&] { return require_list(slots[i].get()); });

    Record record;
    try {
        record.input_ints = to_groups(slots[0].get());
        record.output_ints = to_groups(slots[1].get());
        record.int_sizes = to_ids(slots[2].get());
    } catch (PyError& error) {
        panic_unwrap(error);
    }
    return wrap(type, std::move(record));
}

Ref get_input_ints(const Record& r) { return list_from_groups(r.input_ints); }
Ref get_output_ints(const Record& r) { return list_from_groups(r.output_ints); }
Ref get_int_sizes(const Record& r) { return list_from_ids(r.int_sizes); }

// A setter: converts the whole new value under the exclusive borrow, then replaces the field.
template <auto Field, auto Convert>
int set_field(PyObject* self, PyObject* value, void*) noexcept {
    return call_frame<int>(-1, [&] {
        ExclusiveBorrow<Record> record(instance_of<Record>(self));
        if (!value) throw_error(PyExc_AttributeError, messages::cant_delete_attribute);
        auto converted = Convert(value);
        (*record).*Field = std::move(converted);
        return 0;
    });
}

Ref call_ints_in_inp(const Record& r) { return set_from_ids(ints_in_inp(r)); }
Ref call_ints_in_out(const Record& r) { return set_from_ids(ints_in_out(r)); }
Ref call_is_identity(const Record& r) { return from_bool(is_identity(r)); }
Ref call_is_permute(const Record& r) { return from_bool(is_permute(r)); }
Ref call_is_valid(const Record& r) { return from_bool(is_valid(r)); }
Ref call_to_einops_string(const Record& r) { return from_text(to_einops_string(r)); }

Ref call_shapes(const Record& r) {
    auto [inputs, outputs] = shapes(r);
    return pair_tuple(list_from_ids(inputs), list_from_ids(outputs));
}

Ref call_to_einops_string_and_letter_sizes(const Record& r) {
    auto [pattern, letter_sizes] = to_einops_string_and_letter_sizes(r);
    return pair_tuple(from_text(pattern), list_from_letter_sizes(letter_sizes));
}

// Steals the result of a Python call made by apply; a failure becomes the unwrap panic.
Ref outside(PyObject* result) {
    if (!result) {
        PyError error = PyError::fetch();  // a PanicException from Python code is resumed here
        panic_unwrap(error);
    }
    return Ref::steal(result);
}

// apply(tensor): einops.repeat(tensor, pattern, **letter_sizes), imported afresh on every call.
PyObject* apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        SharedBorrow<Record> record(instance_of<Record>(self));
        std::array<Ref, 1> slots;
        extract_fastcall(apply_description, args, nargs, kwnames, slots);
        auto [pattern, letter_sizes] = to_einops_string_and_letter_sizes(*record);

        Ref einops = outside(PyImport_ImportModule("einops"));
        Ref repeat = outside(PyObject_GetAttrString(einops.get(), "repeat"));
        Ref pattern_text = from_text(pattern);
        Ref positional = checked(PyTuple_Pack(2, slots[0].get(), pattern_text.get()));
        Ref keywords = dict_from_letter_sizes(letter_sizes);
        return outside(PyObject_Call(repeat.get(), positional.get(), keywords.get())).release();
    });
}

PyMethodDef methods[] = {
    {"ints_in_inp", method_noargs<Record, call_ints_in_inp>, METH_NOARGS, ""},
    {"ints_in_out", method_noargs<Record, call_ints_in_out>, METH_NOARGS, ""},
    {"is_identity", method_noargs<Record, call_is_identity>, METH_NOARGS, ""},
    {"is_permute", method_noargs<Record, call_is_permute>, METH_NOARGS, ""},
    {"shapes", method_noargs<Record, call_shapes>, METH_NOARGS, ""},
    {"is_valid", method_noargs<Record, call_is_valid>, METH_NOARGS, ""},
    {"to_einops_string", method_noargs<Record, call_to_einops_string>, METH_NOARGS, ""},
    {"to_einops_string_and_letter_sizes", method_noargs<Record, call_to_einops_string_and_letter_sizes>,
     METH_NOARGS, ""},
    {"apply", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(apply)), METH_FASTCALL | METH_KEYWORDS,
     "apply rearrange to tensor"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"input_ints", getter<Record, get_input_ints>, set_field<&Record::input_ints, to_groups>, "", nullptr},
    {"output_ints", getter<Record, get_output_ints>, set_field<&Record::output_ints, to_groups>, "", nullptr},
    {"int_sizes", getter<Record, get_int_sizes>, set_field<&Record::int_sizes, to_ids>, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject* rearrange_type() {
    return class_type<Record, new_description, make_spec>("builtins.RearrangeSpec", methods, getset);
}

}  // namespace plenexa::rearrange
