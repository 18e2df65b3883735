#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "orvalnest/audit.hpp"
#include "orvalnest/eintr.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/write_all.hpp"

namespace orvalnest {

namespace {

// The first of USERNAME and USER that is set and valid UTF-8; set but empty
// still counts, so the record says what the environment said.
std::string user_name() {
    for (const char* variable : {"USERNAME", "USER"}) {
        const char* value = std::getenv(variable);
        if (value && is_valid_utf8(value)) return value;
    }
    return "unknown";
}

std::unexpected<AuditOpenError> problem(AuditLogProblem kind, std::string path, uid_t owner = 0) {
    return std::unexpected(AuditOpenError{kind, OsError::from_errno(0), std::move(path), owner});
}

std::unexpected<AuditOpenError> os_problem(const OsError& error) {
    return std::unexpected(AuditOpenError{AuditLogProblem::Os, error, {}, 0});
}

// The audit folder, reached and owned as open() promises; created when
// `create` (mkdir -p, mode 0700).
std::expected<UniqueFd, AuditOpenError> open_folder(std::string_view audit_dir, bool create) {
    auto folder = open_trusted_folder(
        audit_dir, {::geteuid(), create ? std::numeric_limits<std::size_t>::max() : std::size_t{0}});
    if (folder) return std::move(*folder);
    const TrustError& error = folder.error();
    switch (error.problem) {
        case TrustProblem::ForeignLink:
            return problem(AuditLogProblem::ForeignLink, error.path, error.owner);
        case TrustProblem::ForeignFolder:
            return problem(AuditLogProblem::ForeignFolder, error.path, error.owner);
        case TrustProblem::Os:
            break;
    }
    return os_problem(error.error);
}

// Opens the log in `folder` without ever blocking or following a link, and
// checks that it is the user's own regular file with no other name. Read
// access too where the file allows it, to look at its last byte.
std::expected<UniqueFd, AuditOpenError> open_log_file(int folder, const std::string& path, bool create) {
    const std::string name(kAuditLogFileName);
    // O_NONBLOCK: a FIFO put in place of the log must not hold the request
    // (and the interpreter lock) until someone reads it; regular files ignore it.
    const int flags = O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | (create ? O_CREAT : 0);
    const int fd = retry_on_eintr([&] {
        const int rw = ::openat(folder, name.c_str(), O_RDWR | flags, 0600);
        return rw < 0 && errno == EACCES ? ::openat(folder, name.c_str(), O_WRONLY | flags, 0600) : rw;
    });
    if (fd < 0) {
        if (errno == ELOOP) return problem(AuditLogProblem::LogIsLink, path);
        if (errno == ENXIO) return problem(AuditLogProblem::NotRegular, path);
        return os_problem(OsError::last());
    }
    UniqueFd owned(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return os_problem(OsError::last());
    if (!S_ISREG(st.st_mode)) return problem(AuditLogProblem::NotRegular, path);
    if (st.st_uid != ::geteuid()) return problem(AuditLogProblem::ForeignLog, path, st.st_uid);
    // Another name for the same file is a way to point the log at a file
    // someone else picked (/etc/ld.so.preload, linked into a shared folder).
    if (st.st_nlink > 1) return problem(AuditLogProblem::HardLinked, path);
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

std::string AuditOpenError::text() const {
    const std::string shown = lossy_utf8(path);
    switch (problem) {
        case AuditLogProblem::Os:
            return error.text();
        case AuditLogProblem::ForeignLink:
            return TrustError{TrustProblem::ForeignLink, error, path, owner}.text();
        case AuditLogProblem::ForeignFolder:
        case AuditLogProblem::ForeignLog:
            return TrustError{TrustProblem::ForeignFolder, error, path, owner}.text();
        case AuditLogProblem::LogIsLink:
            return shown + " is a symbolic link; the audit log is never written through one";
        case AuditLogProblem::NotRegular:
            return "deletions.jsonl is not a regular file";
        case AuditLogProblem::HardLinked:
            return shown + " has other hard links; the audit log must be a file of its own";
    }
    return error.text();
}

std::expected<AuditLog, AuditOpenError> AuditLog::open(std::string_view audit_dir) {
    std::string path = paths::join(audit_dir, kAuditLogFileName);
    auto folder = open_folder(audit_dir, true);
    if (!folder) return std::unexpected(folder.error());
    auto fd = open_log_file(folder->get(), path, true);
    if (!fd) return std::unexpected(fd.error());
    return AuditLog(std::move(path), user_name(), std::move(*fd));
}

std::expected<std::vector<ReadRecord>, AuditOpenError> AuditLog::read_all(std::string_view audit_dir) {
    std::vector<ReadRecord> out;
    auto folder = open_folder(audit_dir, false);
    if (!folder) {
        if (folder.error().problem == AuditLogProblem::Os && folder.error().error.code() == ENOENT)
            return out;
        return std::unexpected(folder.error());
    }
    auto fd = open_log_file(folder->get(), paths::join(audit_dir, kAuditLogFileName), false);
    if (!fd) {
        if (fd.error().problem == AuditLogProblem::Os && fd.error().error.code() == ENOENT) return out;
        return std::unexpected(fd.error());
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = retry_on_eintr([&] { return ::read(fd->get(), buffer, sizeof buffer); });
        if (n < 0) return os_problem(OsError::last());
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find('\n', start), text.size());
        if (auto record = parse_line(std::string_view(text).substr(start, end - start)))
            out.push_back(*record);
        start = end + 1;
    }
    return out;
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
