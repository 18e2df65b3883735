// Failures inside the core are values. Two shapes exist: an OS error (an errno,
// or a fixed message for failures the OS has no number for) and a failure of a
// whole call, which the Python boundary raises as the named exception class.
#pragma once

#include <expected>
#include <string>

namespace orvalnest {

class OsError {
public:
    static OsError from_errno(int code) { return OsError(code, {}); }
    // Reads errno; call right after the failing system call.
    static OsError last();
    static OsError custom(std::string message) { return OsError(0, std::move(message)); }

    // 0 when the failure has no OS error number.
    int code() const { return code_; }
    // "No such file or directory (os error 2)", or the fixed message alone.
    std::string text() const;

private:
    OsError(int code, std::string message) : code_(code), message_(std::move(message)) {}
    int code_;
    std::string message_;
};

// The C library's description of an error number, without the suffix.
std::string describe_errno(int code);

enum class ExceptionKind {
    OSError,
    FileNotFoundError,
    NotADirectoryError,
    PermissionError,
    ValueError,
    KeyboardInterrupt,
};

// A failure of a whole call: the boundary raises it as kind(message).
struct Failure {
    ExceptionKind kind;
    std::string message;
};

template <typename T>
using OsResult = std::expected<T, OsError>;

}  // namespace orvalnest
