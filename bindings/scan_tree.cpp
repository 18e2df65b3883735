// orvalnest._engine: the scan with options that the front ends use, and the
// progress object its callback receives. A second module in the same shared
// library as _native, so both hand out the one set of result classes while
// _native keeps exactly its own names.
#if defined(__linux__)
#include <sched.h>
#endif

#include <ctime>
#include <string>
#include <thread>
#include <utility>

#include "classes.hpp"
#include "engine_api.hpp"
#include "module_support.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/text.hpp"
#include "scan_run.hpp"
#include "tree_types.hpp"

namespace orvalnest::py {
namespace {

// ---- ScanProgress ----

struct ScanProgressObject {
    PyObject ob_base;
    struct Fields {
        std::uint64_t entries = 0;
        std::uint64_t size = 0;
        std::uint64_t disk_usage = 0;
        std::string directory;  // lossy text
        bool done = false;
    } fields;
};

const ScanProgressObject::Fields& progress(PyObject* self) { return as<ScanProgressObject>(self)->fields; }

PyObject* progress_entries(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(progress(self).entries); });
}
PyObject* progress_size(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(progress(self).size); });
}
PyObject* progress_disk_usage(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(progress(self).disk_usage); });
}
PyObject* progress_directory(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(progress(self).directory); });
}
PyObject* progress_done(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(progress(self).done); });
}
PyObject* progress_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const auto& fields = progress(self);
        return to_str("ScanProgress(entries=" + std::to_string(fields.entries) + ", size=" +
                      std::to_string(fields.size) + ", disk_usage=" + std::to_string(fields.disk_usage) +
                      ", directory=" + quoted_form(fields.directory) +
                      ", done=" + (fields.done ? "True" : "False") + ")");
    });
}

PyGetSetDef progress_getset[] = {
    {"entries", progress_entries, nullptr, nullptr, nullptr},
    {"size", progress_size, nullptr, nullptr, nullptr},
    {"disk_usage", progress_disk_usage, nullptr, nullptr, nullptr},
    {"directory", progress_directory, nullptr, nullptr, nullptr},
    {"done", progress_done, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot progress_slots[] = {
    {Py_tp_doc, const_cast<char*>("How far a scan has got: entries examined, apparent and disk bytes met so\n"
                                  "far, and the folder being read. `done` is true on the last call.")},
    {Py_tp_getset, progress_getset},
    {Py_tp_repr, as_slot(progress_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ScanProgressObject>)},
    {0, nullptr},
};
PyType_Spec progress_spec = {"orvalnest._engine.ScanProgress", sizeof(ScanProgressObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, progress_slots};
PyTypeObject* progress_type = nullptr;

PyResult<PyTypeObject*> scan_progress_class() { return class_object(progress_type, progress_spec); }

PyResult<Ref> make_progress(const WalkProgress& walked, bool done) {
    auto cls = scan_progress_class();
    if (!cls) return std::unexpected(cls.error());
    return make_instance<ScanProgressObject>(
        *cls, ScanProgressObject::Fields{walked.entries, walked.size, walked.disk_usage,
                                         lossy_utf8(walked.directory), done});
}

// ---- scan_tree ----

constexpr std::string_view kParameters[] = {"path"};
constexpr KeywordOnly kKeywords[] = {
    {"one_filesystem", false}, {"exclude", false}, {"progress", false}, {"threads", false}};
constexpr ArgumentSpec kSpec{"scan_tree", "", kParameters, 1, kKeywords};
constexpr ArgumentSpec kMeasureSpec{"measure", "", kParameters, 1, kKeywords};

// More workers than this only add contention on one disk.
constexpr std::uint64_t kMaxThreads = 256;

unsigned available_cpus() {
#if defined(__linux__)
    // The CPUs this process may run on, which a container or taskset narrows.
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
#endif
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

PyResult<PyObject*> extract_callable(PyObject* object) {
    if (object == Py_None) return nullptr;
    if (!PyCallable_Check(object)) return type_mismatch(object, "Callable");
    return object;
}

PyResult<unsigned> extract_threads(PyObject* object) {
    if (object == Py_None) return available_cpus();
    auto count = extract_u64(object);
    if (!count) return std::unexpected(count.error());
    if (*count == 0) return failure(ExceptionKind::ValueError, "threads must be at least 1");
    return static_cast<unsigned>(std::min(*count, kMaxThreads));
}

// The arguments scan_tree and measure share, checked before anything is walked.
PyResult<ScanRequest> parse_request(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    auto bound = bind_arguments(spec, args, nargs, kwnames);
    if (!bound) return std::unexpected(bound.error());
    auto path = convert_argument((*bound)[0], "path", extract_path);
    if (!path) return std::unexpected(path.error());
    ScanRequest request;
    if (PyObject* given = (*bound)[1]) {
        auto flag = convert_argument(given, "one_filesystem", extract_bool);
        if (!flag) return std::unexpected(flag.error());
        request.options.one_filesystem = *flag;
    }
    if (PyObject* given = (*bound)[2]) {
        auto patterns = convert_argument(given, "exclude", extract_path_list);
        if (!patterns) return std::unexpected(patterns.error());
        request.options.exclude = std::move(*patterns);
    }
    if (PyObject* given = (*bound)[3]) {
        auto callable = convert_argument(given, "progress", extract_callable);
        if (!callable) return std::unexpected(callable.error());
        request.progress = *callable;
        request.make_progress = make_progress;
    }
    auto threads = convert_argument((*bound)[4] ? (*bound)[4] : Py_None, "threads", extract_threads);
    if (!threads) return std::unexpected(threads.error());
    request.options.threads = *threads;
    request.path = std::move(*path);
    return request;
}

PyObject* scan_tree_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto request = parse_request(kSpec, args, nargs, kwnames);
        if (!request) return std::unexpected(request.error());
        return run_scan(std::move(*request));
    });
}

PyMethodDef scan_tree_definition = {
    "scan_tree",
    as_cfunction(scan_tree_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "scan_tree(path, *, one_filesystem=False, exclude=(), progress=None, threads=None)\n--\n\n"
    "Scans `path` like `scan`, with the options the front ends need.\n\n"
    "Nodes carry `disk_usage` (hard links counted once) beside the apparent\n"
    "`size`. `one_filesystem` keeps the walk off other mounted filesystems;\n"
    "`exclude` leaves out entries matching shell patterns (as du matches\n"
    "them: the full path or any trailing part of it); `progress` is called with\n"
    "a ScanProgress about ten times a second and once at the end, and an\n"
    "exception it raises stops the scan and propagates. `threads` walks with\n"
    "that many threads (None: one per available CPU); the tree is the same.\n"
    "Releases the GIL while scanning; Ctrl+C raises KeyboardInterrupt.",
};

// ---- measure ----

PyObject* measure_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto request = parse_request(kMeasureSpec, args, nargs, kwnames);
        if (!request) return std::unexpected(request.error());
        auto cls = tree_class();
        if (!cls) return std::unexpected(cls.error());
        const auto started = static_cast<std::int64_t>(std::time(nullptr));
        auto tree = run_walk(*request);
        if (!tree) return std::unexpected(tree.error());
        return make_instance<TreeObject>(*cls, TreeObject::Fields{
                                                   .tree = std::move(*tree),
                                                   .exclude = std::move(request->options.exclude),
                                                   .timestamp = started,
                                                   .children_reads = 0,
                                                   .threads = request->options.threads,
                                                   .one_filesystem = request->options.one_filesystem,
                                                   .source = TreeSource::Scan,
                                                   .opened_from = {},
                                               });
    });
}

PyMethodDef measure_definition = {
    "measure",
    as_cfunction(measure_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "measure(path, *, one_filesystem=False, exclude=(), progress=None, threads=None)\n--\n\n"
    "Scans `path` at any depth into a compact Tree held in native memory.\n\n"
    "Takes the options of scan_tree and raises as it does. Children are\n"
    "ordered by disk usage, largest first (equal ones by name); entries carry\n"
    "du's apparent size and modification times beside the sizes of a Node.",
};

// ---- the module ----

PyResult<int> exec_engine(PyObject* module) {
    for (PyMethodDef* definition : {&scan_tree_definition, &measure_definition}) {
        if (auto added = add_function(module, definition); !added) return added;
    }
    using ClassGetter = PyResult<PyTypeObject*> (*)();
    const std::pair<std::string_view, ClassGetter> classes[] = {
        {"ScanProgress", scan_progress_class},
        {"Tree", tree_class},
        {"Entry", entry_class},
        {"Children", children_class},
        {"TreeIssue", tree_issue_class},
    };
    for (const auto& [name, getter] : classes) {
        auto cls = getter();
        if (!cls) return std::unexpected(cls.error());
        if (auto added = module_add(module, name, reinterpret_cast<PyObject*>(*cls)); !added) return added;
    }
    for (auto add : {add_saved_scan_api, add_comparison_api}) {
        if (auto added = add(module); !added) return added;
    }
    if (auto added = add_cleaner_api(module); !added) return added;
    return add_report_api(module);
}

int exec_slot(PyObject* module) noexcept {
    return guarded_entry([&] { return exec_engine(module); });
}

PyModuleDef_Slot engine_slots[] = {
    {Py_mod_exec, as_slot(exec_slot)},
    {0, nullptr},
};

PyModuleDef engine_definition = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The scan with options behind the orvalnest front ends.",
    0,
    nullptr,
    engine_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace orvalnest::py

PyMODINIT_FUNC PyInit__engine(void) { return PyModuleDef_Init(&orvalnest::py::engine_definition); }
