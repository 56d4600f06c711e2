// Instance layout shared by both classes, the borrow flag and its guards.
#pragma once

#include <utility>

#include "binding/error.hpp"
#include "binding/messages.hpp"
#include "util/failure.hpp"

namespace plenexa::binding {

// The Python object of a class whose native record is `Record`.
//
// `borrow` guards the record against re-entry on the calling thread:
//    0   free;
//    n>0 n shared borrows are active (methods, getters, repr);
//   -1   one exclusive borrow is active (a setter).
// It is only ever changed by SharedBorrow/ExclusiveBorrow, which put it back
// when the operation ends on every path. The record is constructed in place
// when the instance is created and destroyed by the deallocator.
template <class Record>
struct Instance {
    PyObject_HEAD
    Py_ssize_t borrow;
    Record record;
};

// A shared borrow of an instance's record for the duration of one operation.
template <class Record>
class SharedBorrow {
public:
    explicit SharedBorrow(Instance<Record>* self) : self_(self) {
        if (self_->borrow == -1) throw_error(PyExc_RuntimeError, messages::already_mutably_borrowed);
        ++self_->borrow;
    }
    ~SharedBorrow() { --self_->borrow; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const Record& operator*() const noexcept { return self_->record; }
    const Record* operator->() const noexcept { return &self_->record; }

private:
    Instance<Record>* self_;
};

// The exclusive borrow a setter holds while it converts and stores a new value.
template <class Record>
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(Instance<Record>* self) : self_(self) {
        if (self_->borrow != 0) throw_error(PyExc_RuntimeError, messages::already_borrowed);
        self_->borrow = -1;
    }
    ~ExclusiveBorrow() { self_->borrow = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    Record& operator*() const noexcept { return self_->record; }
    Record* operator->() const noexcept { return &self_->record; }

private:
    Instance<Record>* self_;
};

// Checks that `self` is an instance of `type` (or a subtype) and returns it.
template <class Record>
Instance<Record>* receiver(PyObject* self, PyTypeObject* type, const char* class_name) {
    if (!self) util::panic_none();
    if (!PyType_IsSubtype(Py_TYPE(self), type)) throw PyError::conversion(self, class_name);
    return reinterpret_cast<Instance<Record>*>(self);
}

}  // namespace plenexa::binding
