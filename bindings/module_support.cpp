// Adding names to a module: each one is appended to __all__ as it is set.
#include "module_support.hpp"

namespace orvalnest::py {

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
PyResult<int> module_add(PyObject* module, PyObject* name, PyObject* value) {
    auto all_name = interned(Name::All);
    if (!all_name) return raised();
    Ref all = Ref::steal(PyObject_GetAttr(module, *all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return raised();
        if (PyObject_SetAttr(module, *all_name, all.get()) < 0) return raised();
    } else if (!PyList_Check(all.get())) {
        return type_mismatch(all.get(), "list");
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_WriteUnraisable(nullptr);
        return panic("could not append to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) return raised();
    return 0;
}

PyResult<int> module_add(PyObject* module, std::string_view name, PyObject* value) {
    auto text = to_str(name);
    if (!text) return std::unexpected(text.error());
    return module_add(module, text->get(), value);
}

PyResult<int> add_function(PyObject* module, PyMethodDef* definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return raised();
    // METH_STATIC: the function's __self__ reads None and the C function gets a null self.
    Ref function = Ref::steal(PyCMethod_New(definition, module, module_name.get(), nullptr));
    if (!function) return raised();
    auto name_attribute = interned(Name::Name);
    if (!name_attribute) return raised();
    Ref name = Ref::steal(PyObject_GetAttr(function.get(), *name_attribute));
    if (!name) return raised();
    if (!PyUnicode_Check(name.get())) return type_mismatch(name.get(), "str");
    return module_add(module, name.get(), function.get());
}

}  // namespace orvalnest::py
