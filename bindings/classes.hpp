// The module's class objects and how their instances are made and destroyed.
// Each class is a heap type made once per process, on first use, and shared
// by every module object (re-imports and other interpreters alike).
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "boundary.hpp"

namespace orvalnest::py {

PyResult<PyTypeObject*> node_class();
PyResult<PyTypeObject*> scan_issue_class();
PyResult<PyTypeObject*> scan_result_class();
PyResult<PyTypeObject*> cleaner_class();
PyResult<PyTypeObject*> trash_report_class();

// Creates the class from `spec` the first time; `storage` keeps it for the
// life of the process (never released: class objects outlive every module).
PyResult<PyTypeObject*> class_object(PyTypeObject*& storage, PyType_Spec& spec);

// A new, zeroed instance of `cls`, allocated through object.__new__ so that a
// class that refuses calls from Python can still be made by the module.
PyResult<Ref> allocate_instance(PyTypeObject* cls);

// Instance layouts are standard-layout structs: PyObject_HEAD, then one
// `fields` member holding the native fields (C++ types allowed).
template <typename Object>
PyResult<Ref> make_instance(PyTypeObject* cls, typename Object::Fields&& fields) {
    auto instance = allocate_instance(cls);
    if (!instance) return instance;
    auto* object = reinterpret_cast<Object*>(instance->get());
    new (&object->fields) typename Object::Fields(std::move(fields));
    return instance;
}

template <typename Object>
Object* as(PyObject* self) {
    return reinterpret_cast<Object*>(self);
}

// Py_tp_dealloc for Object: drops the native fields (and with them any Python
// references they hold), frees through the class's allocator and releases the
// reference every heap-type instance holds on its type.
template <typename Object>
void dealloc_instance(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    guarded_dealloc(self, [&] { std::destroy_at(&as<Object>(self)->fields); });
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

// Casts a fast-call C function to PyCFunction (through void(*)() to keep
// -Wcast-function-type quiet).
template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

template <typename Function>
void* as_slot(Function function) {
    return reinterpret_cast<void*>(function);
}

}  // namespace orvalnest::py
