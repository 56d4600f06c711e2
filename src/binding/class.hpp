// Entry points shared by both classes, generic over the native record.
#pragma once

#include <array>
#include <memory>
#include <span>

#include "binding/args.hpp"
#include "binding/borrow.hpp"
#include "binding/frame.hpp"

namespace plenexa::binding {

// Per-record facts each class provides: `name` (the class name) and `type()`
// (the process-wide type object, created on first use).
template <class Record>
struct ClassOf;

// The instance of `self`, after the receiver check.
template <class Record>
Instance<Record>* instance_of(PyObject* self) {
    return receiver<Record>(self, ClassOf<Record>::type(), ClassOf<Record>::name);
}

// Wraps `record` in a new instance of `type`; on failure the record is dropped.
template <class Record>
Ref wrap(PyTypeObject* type, Record&& record) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (!alloc) alloc = PyType_GenericAlloc;
    PyObject* object = alloc(type, 0);
    if (!object) throw_fetched();
    auto* self = reinterpret_cast<Instance<Record>*>(object);
    self->borrow = 0;
    std::construct_at(&self->record, std::move(record));
    return Ref::steal(object);
}

// Deallocator: destroys the record, frees the memory, releases the heap type.
template <class Record>
void dealloc(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    std::destroy_at(&reinterpret_cast<Instance<Record>*>(object)->record);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(object);
    Py_DECREF(type);
}

// A no-argument method computing its result from the shared-borrowed record.
template <class Record, Ref (*Body)(const Record&)>
PyObject* method_noargs(PyObject* self, PyObject*) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        SharedBorrow<Record> record(instance_of<Record>(self));
        return Body(*record).release();
    });
}

// An attribute getter (a fresh object on every read).
template <class Record, Ref (*Body)(const Record&)>
PyObject* getter(PyObject* self, void*) noexcept {
    return method_noargs<Record, Body>(self, nullptr);
}

// repr (and str): the record's structure form.
template <class Record>
PyObject* repr(PyObject* self) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        SharedBorrow<Record> record(instance_of<Record>(self));
        std::string text = ClassOf<Record>::render(*record);
        return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
    });
}

// Makes an instance of `type` from a constructor's filled argument slots.
using MakeInstance = Ref (*)(PyTypeObject* type, std::span<Ref> slots);

// tp_new: the constructor's arguments from a tuple and a dict (`Cls.__new__(Cls, ...)`, and
// every call of the class in builds for the stable ABI).
template <const FunctionDescription& Description, MakeInstance Make>
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        std::array<Ref, Description.slot_count()> slots;
        extract_tuple_dict(Description, args, kwargs, slots);
        return Make(type, slots).release();
    });
}

// The class's vectorcall: `Cls(...)` hands over its arguments without building a tuple for
// type_call, a tenth of a small construction.
template <const FunctionDescription& Description, MakeInstance Make>
PyObject* construct_fast(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return call_frame<PyObject*>(nullptr, [&] {
        std::array<Ref, Description.slot_count()> slots;
        extract_fastcall(Description, args, static_cast<Py_ssize_t>(nargsf), kwnames, slots);
        return Make(reinterpret_cast<PyTypeObject*>(type), slots).release();
    });
}

// Builds a heap type "builtins.<name>" with the given slots, or panics after
// printing the interpreter's error.
PyTypeObject* make_type(const char* qualified_name, const char* class_name, int basic_size,
                        destructor dealloc_slot, PyMethodDef* methods, PyGetSetDef* getset, newfunc new_slot,
                        reprfunc repr_slot);

// The process-wide type object of `Record`'s class, built on first use and never released;
// `Make` builds its instances from the arguments that `Description` describes.
template <class Record, const FunctionDescription& Description, MakeInstance Make>
PyTypeObject* class_type(const char* qualified_name, PyMethodDef* methods, PyGetSetDef* getset) {
    static PyTypeObject* type = nullptr;
    if (!type) {
        PyTypeObject* created = make_type(qualified_name, ClassOf<Record>::name, sizeof(Instance<Record>),
                                          dealloc<Record>, methods, getset, construct<Description, Make>, repr<Record>);
#ifndef Py_LIMITED_API
        // The stable ABI of 3.10 cannot reach the field (nor name it as a type slot).
        created->tp_vectorcall = construct_fast<Description, Make>;
#endif
        if (type) Py_DECREF(created);  // a creation in between won; keep the first
        else type = created;
    }
    return type;
}

}  // namespace plenexa::binding
