// Everything between the interpreter and the module's native logic: errors as
// values and the guard every C entry point runs through, argument binding, the
// argument conversions and the result conversions.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "orvalnest/error.hpp"
#include "ref.hpp"

namespace orvalnest::py {

// Why a call failed.
class Error {
public:
    enum class Kind {
        Raised,   // the interpreter's error indicator is set (a conversion or API call failed)
        Failure,  // one of the module's own errors, raised as kind(message) at the boundary
        Panic,    // a broken invariant of our own code, raised as PanicException
    };

    static Error raised() { return Error(Kind::Raised, {}, {}); }
    static Error failure(orvalnest::Failure f) { return Error(Kind::Failure, f.kind, std::move(f.message)); }
    static Error failure(ExceptionKind kind, std::string message) {
        return Error(Kind::Failure, kind, std::move(message));
    }
    static Error panic(std::string message) { return Error(Kind::Panic, {}, std::move(message)); }

    Kind kind() const { return kind_; }
    ExceptionKind exception() const { return exception_; }
    const std::string& message() const { return message_; }

private:
    Error(Kind kind, ExceptionKind exception, std::string message)
        : kind_(kind), exception_(exception), message_(std::move(message)) {}
    Kind kind_;
    ExceptionKind exception_;
    std::string message_;
};

template <typename T>
using PyResult = std::expected<T, Error>;

inline std::unexpected<Error> raised() { return std::unexpected(Error::raised()); }
inline std::unexpected<Error> failure(ExceptionKind kind, std::string message) {
    return std::unexpected(Error::failure(kind, std::move(message)));
}
inline std::unexpected<Error> panic(std::string message) {
    return std::unexpected(Error::panic(std::move(message)));
}

namespace detail {
// Sets the Python exception for `error` (or terminates the process when even
// that fails). Never throws.
void raise(const Error& error) noexcept;
// As raise(), then hands the exception to PyErr_WriteUnraisable.
void report_unraisable(const Error& error, PyObject* context) noexcept;

template <typename T>
struct EntryReturn {
    using type = T;
    static constexpr T error_value() { return T(-1); }
};
template <>
struct EntryReturn<Ref> {
    using type = PyObject*;
    static constexpr PyObject* error_value() { return nullptr; }
};
}  // namespace detail

// Runs `body` (returning PyResult<Ref>, PyResult<Py_ssize_t> or PyResult<int>)
// and turns its outcome into what the interpreter expects: the result, or the
// slot's error value with the exception set. No C++ exception gets past it.
template <typename Body>
auto guarded_entry(Body&& body) noexcept {
    using Value = typename std::invoke_result_t<Body>::value_type;
    using Traits = detail::EntryReturn<Value>;
    try {
        auto result = body();
        if (result) {
            if constexpr (std::is_same_v<Value, Ref>) {
                return result->release();
            } else {
                return *result;
            }
        }
        detail::raise(result.error());
    } catch (const std::exception& e) {
        detail::raise(Error::panic(e.what()));
    } catch (...) {
        detail::raise(Error::panic("unexpected C++ exception"));
    }
    return Traits::error_value();
}

// For deallocators: errors go to PyErr_WriteUnraisable, never raised.
template <typename Body>
void guarded_dealloc(PyObject* self, Body&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        detail::report_unraisable(Error::panic(e.what()), self);
    } catch (...) {
        detail::report_unraisable(Error::panic("unexpected C++ exception"), self);
    }
}

// ---- Argument binding ----

struct KeywordOnly {
    std::string_view name;
    bool required;
};

struct ArgumentSpec {
    std::string_view function_name;
    std::string_view class_name;  // empty for module functions
    std::span<const std::string_view> positional;
    size_t required;
    std::span<const KeywordOnly> keyword_only;
};

constexpr size_t kMaxParameters = 5;

// One borrowed object (or null) per parameter: positional ones first, then the
// keyword-only ones.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

// Fast-call form.
PyResult<BoundArguments> bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames);
// Tuple-and-dictionary form (the constructor slot).
PyResult<BoundArguments> bind_arguments(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs);

// ---- Argument conversions ----

PyResult<std::string> extract_path(PyObject* object);
PyResult<std::vector<std::string>> extract_path_list(PyObject* object);
PyResult<std::uint64_t> extract_u64(PyObject* object);
PyResult<bool> extract_bool(PyObject* object);

// Adds "while processing '<parameter>'" to the pending exception, where the
// interpreter has exception notes (3.11+).
void add_argument_note(std::string_view parameter);

// Converts one argument; a failure carries the argument note.
template <typename Convert>
auto convert_argument(PyObject* object, std::string_view parameter, Convert&& convert)
    -> decltype(convert(object)) {
    auto result = convert(object);
    if (!result && result.error().kind() == Error::Kind::Raised) add_argument_note(parameter);
    return result;
}

// Raises the TypeError "'<type>' object is not an instance of '<expected>'".
std::unexpected<Error> type_mismatch(PyObject* value, std::string_view expected);

// ---- Result conversions (each a new reference) ----

PyResult<Ref> to_str(std::string_view utf8);
// The lossy text of a native path.
PyResult<Ref> path_to_str(std::string_view bytes);
PyResult<Ref> to_int(std::uint64_t value);
Ref to_bool(bool value);
// A new list holding new references to the given objects.
PyResult<Ref> to_list(std::span<const Ref> items);
PyResult<Ref> to_list(std::span<PyObject* const> borrowed);
PyResult<Ref> to_tuple(std::span<const Ref> items);

// Attribute names used on every call, interned once per process (borrowed).
enum class Name { All, Name, Module, Qualname, AddNote, Bool };
PyResult<PyObject*> interned(enum Name name);

}  // namespace orvalnest::py
