// The module definition and its execution step: two functions, five classes
// and five constants, each added to the module and to its __all__.
#include <initializer_list>
#include <utility>

#include "classes.hpp"
#include "entry_points.hpp"
#include "orvalnest/audit.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/trash_request.hpp"

namespace orvalnest::py {
namespace {

constexpr const char* kVersion = "0.2.0";
constexpr std::string_view kAuditLogDirEnv = "ORVALNEST_AUDIT_LOG_DIR";

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

using ClassGetter = PyResult<PyTypeObject*> (*)();

PyResult<int> exec_module(PyObject* module) {
    for (PyMethodDef* definition : {scan_definition(), format_bytes_definition()}) {
        if (auto added = add_function(module, definition); !added) return added;
    }
    const std::pair<std::string_view, ClassGetter> classes[] = {
        {"Node", node_class},       {"ScanIssue", scan_issue_class},     {"ScanResult", scan_result_class},
        {"Cleaner", cleaner_class}, {"TrashReport", trash_report_class},
    };
    for (const auto& [name, getter] : classes) {
        auto cls = getter();
        if (!cls) return std::unexpected(cls.error());
        if (auto added = module_add(module, name, reinterpret_cast<PyObject*>(*cls)); !added) return added;
    }

    auto version = to_str(kVersion);
    auto max_depth = to_int(MAX_DEPTH);
    auto max_paths = to_int(kMaxPathsPerRequest);
    auto env_name = to_str(kAuditLogDirEnv);
    auto file_name = to_str(kAuditLogFileName);
    for (auto* value : {&version, &max_depth, &max_paths, &env_name, &file_name}) {
        if (!*value) return std::unexpected(value->error());
    }
    const std::pair<std::string_view, PyObject*> constants[] = {
        {"__version__", version->get()},
        {"MAX_DEPTH", max_depth->get()},
        {"MAX_PATHS_PER_REQUEST", max_paths->get()},
        {"AUDIT_LOG_DIR_ENV", env_name->get()},
        {"AUDIT_LOG_FILE_NAME", file_name->get()},
    };
    for (const auto& [name, value] : constants) {
        if (auto added = module_add(module, name, value); !added) return added;
    }
    return 0;
}

int exec_slot(PyObject* module) noexcept {
    return guarded_entry([&] { return exec_module(module); });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, as_slot(exec_slot)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_native",
    "",  // __doc__ is the empty string, not None
    0,   // no per-module state
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvalnest::py

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&orvalnest::py::module_definition); }
