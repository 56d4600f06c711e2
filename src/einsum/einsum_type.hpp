// The Python class EinsumSpec.
#pragma once

#include "binding/class.hpp"
#include "einsum/einsum.hpp"

namespace plenexa::einsum {

// The process-wide EinsumSpec type object, created on first use.
PyTypeObject* einsum_type();

}  // namespace plenexa::einsum

namespace plenexa::binding {

template <>
struct ClassOf<einsum::EinsumRecord> {
    static constexpr const char* name = "EinsumSpec";
    static PyTypeObject* type() { return einsum::einsum_type(); }
    static std::string render(const einsum::EinsumRecord& record) { return einsum::render(record); }
};

}  // namespace plenexa::binding
