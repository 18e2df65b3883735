// format_bytes(size): the desktop application's short size text.
#include "orvalnest/format.hpp"
#include "classes.hpp"
#include "entry_points.hpp"

namespace orvalnest::py {
namespace {

constexpr std::string_view kParameters[] = {"size"};
constexpr ArgumentSpec kSpec{"format_bytes", "", kParameters, 1, {}};

PyObject* format_bytes_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        auto bound = bind_arguments(kSpec, args, nargs, kwnames);
        if (!bound) return std::unexpected(bound.error());
        auto size = convert_argument((*bound)[0], "size", extract_u64);
        if (!size) return std::unexpected(size.error());
        return to_str(format_bytes(*size));
    });
}

PyMethodDef definition = {
    "format_bytes",
    as_cfunction(format_bytes_entry),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    "format_bytes(size)\n--\n\nFormats a byte count the same way the desktop app does (\"1.5 GB\").",
};

}  // namespace

PyMethodDef* format_bytes_definition() { return &definition; }

}  // namespace orvalnest::py
