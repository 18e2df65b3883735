// The module definition and its execution step: two functions, five classes
// and five constants, each added to the module and to its __all__.
#include <initializer_list>
#include <utility>

#include "classes.hpp"
#include "entry_points.hpp"
#include "module_support.hpp"
#include "orvalnest/audit.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/trash_request.hpp"

namespace orvalnest::py {
namespace {

// pyproject.toml holds the version; the build passes it in.
constexpr const char* kVersion = ORVALNEST_VERSION;
constexpr std::string_view kAuditLogDirEnv = "ORVALNEST_AUDIT_LOG_DIR";

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
