#include "binding/class.hpp"

#include <vector>

#include "binding/messages.hpp"

namespace plenexa::binding {

PyTypeObject* make_type(const char* qualified_name, const char* class_name, int basic_size,
                        destructor dealloc_slot, PyMethodDef* methods, PyGetSetDef* getset, newfunc new_slot,
                        reprfunc repr_slot) {
    std::vector<PyType_Slot> slots;
    slots.push_back({Py_tp_base, reinterpret_cast<void*>(&PyBaseObject_Type)});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(dealloc_slot)});
    if (methods && methods[0].ml_name) slots.push_back({Py_tp_methods, methods});
    if (getset && getset[0].name) slots.push_back({Py_tp_getset, getset});
    slots.push_back({Py_tp_new, reinterpret_cast<void*>(new_slot)});
    slots.push_back({Py_tp_repr, reinterpret_cast<void*>(repr_slot)});
    slots.push_back({0, nullptr});

    PyType_Spec spec{qualified_name, basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) {
        PyError error = PyError::fetch();
        std::move(error).restore();
        PyErr_PrintEx(0);
        throw util::Panic(std::string(messages::class_init_failed) + class_name);
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace plenexa::binding
