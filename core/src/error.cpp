#include "orvalnest/error.hpp"

#include <cerrno>
#include <cstring>

namespace orvalnest {

OsError OsError::last() { return from_errno(errno); }

std::string describe_errno(int code) {
#if defined(__GLIBC__)
    // strerrordesc_np ignores the locale, so messages stay the same whatever
    // LC_MESSAGES the host application set.
    if (const char* text = strerrordesc_np(code)) return text;
    return "Unknown error " + std::to_string(code);
#else
    char buffer[256] = {};
    if (strerror_r(code, buffer, sizeof buffer) != 0) return "Unknown error " + std::to_string(code);
    return buffer;
#endif
}

std::string OsError::text() const {
    if (code_ == 0) return message_;
    return describe_errno(code_) + " (os error " + std::to_string(code_) + ")";
}

}  // namespace orvalnest
