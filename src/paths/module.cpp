// The entry point of plenexa_paths._search, the native half of plenexa_paths.
#include "binding/convert.hpp"
#include "binding/error.hpp"
#include "binding/frame.hpp"
#include "driver/strategy.hpp"
#include "optimiser/optimiser.hpp"
#include "paths/released.hpp"
#include "paths/search.hpp"

namespace plenexa::paths {

namespace {
// strategy() -> str: the search's strategy, every knob with its value.
PyObject* strategy(PyObject*, PyObject*) noexcept {
    return binding::call_frame<PyObject*>(nullptr, [] {
        const std::string text = driver::strategy.describe();
        return binding::fetched(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
    });
}

PyMethodDef methods[] = {
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search)), METH_FASTCALL | METH_KEYWORDS,
     search_doc},
    {"strategy", strategy, METH_NOARGS,
     "strategy()\n--\n\nThe search's strategy as text: every knob, one per line as 'name = value'."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "plenexa_paths._search",
    "The contraction-order search behind plenexa_paths.optimize, on dense integer ids.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
}  // namespace

}  // namespace plenexa::paths

// Creates the module, with the search's default cap, and notes which thread runs signal
// handlers (threading's main thread: the module may be imported on another); the interpreter
// calls this on import.
PyMODINIT_FUNC PyInit__search() {
    using namespace plenexa;
    return binding::call_frame<PyObject*>(nullptr, [] {
        binding::Ref threading = binding::fetched(PyImport_ImportModule("threading"));
        binding::Ref main = binding::fetched(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
        binding::Ref ident = binding::fetched(PyObject_GetAttrString(main.get(), "ident"));
        const unsigned long main_id = PyLong_AsUnsignedLong(ident.get());
        if (PyErr_Occurred()) binding::throw_fetched();
        paths::ReleasedLock::remember_main_thread(main_id);
        binding::Ref module = binding::fetched(PyModule_Create2(&paths::module_definition, 1013));
        binding::Ref cap = binding::from_u64(optimiser::default_hash_map_cap);
        if (PyModule_AddObjectRef(module.get(), "DEFAULT_HASH_MAP_CAP", cap.get()) < 0) binding::throw_fetched();
        if (PyModule_AddStringConstant(module.get(), "__version__", PLENEXA_VERSION) < 0) binding::throw_fetched();
        return module.release();
    });
}
