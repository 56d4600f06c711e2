// The Python class RearrangeSpec.
#pragma once

#include "binding/class.hpp"
#include "rearrange/rearrange.hpp"

namespace plenexa::rearrange {

// The process-wide RearrangeSpec type object, created on first use.
PyTypeObject* rearrange_type();

}  // namespace plenexa::rearrange

namespace plenexa::binding {

template <>
struct ClassOf<rearrange::Record> {
    static constexpr const char* name = "RearrangeSpec";
    static PyTypeObject* type() { return rearrange::rearrange_type(); }
    static std::string render(const rearrange::Record& record) { return rearrange::render(record); }
};

}  // namespace plenexa::binding
