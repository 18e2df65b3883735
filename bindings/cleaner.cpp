// Cleaner and TrashReport: placeholder classes until the cleaner lands.
#include "classes.hpp"

namespace orvalnest::py {
namespace {

PyType_Slot cleaner_slots[] = {
    {Py_tp_doc, const_cast<char*>("Cleaner(scan_root, audit_log_dir)\n--\n\n"
                                  "Moves files to the OS trash, but only inside `scan_root`, never\n"
                                  "protected system locations, and always with an audit record.\n\n")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};
PyType_Spec cleaner_spec = {"orvalnest._native.Cleaner", sizeof(PyObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, cleaner_slots};

PyType_Slot trash_report_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a [`Cleaner::trash`] call did.")},
    {Py_tp_base, &PyBaseObject_Type},
    {0, nullptr},
};
PyType_Spec trash_report_spec = {"orvalnest._native.TrashReport", sizeof(PyObject), 0,
                                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, trash_report_slots};

PyTypeObject* cleaner_type = nullptr;
PyTypeObject* trash_report_type = nullptr;

}  // namespace

PyResult<PyTypeObject*> cleaner_class() { return class_object(cleaner_type, cleaner_spec); }
PyResult<PyTypeObject*> trash_report_class() { return class_object(trash_report_type, trash_report_spec); }

}  // namespace orvalnest::py
