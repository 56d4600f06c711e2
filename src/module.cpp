// The module's entry point: creates the module and registers both classes.
#include "binding/convert.hpp"
#include "binding/frame.hpp"
#include "binding/messages.hpp"
#include "einsum/einsum_type.hpp"
#include "rearrange/rearrange_type.hpp"

namespace plenexa::entry {

namespace {
using namespace binding;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "plenexa",
    "Tensor index operations by integer axis ids: einsum contractions with a bounded "
    "contraction-order optimiser, and einops-style rearrangements.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Appends `name` to the module's __all__ (creating the list if absent), then sets the attribute.
void add_class(PyObject* module, const char* name, PyTypeObject* type) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_fetched();
    } else if (!PyList_Check(all.get())) {
        throw PyError::conversion(all.get(), "PyList");
    }
    Ref text = from_text(name);
    if (PyList_Append(all.get(), text.get()) < 0) {
        PyError error = PyError::fetch();
        throw util::Panic(std::string(messages::all_append_failed) + ": " + error.debug());
    }
    if (PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) < 0) throw_fetched();
}
}  // namespace

}  // namespace plenexa::entry

PyMODINIT_FUNC PyInit_plenexa() {
    using namespace plenexa;
    return binding::call_frame<PyObject*>(nullptr, [] {
        binding::Ref module = binding::Ref::steal(PyModule_Create2(&entry::module_definition, 1013));
        if (!module) binding::throw_fetched();
        entry::add_class(module.get(), "EinsumSpec", einsum::einsum_type());
        entry::add_class(module.get(), "RearrangeSpec", rearrange::rearrange_type());
        if (PyModule_AddStringConstant(module.get(), "__version__", PLENEXA_VERSION) < 0) binding::throw_fetched();
        return module.release();
    });
}
