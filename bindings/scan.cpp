// scan(path): checks the root with the lock held, then walks and builds the
// result through the runner the scan with options shares.

#include "classes.hpp"
#include "entry_points.hpp"
#include "orvalnest/scanner.hpp"
#include "scan_run.hpp"

namespace orvalnest::py {
namespace {

constexpr std::string_view kParameters[] = {"path"};
constexpr ArgumentSpec kSpec{"scan", "", kParameters, 1, {}};

PyObject* scan_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto path = convert_argument((*bound)[0], "path", extract_path);
        if (!path) return std::unexpected(path.error());
        ScanRequest request;
        request.path = std::move(*path);
        return run_scan(request);
    });
}

PyMethodDef definition = {
    "scan",
    as_cfunction(scan_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "scan(path)\n--\n\nRecursively scans `path` and returns a size-sorted tree.\n\n"
    "Symlinks and Windows junctions are never followed (they appear as\n"
    "zero-size entries), Linux pseudo-filesystems such as /proc are skipped,\n"
    "and unreadable paths are reported in `issues` instead of raising.\n"
    "Releases the GIL while scanning; Ctrl+C raises KeyboardInterrupt.",
};

}  // namespace

PyMethodDef* scan_definition() { return &definition; }

}  // namespace orvalnest::py
