// The Python class EinsumSpec.
#pragma once

#include "binding/class.hpp"
#include "lib/einsum.hpp"

namespace plenexa::lib {

// The process-wide EinsumSpec type object, created on first use.
PyTypeObject* einsum_type();

}  // namespace plenexa::lib

namespace plenexa::binding {

template <>
struct ClassOf<lib::EinsumRecord> {
    static constexpr const char* name = "EinsumSpec";
    static PyTypeObject* type() { return lib::einsum_type(); }
    static std::string render(const lib::EinsumRecord& record) { return lib::render(record); }
};

}  // namespace plenexa::binding
