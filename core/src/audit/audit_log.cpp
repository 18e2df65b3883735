#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "orvalnest/audit.hpp"
#include "orvalnest/eintr.hpp"
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

// The log must be an ordinary file: a FIFO would block the request (with the
// interpreter lock held) until someone reads it, and a link to /dev/null would
// swallow every record while each path is moved.
OsError not_a_regular_file() { return OsError::custom("deletions.jsonl is not a regular file"); }

// Opens the log without ever blocking. Read access too where the file allows
// it, to look at its last byte.
OsResult<UniqueFd> open_log_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return std::unexpected(not_a_regular_file());
    // O_NONBLOCK only matters if a FIFO appears between the stat and the
    // open; regular files ignore it.
    constexpr int kFlags = O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK;
    const int fd = retry_on_eintr([&] {
        const int rw = ::open(path.c_str(), O_RDWR | kFlags, 0600);
        return rw < 0 && errno == EACCES ? ::open(path.c_str(), O_WRONLY | kFlags, 0600) : rw;
    });
    if (fd < 0) return std::unexpected(errno == ENXIO ? not_a_regular_file() : OsError::last());
    UniqueFd owned(fd);
    if (::fstat(fd, &st) != 0) return std::unexpected(OsError::last());
    if (!S_ISREG(st.st_mode)) return std::unexpected(not_a_regular_file());
    return owned;
}

// A write cut short (a full disk) leaves the last line without its line
// feed; the next record must not be glued to it.
bool ends_mid_line(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size == 0) return false;
    char last = '\n';
    return ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

// Held around every write, so a handle that looks at the last byte never takes
// another handle's line, half written, for one cut short. Where the
// filesystem has no locks the writes go ahead as before.
class WriteLock {
public:
    explicit WriteLock(int fd) : fd_(fd) {
        locked_ = retry_on_eintr([&] { return ::flock(fd_, LOCK_EX); }) == 0;
    }
    ~WriteLock() {
        if (locked_) ::flock(fd_, LOCK_UN);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    int fd_;
    bool locked_ = false;
};

}  // namespace

OsResult<AuditLog> AuditLog::open(std::string_view audit_dir) {
    if (auto made = create_directories(audit_dir); !made) return std::unexpected(made.error());
    std::string path = paths::join(audit_dir, kAuditLogFileName);
    auto c = paths::c_path(path);
    if (!c) return std::unexpected(c.error());
    auto fd = open_log_file(*c);
    if (!fd) return std::unexpected(fd.error());
    return AuditLog(std::move(path), user_name(), std::move(*fd));
}

OsResult<void> AuditLog::append(const AuditRecord& record) {
    // One write call for the whole line where the kernel allows it, so lines
    // from other handles on the same append-mode file never split it.
    const WriteLock lock(fd_.get());
    std::string line = serialize_line(record);
    // Looked at once per request, under the lock, just before the first line.
    if (!checked_last_line_ && ends_mid_line(fd_.get())) line.insert(line.begin(), '\n');
    auto written = write_all(fd_.get(), line);
    if (written) checked_last_line_ = true;
    return written;
}

}  // namespace orvalnest
