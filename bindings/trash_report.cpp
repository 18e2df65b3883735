#include "trash_report.hpp"

#include "classes.hpp"

namespace orvalnest::py {
namespace {

struct TrashReportObject {
    PyObject_HEAD using Fields = TrashReportFields;
    Fields fields;
};

const TrashReportFields& fields_of(PyObject* self) { return as<TrashReportObject>(self)->fields; }

PyObject* get_trashed(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        std::vector<Ref> items;
        items.reserve(fields_of(self).trashed.size());
        for (const auto& path : fields_of(self).trashed) {
            auto text = to_str(path);
            if (!text) return text;
            items.push_back(std::move(*text));
        }
        return to_list(items);
    });
}

PyObject* get_failed(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        std::vector<Ref> items;
        items.reserve(fields_of(self).failed.size());
        for (const auto& [path, reason] : fields_of(self).failed) {
            auto path_text = to_str(path);
            if (!path_text) return path_text;
            auto reason_text = to_str(reason);
            if (!reason_text) return reason_text;
            const Ref pair[] = {std::move(*path_text), std::move(*reason_text)};
            auto tuple = to_tuple(pair);
            if (!tuple) return tuple;
            items.push_back(std::move(*tuple));
        }
        return to_list(items);
    });
}

PyObject* get_dry_run(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(fields_of(self).dry_run); });
}

PyObject* get_audit_log(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_str(fields_of(self).audit_log); });
}

PyObject* get_ok(PyObject* self, void*) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> { return to_bool(fields_of(self).failed.empty()); });
}

PyObject* repr(PyObject* self) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& fields = fields_of(self);
        return to_str("TrashReport(trashed=" + std::to_string(fields.trashed.size()) +
                      ", failed=" + std::to_string(fields.failed.size()) +
                      ", dry_run=" + (fields.dry_run ? "True" : "False") + ")");
    });
}

PyGetSetDef getset[] = {
    {"trashed", get_trashed, nullptr, "Paths moved to the trash (in a dry run: that would have been).",
     nullptr},
    {"failed", get_failed, nullptr, "`(path, reason)` for every path refused by policy or that failed.",
     nullptr},
    {"dry_run", get_dry_run, nullptr, nullptr, nullptr},
    {"audit_log", get_audit_log, nullptr, nullptr, nullptr},
    {"ok", get_ok, nullptr, "True when every requested path was trashed (or would be).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("What a [`Cleaner::trash`] call did.")},
    {Py_tp_getset, getset},
    {Py_tp_repr, as_slot(repr)},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, as_slot(dealloc_instance<TrashReportObject>)},
    {0, nullptr},
};

PyType_Spec spec = {"orvalnest._native.TrashReport", sizeof(TrashReportObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

PyTypeObject* type = nullptr;

}  // namespace

PyResult<PyTypeObject*> trash_report_class() { return class_object(type, spec); }

PyResult<Ref> make_trash_report(TrashReportFields&& fields) {
    auto cls = trash_report_class();
    if (!cls) return std::unexpected(cls.error());
    return make_instance<TrashReportObject>(*cls, std::move(fields));
}

}  // namespace orvalnest::py
