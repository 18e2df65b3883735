#include "record_class.hpp"

#include <memory>

#include "classes.hpp"

namespace orvalnest::py {

namespace {

struct RecordFields {
    std::vector<Ref> values;
    const RecordSpec* spec;
};

struct RecordObject {
    PyObject_HEAD using Fields = RecordFields;
    Fields fields;
};

PyObject* get_value(PyObject* self, void* closure) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const auto& values = as<RecordObject>(self)->fields.values;
        const auto index = reinterpret_cast<std::size_t>(closure);
        if (index >= values.size()) return panic("record field out of range");
        return values[index].copy();
    });
}

// Name(first=..., second=...) with the values' own reprs.
PyObject* repr(PyObject* self) noexcept {
    return guarded_entry([&]() -> PyResult<Ref> {
        const RecordFields& fields = as<RecordObject>(self)->fields;
        std::string name = fields.spec->qualified_name;
        std::string text = name.substr(name.rfind('.') + 1) + "(";
        for (std::size_t i = 0; i < fields.spec->shown && i < fields.values.size(); ++i) {
            Ref shown = Ref::steal(PyObject_Repr(fields.values[i].get()));
            if (!shown) return raised();
            Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(shown.get()));
            if (!utf8) return raised();
            text +=
                std::string(i ? ", " : "") + fields.spec->fields[i].name + "=" + PyBytes_AsString(utf8.get());
        }
        return to_str(text + ")");
    });
}

}  // namespace

PyResult<PyTypeObject*> record_class(PyTypeObject*& storage, const RecordSpec& spec) {
    if (storage) return storage;
    // The class object lives for the process, and with it these tables.
    auto* getset = new std::vector<PyGetSetDef>();
    for (std::size_t i = 0; i < spec.fields.size(); ++i) {
        getset->push_back(
            {spec.fields[i].name, get_value, nullptr, spec.fields[i].doc, reinterpret_cast<void*>(i)});
    }
    getset->push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    auto* slots = new std::vector<PyType_Slot>{
        {Py_tp_doc, const_cast<char*>(spec.doc)},
        {Py_tp_getset, getset->data()},
        {Py_tp_repr, as_slot(repr)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, as_slot(dealloc_instance<RecordObject>)},
        {0, nullptr},
    };
    auto* type_spec = new PyType_Spec{spec.qualified_name, sizeof(RecordObject), 0,
                                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots->data()};
    return class_object(storage, *type_spec);
}

PyResult<Ref> make_record(PyTypeObject* cls, const RecordSpec& spec, std::vector<Ref> values) {
    if (values.size() != spec.fields.size()) return panic("record built with the wrong number of values");
    return make_instance<RecordObject>(cls, RecordFields{std::move(values), &spec});
}

PyResult<Ref> to_bytes(std::string_view bytes) {
    Ref object = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
    if (!object) return raised();
    return object;
}

Ref none() { return Ref::borrow(Py_None); }

PyResult<Ref> optional_text(const std::optional<std::string>& bytes) {
    if (!bytes) return none();
    return path_to_str(*bytes);
}

PyResult<Ref> optional_bytes(const std::optional<std::string>& bytes) {
    if (!bytes) return none();
    return to_bytes(*bytes);
}

}  // namespace orvalnest::py
