// Node, ScanIssue and ScanResult: the objects a scan returns. Immutable: every
// attribute is a getter without a setter, and list attributes hand out a new
// list of the same objects on every read.
#include "scan_types.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest::py {

PathBytes copy_bytes(std::string_view bytes) {
    PathBytes copy(static_cast<char*>(std::malloc(bytes.empty() ? 1 : bytes.size())));
    if (!copy) throw std::bad_alloc();
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return copy;
}

ChildArray ChildArray::with_capacity(std::uint32_t capacity) {
    ChildArray array;
    if (capacity == 0) return array;
    static_assert(sizeof(Block) % alignof(PyObject*) == 0);
    array.block_ = static_cast<Block*>(std::malloc(sizeof(Block) + capacity * sizeof(PyObject*)));
    if (!array.block_) throw std::bad_alloc();
    *array.block_ = Block{0, capacity};
    return array;
}

ChildArray::~ChildArray() {
    for (PyObject* child : items()) Py_DECREF(child);
    std::free(block_);
}

std::string NodeObject::Fields::path_text() const {
    return directory ? paths::join(directory.text(), tail_text()) : std::string(tail_text());
}

std::string_view NodeObject::Fields::name_text() const {
    return directory ? tail_text() : root_name(tail_text());
}

namespace {

// ---- Node ----

const NodeObject::Fields& node(PyObject* self) { return as<NodeObject>(self)->fields; }

PyObject* node_name(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(node(self).name_text()); });
}
PyObject* node_path(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(node(self).path_text()); });
}
PyObject* node_size(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(node(self).size); });
}
PyObject* node_is_dir(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(node(self).is_dir); });
}
PyObject* node_disk_usage(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(node(self).disk_usage); });
}
PyObject* node_is_symlink(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(node(self).is_symlink); });
}
PyObject* node_is_hardlink(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(node(self).is_hardlink); });
}
PyObject* node_category(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(category_text(node(self).category)); });
}
PyObject* node_children(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_list(node(self).children.items()); });
}

Py_ssize_t node_length(PyObject* self) noexcept {
    return guarded_entry([&]() -> PyResult<Py_ssize_t> { return node(self).children.size(); });
}

PyObject* node_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const auto& fields = node(self);
        return to_str("Node(path=" + quoted_form(fields.path_text()) + ", size=" +
                      std::to_string(fields.size) + ", is_dir=" + (fields.is_dir ? "True" : "False") +
                      ", children=" + std::to_string(fields.children.size()) + ")");
    });
}

PyGetSetDef node_getset[] = {
    {"name", node_name, nullptr, nullptr, nullptr},
    {"path", node_path, nullptr, nullptr, nullptr},
    {"size", node_size, nullptr, nullptr, nullptr},
    {"is_dir", node_is_dir, nullptr, nullptr, nullptr},
    {"category", node_category, nullptr, nullptr, nullptr},
    {"children", node_children, nullptr, nullptr, nullptr},
    {"disk_usage", node_disk_usage, nullptr, nullptr, nullptr},
    {"is_symlink", node_is_symlink, nullptr, nullptr, nullptr},
    {"is_hardlink", node_is_hardlink, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("One file or directory from a scan. Directories carry the total size of\n"
                                  "everything beneath them, and their children are sorted largest first.")},
    {Py_tp_getset, node_getset},
    {Py_tp_repr, as_slot(node_repr)},
    // A mapping length, so len() works and the class is not a sequence.
    {Py_mp_length, as_slot(node_length)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<NodeObject>)},
    {0, nullptr},
};
PyType_Spec node_spec = {"orvalnest._native.Node", sizeof(NodeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, node_slots};

// ---- ScanIssue ----

const ScanIssueObject::Fields& issue(PyObject* self) { return as<ScanIssueObject>(self)->fields; }

PyObject* issue_path(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(issue(self).path); });
}
PyObject* issue_message(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_str(issue(self).message); });
}
PyObject* issue_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const auto& fields = issue(self);
        return to_str("ScanIssue(path=" + quoted_form(fields.path) +
                      ", message=" + quoted_form(fields.message) + ")");
    });
}

PyGetSetDef issue_getset[] = {
    {"path", issue_path, nullptr, nullptr, nullptr},
    {"message", issue_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scan_issue_slots[] = {
    {Py_tp_doc, const_cast<char*>("A path the scan could not read (permission denied, removed mid-scan, a\n"
                                  "skipped pseudo-filesystem, ...). Reported instead of failing the scan.")},
    {Py_tp_getset, issue_getset},
    {Py_tp_repr, as_slot(issue_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ScanIssueObject>)},
    {0, nullptr},
};
PyType_Spec scan_issue_spec = {"orvalnest._native.ScanIssue", sizeof(ScanIssueObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_issue_slots};

// ---- ScanResult ----

const ScanResultObject::Fields& result(PyObject* self) { return as<ScanResultObject>(self)->fields; }

PyObject* result_issues(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_list(result(self).issues); });
}
PyObject* result_excluded(PyObject* self, void*) noexcept {
    return guarded_entry([&] { return to_int(result(self).excluded); });
}
PyObject* result_repr(PyObject* self) noexcept {
    return guarded_entry([&] {
        const auto& root = node(result(self).root.get());
        return to_str("ScanResult(root=" + quoted_form(root.path_text()) +
                      ", size=" + std::to_string(root.size) +
                      ", issues=" + std::to_string(result(self).issues.size()) + ")");
    });
}

static_assert(sizeof(Ref) == sizeof(PyObject*), "the root member reads the Ref in place");

PyGetSetDef result_getset[] = {
    {"issues", result_issues, nullptr, nullptr, nullptr},
    {"excluded", result_excluded, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef result_members[] = {
    {"root", T_OBJECT_EX,
     static_cast<Py_ssize_t>(offsetof(ScanResultObject, fields) + offsetof(ScanResultObject::Fields, root)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot scan_result_slots[] = {
    {Py_tp_doc, const_cast<char*>("The result of [`scan`]: the root node plus every path that was skipped.")},
    {Py_tp_members, result_members},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, as_slot(result_repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<ScanResultObject>)},
    {0, nullptr},
};
PyType_Spec scan_result_spec = {"orvalnest._native.ScanResult", sizeof(ScanResultObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_result_slots};

PyTypeObject* node_type = nullptr;
PyTypeObject* scan_issue_type = nullptr;
PyTypeObject* scan_result_type = nullptr;

}  // namespace

PyResult<PyTypeObject*> node_class() { return class_object(node_type, node_spec); }
PyResult<PyTypeObject*> scan_issue_class() { return class_object(scan_issue_type, scan_issue_spec); }
PyResult<PyTypeObject*> scan_result_class() { return class_object(scan_result_type, scan_result_spec); }

}  // namespace orvalnest::py
