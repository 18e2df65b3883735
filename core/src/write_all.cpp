#include "orvalnest/write_all.hpp"
#include "orvalnest/eintr.hpp"

#include <unistd.h>

#include <cerrno>

#include "orvalnest/eintr.hpp"

namespace orvalnest {

OsResult<void> write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = retry_on_eintr([&] { return ::write(fd, data.data(), data.size()); });
        if (written < 0) return std::unexpected(OsError::last());
        if (written == 0) return std::unexpected(OsError::custom("failed to write whole buffer"));
        data.remove_prefix(static_cast<size_t>(written));
    }
    return {};
}

}  // namespace orvalnest
