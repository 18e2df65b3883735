#include "boundary.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "orvalnest/text.hpp"
#include "orvalnest/trash_request.hpp"

namespace orvalnest::py {

// ---- Process-wide objects ----

PyResult<PyObject*> interned(enum Name name) {
    static constexpr const char* kTexts[] = {"__all__",      "__name__", "__module__",
                                             "__qualname__", "add_note", "__bool__"};
    static PyObject* cache[std::size(kTexts)] = {};  // created under the GIL, kept for the process
    const auto index = static_cast<size_t>(name);
    if (!cache[index]) {
        cache[index] = PyUnicode_InternFromString(kTexts[index]);
        if (!cache[index]) return raised();
    }
    return cache[index];
}

namespace {

PyObject* panic_exception_class() {
    static PyObject* cls = nullptr;
    if (!cls) {
        cls = PyErr_NewExceptionWithDoc(
            "orvalnest._native.PanicException",
            "Signals an internal failure of the orvalnest native module.\n\n"
            "Like SystemExit it derives from BaseException, so that it is not caught by\n"
            "`except Exception` and normally propagates to the top and ends the program.",
            PyExc_BaseException, nullptr);
        if (!cls) Py_FatalError("Failed to initialize new exception type.");
    }
    return cls;
}

PyObject* exception_class(ExceptionKind kind) {
    switch (kind) {
        case ExceptionKind::OSError:
            return PyExc_OSError;
        case ExceptionKind::FileNotFoundError:
            return PyExc_FileNotFoundError;
        case ExceptionKind::NotADirectoryError:
            return PyExc_NotADirectoryError;
        case ExceptionKind::PermissionError:
            return PyExc_PermissionError;
        case ExceptionKind::ValueError:
            return PyExc_ValueError;
        case ExceptionKind::KeyboardInterrupt:
            return PyExc_KeyboardInterrupt;
    }
    return PyExc_SystemError;
}

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

// Raises cls(message) with exactly one str argument: for the OSError family
// this leaves errno, strerror and filename as None.
void raise_with_message(PyObject* cls, const std::string& message) {
    Ref text =
        Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // the interpreter's own error is set instead
    PyErr_SetObject(cls, text.get());
}

}  // namespace

namespace detail {

void raise(const Error& error) noexcept {
    try {
        switch (error.kind()) {
            case Error::Kind::Raised:
                if (!PyErr_Occurred()) {
                    raise_with_message(panic_exception_class(),
                                       "error reported without a Python exception set");
                }
                return;
            case Error::Kind::Failure:
                raise_with_message(exception_class(error.exception()), error.message());
                return;
            case Error::Kind::Panic:
                raise_with_message(panic_exception_class(),
                                   error.message().empty() ? "internal failure" : error.message());
                return;
        }
    } catch (...) {
        abort_at_boundary();
    }
}

void report_unraisable(const Error& error, PyObject* context) noexcept {
    raise(error);
    PyErr_WriteUnraisable(context);
}

}  // namespace detail

// ---- Binding ----

namespace {

std::string display_name(const ArgumentSpec& spec) {
    std::string out;
    if (!spec.class_name.empty()) {
        out.append(spec.class_name);
        out.push_back('.');
    }
    out.append(spec.function_name);
    out.append("()");
    return out;
}

std::unexpected<Error> binding_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return raised();
}

// Index of the slot for keyword `name` (keyword-only names first), or -1. A
// name that is not valid text matches nothing.
Py_ssize_t find_parameter(const ArgumentSpec& spec, PyObject* name) {
    if (!PyUnicode_Check(name)) return -1;
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &length);
    if (!utf8) {
        PyErr_Clear();  // a lone surrogate: cannot be one of our names
        return -1;
    }
    const std::string_view text(utf8, static_cast<size_t>(length));
    for (size_t i = 0; i < spec.keyword_only.size(); ++i) {
        if (spec.keyword_only[i].name == text) return static_cast<Py_ssize_t>(spec.positional.size() + i);
    }
    for (size_t i = 0; i < spec.positional.size(); ++i) {
        if (spec.positional[i] == text) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Binding steps shared by both calling forms: `keyword(i)` gives the i-th
// (name, value) pair of the call.
template <typename Keyword>
PyResult<BoundArguments> bind(const ArgumentSpec& spec, PyObject* const* positional, Py_ssize_t nargs,
                              Py_ssize_t nkeywords, Keyword&& keyword) {
    const auto parameters = static_cast<Py_ssize_t>(spec.positional.size());
    if (spec.positional.size() + spec.keyword_only.size() > kMaxParameters) {
        return panic("argument spec has too many parameters");
    }
    if (nargs > parameters) {
        return binding_error(display_name(spec) + " takes " + std::to_string(parameters) +
                             " positional arguments but " + std::to_string(nargs) +
                             (nargs == 1 ? " was" : " were") + " given");
    }
    BoundArguments slots{};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<size_t>(i)] = positional[i];

    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        auto [name, value] = keyword(k);
        const Py_ssize_t index = find_parameter(spec, name);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                         display_name(spec).c_str(), name);
            return raised();
        }
        if (slots[static_cast<size_t>(index)]) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'",
                         display_name(spec).c_str(), name);
            return raised();
        }
        slots[static_cast<size_t>(index)] = value;
    }

    if (nargs < static_cast<Py_ssize_t>(spec.required)) {
        std::vector<std::string_view> missing;
        for (size_t i = 0; i < spec.required; ++i) {
            if (!slots[i]) missing.push_back(spec.positional[i]);
        }
        if (!missing.empty()) {
            std::string message = display_name(spec) + " missing " + std::to_string(missing.size()) +
                                  " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                                  ": ";
            for (size_t i = 0; i < missing.size(); ++i) {
                if (i > 0) message += i + 1 == missing.size() ? " and " : ", ";
                message += "'" + std::string(missing[i]) + "'";
            }
            return binding_error(message);
        }
    }
    return slots;
}

}  // namespace

PyResult<BoundArguments> bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    const Py_ssize_t nkeywords = kwnames ? PyTuple_Size(kwnames) : 0;
    if (nkeywords < 0) return raised();
    return bind(spec, args, nargs, nkeywords, [&](Py_ssize_t k) {
        return std::pair{PyTuple_GetItem(kwnames, k), args[nargs + k]};
    });
}

PyResult<BoundArguments> bind_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return raised();
    // The tuple's items as an array; at most kMaxParameters + 1 are looked at
    // before the count check refuses the call.
    std::array<PyObject*, kMaxParameters> items{};
    for (Py_ssize_t i = 0; i < nargs && i < static_cast<Py_ssize_t>(items.size()); ++i) {
        items[static_cast<size_t>(i)] = PyTuple_GetItem(args, i);
    }
    // Keywords in the dictionary's iteration order.
    std::vector<std::pair<PyObject*, PyObject*>> keywords;
    if (kwargs) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) keywords.emplace_back(key, value);
    }
    return bind(spec, items.data(), nargs, static_cast<Py_ssize_t>(keywords.size()),
                [&](Py_ssize_t k) { return keywords[static_cast<size_t>(k)]; });
}

// ---- Conversions ----

namespace {

// The type's __qualname__, or the stand-in when it cannot be read as text.
std::string qualified_name(PyObject* type) {
    static constexpr std::string_view kUnknown = "<failed to extract type name>";
    auto attribute = interned(Name::Qualname);
    if (!attribute) {
        PyErr_Clear();
        return std::string(kUnknown);
    }
    Ref name = Ref::steal(PyObject_GetAttr(type, *attribute));
    if (!name || !PyUnicode_Check(name.get())) {
        PyErr_Clear();
        return std::string(kUnknown);
    }
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &length);
    if (!utf8) {
        PyErr_Clear();
        return std::string(kUnknown);
    }
    return std::string(utf8, static_cast<size_t>(length));
}

PyResult<std::string> sequence_class_name() {
    static PyObject* sequence = nullptr;  // collections.abc.Sequence, kept for the process
    if (!sequence) {
        Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
        if (!module) return raised();
        sequence = PyObject_GetAttrString(module.get(), "Sequence");
        if (!sequence) return raised();
    }
    return qualified_name(sequence);
}

}  // namespace

std::unexpected<Error> type_mismatch(PyObject* value, std::string_view expected) {
    std::string message;
    if (value == Py_None) {
        message = "'None' is not an instance of '" + std::string(expected) + "'";
    } else {
        message = "'" + qualified_name(reinterpret_cast<PyObject*>(Py_TYPE(value))) +
                  "' object is not an instance of '" + std::string(expected) + "'";
    }
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return raised();
}

PyResult<std::string> extract_path(PyObject* object) {
    Ref fspath = Ref::steal(PyOS_FSPath(object));
    if (!fspath) return raised();
    if (!PyUnicode_Check(fspath.get())) return type_mismatch(fspath.get(), "str");
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(fspath.get()));
    if (!encoded) return raised();
    char* data = nullptr;
    Py_ssize_t length = 0;
    if (PyBytes_AsStringAndSize(encoded.get(), &data, &length) < 0) return raised();
    return std::string(data, static_cast<size_t>(length));
}

PyResult<std::vector<std::string>> extract_path_list(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return raised();
    }
    if (!PySequence_Check(object)) {
        auto expected = sequence_class_name();
        if (!expected) return std::unexpected(expected.error());
        return type_mismatch(object, *expected);
    }
    std::vector<std::string> paths;
    const Py_ssize_t size = PyObject_Size(object);
    if (size < 0) {
        PyErr_Clear();
    } else {
        // The length is a hint that any sequence may lie about: reserve no
        // more than one request may hold (longer ones are refused later), so
        // a huge claimed length costs nothing.
        paths.reserve(std::min(static_cast<size_t>(size), kMaxPathsPerRequest + 1));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) return raised();
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        auto path = extract_path(item.get());
        if (!path) return std::unexpected(path.error());
        paths.push_back(std::move(*path));
    }
    if (PyErr_Occurred()) return raised();
    return paths;
}

namespace {

PyResult<std::uint64_t> long_to_u64(PyObject* integer) {
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return raised();
    return static_cast<std::uint64_t>(value);
}

// Whether `type` is numpy's boolean scalar type (numpy.bool_, called
// numpy.bool since numpy 2).
PyResult<bool> is_numpy_bool(PyObject* type) {
    auto module_name = interned(Name::Module);
    auto name_name = interned(Name::Name);
    if (!module_name || !name_name) return raised();
    Ref module = Ref::steal(PyObject_GetAttr(type, *module_name));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0)
        return false;
    Ref name = Ref::steal(PyObject_GetAttr(type, *name_name));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(name.get()) && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                                           PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

}  // namespace

PyResult<std::uint64_t> extract_u64(PyObject* object) {
    if (PyLong_Check(object)) return long_to_u64(object);
    Ref index = Ref::steal(PyNumber_Index(object));
    if (!index) return raised();
    return long_to_u64(index.get());
}

PyResult<bool> extract_bool(PyObject* object) {
    if (Py_TYPE(object) == &PyBool_Type) return object == Py_True;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    auto numpy = is_numpy_bool(type);
    if (!numpy) return std::unexpected(numpy.error());
    if (!*numpy) return type_mismatch(object, "bool");

    auto bool_name = interned(Name::Bool);
    if (!bool_name) return raised();
    // A special-method lookup: on the type, then bound to the object.
    Ref method = Ref::steal(PyObject_GetAttr(type, *bool_name));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return raised();
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion", type);
        return raised();
    }
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(method.get(), object, nullptr));
    if (!result) return raised();
    if (Py_TYPE(result.get()) != &PyBool_Type) return type_mismatch(result.get(), "bool");
    return result.get() == Py_True;
}

void add_argument_note(std::string_view parameter) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    if (value) {
        const std::string note = "while processing '" + std::string(parameter) + "'";
        auto add_note = interned(Name::AddNote);
        // Before 3.11 exceptions have no add_note: the exception then stays as it is.
        Ref method = add_note ? Ref::steal(PyObject_GetAttr(value, *add_note)) : Ref();
        Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
        if (method && text) Ref::steal(PyObject_CallFunctionObjArgs(method.get(), text.get(), nullptr));
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

// ---- Results ----

namespace {

// A simple result object could not be made: report the interpreter's error and
// end the call as an internal failure.
std::unexpected<Error> allocation_failure(const char* what) {
    PyErr_WriteUnraisable(nullptr);
    return panic(std::string("failed to create a Python ") + what);
}

}  // namespace

PyResult<Ref> to_str(std::string_view utf8) {
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
    if (!text) return allocation_failure("str");
    return text;
}

PyResult<Ref> path_to_str(std::string_view bytes) { return to_str(lossy_utf8(bytes)); }

PyResult<Ref> to_int(std::uint64_t value) {
    Ref number = Ref::steal(PyLong_FromUnsignedLongLong(value));
    if (!number) return allocation_failure("int");
    return number;
}

Ref to_bool(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

namespace {

PyObject* object_of(const Ref& item) { return item.get(); }
PyObject* object_of(PyObject* item) { return item; }

// A new list or tuple holding new references to `items`. The setter steals
// the reference it is given, even when it fails.
template <typename Item>
PyResult<Ref> to_sequence(std::span<const Item> items, PyObject* (*make)(Py_ssize_t),
                          int (*set)(PyObject*, Py_ssize_t, PyObject*), const char* what) {
    Ref sequence = Ref::steal(make(static_cast<Py_ssize_t>(items.size())));
    if (!sequence) return allocation_failure(what);
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* item = object_of(items[i]);
        Py_INCREF(item);
        if (set(sequence.get(), static_cast<Py_ssize_t>(i), item) < 0) return allocation_failure(what);
    }
    return sequence;
}

}  // namespace

PyResult<Ref> to_list(std::span<const Ref> items) {
    return to_sequence(items, PyList_New, PyList_SetItem, "list");
}

PyResult<Ref> to_list(std::span<PyObject* const> borrowed) {
    return to_sequence(borrowed, PyList_New, PyList_SetItem, "list");
}

PyResult<Ref> to_tuple(std::span<const Ref> items) {
    return to_sequence(items, PyTuple_New, PyTuple_SetItem, "tuple");
}

}  // namespace orvalnest::py
