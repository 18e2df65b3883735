#include "classes.hpp"

namespace orvalnest::py {

PyResult<PyTypeObject*> class_object(PyTypeObject*& storage, PyType_Spec& spec) {
    if (!storage) {
        PyObject* created = PyType_FromSpec(&spec);
        if (!created) return raised();
        storage = reinterpret_cast<PyTypeObject*>(created);
    }
    return storage;
}

PyResult<Ref> allocate_instance(PyTypeObject* cls) {
    auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
    if (!object_new) return raised();
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return raised();
    Ref instance = Ref::steal(object_new(cls, empty.get(), nullptr));
    if (!instance) return raised();
    return instance;
}

}  // namespace orvalnest::py
