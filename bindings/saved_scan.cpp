// Saved scans from Python: Tree.save writes one to a descriptor, open_scan
// reads a saved scan, an ncdu export or a JSON export back into a Tree, and
// ScanFileError says what is wrong with a file that holds none.
#include <ctime>

#include "classes.hpp"
#include "engine_api.hpp"
#include "gil.hpp"
#include "module_support.hpp"
#include "orvalnest/saved_scan.hpp"
#include "orvalnest/text.hpp"
#include "tree_types.hpp"

namespace orvalnest::py {
namespace {

PyObject* scan_file_error_class() {
    static PyObject* cls = nullptr;  // made once under the GIL, kept for the process
    if (!cls) {
        Ref defaults = Ref::steal(Py_BuildValue("{s:s,s:s}", "filename", "", "reason", ""));
        if (!defaults) return nullptr;
        cls = PyErr_NewExceptionWithDoc(
            "orvalnest._engine.ScanFileError",
            "A file that holds no tree orvalnest can read: damaged, cut short, of\n"
            "another kind, or saved by a newer version. The message is\n"
            "\"<file>: <what is wrong>\"; `filename` and `reason` give the two parts.",
            PyExc_ValueError, defaults.get());
    }
    return cls;
}

std::unexpected<Error> raise_load_failure(const std::string& path, const LoadFailure& failure) {
    Ref filename =
        Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!filename) return raised();
    if (failure.os_error) {
        errno = failure.os_error;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
        return raised();
    }
    PyObject* cls = scan_file_error_class();
    if (!cls) return raised();
    auto message = to_str(lossy_utf8(path) + ": " + failure.reason);
    auto reason = to_str(failure.reason);
    if (!message || !reason) return raised();
    Ref exception = Ref::steal(PyObject_CallFunctionObjArgs(cls, message->get(), nullptr));
    if (!exception || PyObject_SetAttrString(exception.get(), "filename", filename.get()) < 0 ||
        PyObject_SetAttrString(exception.get(), "reason", reason->get()) < 0)
        return raised();
    PyErr_SetObject(cls, exception.get());
    return raised();
}

PyResult<int> extract_descriptor(PyObject* object) {
    const int fd = PyObject_AsFileDescriptor(object);
    if (fd < 0) return raised();
    return fd;
}

constexpr std::string_view kOpenParameters[] = {"path"};
constexpr ArgumentSpec kOpenSpec{"open_scan", "", kOpenParameters, 1, {}};

PyObject* open_scan_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kOpenSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto path = convert_argument((*bound)[0], "path", extract_path);
        if (!path) return std::unexpected(path.error());
        auto cls = tree_class();
        if (!cls) return std::unexpected(cls.error());
        LoadResult<LoadedTree> loaded;
        {
            GilRelease released;
            loaded = load_tree_file(*path);
        }
        if (!loaded) return raise_load_failure(*path, loaded.error());
        ScanFacts& facts = loaded->facts;
        return make_instance<TreeObject>(*cls, TreeObject::Fields{
                                                   .tree = std::move(loaded->tree),
                                                   .exclude = std::move(facts.exclude),
                                                   .timestamp = facts.timestamp,
                                                   .children_reads = 0,
                                                   .threads = facts.threads,
                                                   .one_filesystem = facts.one_filesystem,
                                                   .source = facts.source,
                                                   .opened_from = *path,
                                               });
    });
}

PyMethodDef open_scan_definition = {
    "open_scan",
    as_cfunction(open_scan_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "open_scan(path)\n--\n\n"
    "Reads a Tree from a file: a saved scan (mapped and validated, not\n"
    "parsed), ncdu's JSON export or orvalnest's JSON export; \"-\" reads\n"
    "standard input. Raises ScanFileError naming the file and what is wrong\n"
    "with it, and OSError when it cannot be read. Releases the GIL meanwhile.",
};

}  // namespace

PyObject* tree_save(PyObject* self, PyObject* file) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto fd = convert_argument(file, "file", extract_descriptor);
        if (!fd) return std::unexpected(fd.error());
        const auto& fields = as<TreeObject>(self)->fields;
        const ScanFacts facts{fields.exclude, fields.timestamp, fields.threads, fields.one_filesystem,
                              fields.source};
        OsResult<void> written;
        {
            GilRelease released;
            written = write_saved_scan(*fd, *fields.tree, facts);
        }
        if (!written) {
            errno = written.error().code() ? written.error().code() : EIO;
            PyErr_SetFromErrno(PyExc_OSError);
            return raised();
        }
        return Ref::borrow(Py_None);
    });
}

PyResult<int> add_saved_scan_api(PyObject* module) {
    if (auto added = add_function(module, &open_scan_definition); !added) return added;
    PyObject* error = scan_file_error_class();
    if (!error) return raised();
    return module_add(module, "ScanFileError", error);
}

}  // namespace orvalnest::py
