// Shared by the execution steps of the package's native modules.
#pragma once

#include <string_view>

#include "boundary.hpp"

namespace orvalnest::py {

// Appends `name` to the module's __all__ (made on first use) and sets the attribute.
PyResult<int> module_add(PyObject* module, PyObject* name, PyObject* value);
PyResult<int> module_add(PyObject* module, std::string_view name, PyObject* value);
// Makes a built-in function from `definition` and adds it under its own name.
PyResult<int> add_function(PyObject* module, PyMethodDef* definition);

}  // namespace orvalnest::py
