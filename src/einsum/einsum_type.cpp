#include "einsum/einsum_type.hpp"

#include <array>
#include <span>

#include "binding/args.hpp"
#include "binding/convert.hpp"
#include "optimiser/optimiser.hpp"

namespace plenexa::einsum {

namespace {
using namespace binding;

constexpr const char* new_parameters[] = {"operand_ints", "out_ints", "int_sizes"};
constexpr FunctionDescription new_description{"EinsumSpec", "__new__", new_parameters, 0, 3, {}};

constexpr const char* optimize_parameters[] = {"check_outer_op", "mem_cap_op", "hash_map_cap_op"};
constexpr FunctionDescription optimize_description{"EinsumSpec", "optimize_dp", optimize_parameters, 0, 0, {}};

constexpr const char* optimize_doc =
    "based on opt_einsum's dynamic programming algorithm "
    "https://github.com/dgasmith/opt_einsum/blob/master/opt_einsum/paths.py\n"
    "with one major added feature to bound runtime in the worst case: a cap on the number of held "
    "contractions with the same number of tensors\n"
    "so that we never have to fallback to another algorithm";

// EinsumSpec(operand_ints, out_ints, int_sizes): types first, then contents, then validity.
Ref make_spec(PyTypeObject* type, std::span<Ref> slots) {
    PyObject* operands = convert_argument("operand_ints", [&] { return require_list(slots[0].get()); });
    PyObject* output = convert_argument("out_ints", [&] { return require_list(slots[1].get()); });
    PyObject* sizes = convert_argument("int_sizes", [&] { return require_dict(slots[2].get()); });

    EinsumRecord record;
    try {
        record.int_sizes = dense_sizes(to_u64_entries(sizes));
        record.input_ints = to_groups(operands);
        record.output_ints = to_ids(output);
    } catch (PyError& error) {
        panic_unwrap(error);
    }
    if (!validate(record)) throw_error(PyExc_ValueError, messages::invalid);
    return wrap(type, std::move(record));
}

Ref get_input_ints(const EinsumRecord& r) { return list_from_groups(r.input_ints); }
Ref get_output_ints(const EinsumRecord& r) { return list_from_ids(r.output_ints); }
Ref get_int_sizes(const EinsumRecord& r) { return list_from_ids(r.int_sizes); }
Ref call_ints_in_input(const EinsumRecord& r) { return set_from_ids(ints_in_input(r)); }
Ref call_validate(const EinsumRecord& r) { return from_bool(validate(r)); }
Ref call_flops(const EinsumRecord& r) { return from_u64(flops(r)); }
Ref call_to_einsum_string(const EinsumRecord& r) { return from_text(to_einsum_string(r)); }

Ref call_shapes(const EinsumRecord& r) {
    auto [inputs, output] = shapes(r);
    return pair_tuple(list_from_groups(inputs), list_from_ids(output));
}

// A new instance holding the renumbered record; the constructor is not run.
Ref call_normalize(const EinsumRecord& r) {
    EinsumRecord renumbered = normalize(r);
    try {
        return wrap(einsum_type(), std::move(renumbered));
    } catch (PyError& error) {
        panic_unwrap(error);
    }
}

// optimize_dp(check_outer_op=None, mem_cap_op=None, hash_map_cap_op=None)
PyObject* optimize_dp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        SharedBorrow<EinsumRecord> record(instance_of<EinsumRecord>(self));
        std::array<Ref, 3> slots;
        extract_fastcall(optimize_description, args, nargs, kwnames, slots);
        const auto check_outer = convert_argument("check_outer_op", [&] { return optional_bool(slots[0].get()); });
        const auto mem_cap = convert_argument("mem_cap_op", [&] { return optional_u64(slots[1].get()); });
        const auto hash_map_cap = convert_argument("hash_map_cap_op", [&] { return optional_u64(slots[2].get()); });

        optimiser::Options options;
        options.caps.check_outer = check_outer.value_or(false);
        options.caps.mem_cap = mem_cap.value_or(max_u64);
        options.caps.hash_map_cap = hash_map_cap.value_or(optimiser::default_hash_map_cap);
        options.interrupt = signal_check();
        const Path path =
            optimiser::optimize_dp(record->input_ints, record->output_ints, record->int_sizes, options);
        return list_from_path(path, false).release();
    });
}

PyMethodDef methods[] = {
    {"ints_in_input", method_noargs<EinsumRecord, call_ints_in_input>, METH_NOARGS, ""},
    {"validate", method_noargs<EinsumRecord, call_validate>, METH_NOARGS, ""},
    {"shapes", method_noargs<EinsumRecord, call_shapes>, METH_NOARGS, ""},
    {"normalize", method_noargs<EinsumRecord, call_normalize>, METH_NOARGS, ""},
    {"flops", method_noargs<EinsumRecord, call_flops>, METH_NOARGS, ""},
    {"to_einsum_string", method_noargs<EinsumRecord, call_to_einsum_string>, METH_NOARGS, ""},
    {"optimize_dp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(optimize_dp)),
     METH_FASTCALL | METH_KEYWORDS, optimize_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"input_ints", getter<EinsumRecord, get_input_ints>, nullptr, "", nullptr},
    {"output_ints", getter<EinsumRecord, get_output_ints>, nullptr, "", nullptr},
    {"int_sizes", getter<EinsumRecord, get_int_sizes>, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
}  // namespace

PyTypeObject* einsum_type() {
    return class_type<EinsumRecord, new_description, make_spec>("builtins.EinsumSpec", methods, getset);
}

}  // namespace plenexa::einsum
