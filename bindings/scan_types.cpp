// Node, ScanIssue and ScanResult: the objects a scan returns.
#include "classes.hpp"

namespace orvalnest::py {
namespace {

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("One file or directory from a scan. Directories carry the total size of\n"
                                  "everything beneath them, and their children are sorted largest first.")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};
PyType_Spec node_spec = {"orvalnest._native.Node", sizeof(PyObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, node_slots};

PyType_Slot scan_issue_slots[] = {
    {Py_tp_doc, const_cast<char*>("A path the scan could not read (permission denied, removed mid-scan, a\n"
                                  "skipped pseudo-filesystem, ...). Reported instead of failing the scan.")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};
PyType_Spec scan_issue_spec = {"orvalnest._native.ScanIssue", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_issue_slots};

PyType_Slot scan_result_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The result of [`scan`]: the root node plus every path that was skipped.")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};
PyType_Spec scan_result_spec = {"orvalnest._native.ScanResult", sizeof(PyObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_result_slots};

PyTypeObject* node_type = nullptr;
PyTypeObject* scan_issue_type = nullptr;
PyTypeObject* scan_result_type = nullptr;

}  // namespace

PyResult<PyTypeObject*> node_class() { return class_object(node_type, node_spec); }
PyResult<PyTypeObject*> scan_issue_class() { return class_object(scan_issue_type, scan_issue_spec); }
PyResult<PyTypeObject*> scan_result_class() { return class_object(scan_result_type, scan_result_spec); }

}  // namespace orvalnest::py
