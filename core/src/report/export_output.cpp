#include "orvalnest/export_output.hpp"

#include <unistd.h>

#include <cerrno>

namespace orvalnest {

OsResult<void> ExportOutput::flush() {
    std::string_view rest = buffer_;
    // A write blocked on a pipe nobody reads ends with EINTR when a signal
    // comes: that is when Ctrl+C must be able to stop it.
    for (bool ask = true; !rest.empty();) {
        if (ask && cancelled_()) return std::unexpected(OsError::from_errno(ECANCELED));
        const ssize_t written = ::write(fd_, rest.data(), rest.size());
        ask = written < 0 && errno == EINTR;
        if (ask) continue;
        if (written < 0) return std::unexpected(OsError::last());
        if (written == 0) return std::unexpected(OsError::custom("failed to write whole buffer"));
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
    buffer_.clear();
    return {};
}

}  // namespace orvalnest
