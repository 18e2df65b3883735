#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "orvalnest/audit.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/write_all.hpp"

namespace orvalnest {

namespace {

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p: try the directory itself first and climb only when a parent is
// missing, so the common case (the directory exists) costs one call. Losing
// a race with another request creating the same directory is not an error.
OsResult<void> create_directories(std::string_view dir) {
    auto c = paths::c_path(dir);
    if (!c) return std::unexpected(c.error());
    if (::mkdir(c->c_str(), 0777) == 0) return {};
    if (errno == ENOENT) {
        const auto parent = paths::parent(dir);
        if (!parent || parent->empty()) return std::unexpected(OsError::from_errno(ENOENT));
        if (auto made = create_directories(*parent); !made) return made;
        if (::mkdir(c->c_str(), 0777) == 0) return {};
    }
    const OsError error = OsError::last();
    if (is_directory(*c)) return {};
    return std::unexpected(error);
}

// The first of USERNAME and USER that is set and valid UTF-8; set but empty
// still counts, so the record says what the environment said.
std::string user_name() {
    for (const char* variable : {"USERNAME", "USER"}) {
        const char* value = std::getenv(variable);
        if (value && is_valid_utf8(value)) return value;
    }
    return "unknown";
}

}  // namespace

OsResult<AuditLog> AuditLog::open(std::string_view audit_dir) {
    if (auto made = create_directories(audit_dir); !made) return std::unexpected(made.error());
    std::string path = paths::join(audit_dir, kAuditLogFileName);
    auto c = paths::c_path(path);
    if (!c) return std::unexpected(c.error());
    int fd;
    do {
        fd = ::open(c->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(OsError::last());
    return AuditLog(std::move(path), user_name(), UniqueFd(fd));
}

OsResult<void> AuditLog::append(const AuditRecord& record) {
    // One write call for the whole line where the kernel allows it, so lines
    // from other handles on the same append-mode file never split it.
    return write_all(fd_.get(), serialize_line(record));
}

}  // namespace orvalnest
