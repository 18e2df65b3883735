// The audit log: one JSON line per path a trash request handled, appended to
// "deletions.jsonl" in the cleaner's audit directory. Each request opens its
// own AuditLog before looking at any path and closes it when it ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

inline constexpr std::string_view kAuditLogFileName = "deletions.jsonl";

enum class AuditOutcome { Trashed, WouldTrash, Failed };

// "trashed", "would-trash" or "failed".
std::string_view outcome_text(AuditOutcome outcome);

// One line of the log. Every text is valid UTF-8 (paths arrive as lossy text).
struct AuditRecord {
    std::uint64_t unix_time = 0;
    std::string user;
    std::string scan_root;
    std::string requested;
    std::optional<std::string> resolved;  // null when the policy refused the path
    AuditOutcome outcome = AuditOutcome::Failed;
    std::optional<std::string> detail;  // null on success
};

// Whole seconds since the Unix epoch; 0 for a clock set before it.
std::uint64_t unix_time_now();

// The record as compact JSON with its fields in a fixed order, followed by a
// line feed.
std::string serialize_line(const AuditRecord& record);

class AuditLog {
public:
    // Creates `audit_dir` and its missing parents (mode 0777 before the umask),
    // opens the log for appending (a new file gets 0600) and reads the user
    // name from USERNAME, then USER, else "unknown". Never blocks, and fails
    // unless the log is a regular file.
    static OsResult<AuditLog> open(std::string_view audit_dir);

    // `audit_dir` joined with "deletions.jsonl" (native bytes).
    const std::string& path() const { return path_; }
    const std::string& user() const { return user_; }

    // Writes the record's line with a single write() on the append-mode file,
    // so lines from other handles on the same file never split it. Retries
    // after EINTR and continues after a partial write. When the file ended
    // mid-line, the first record starts with the line feed it lacked.
    OsResult<void> append(const AuditRecord& record);

private:
    AuditLog(std::string path, std::string user, UniqueFd fd)
        : path_(std::move(path)), user_(std::move(user)), fd_(std::move(fd)) {}
    std::string path_;
    std::string user_;
    UniqueFd fd_;
    bool checked_last_line_ = false;  // whether the line before ours is known to be whole
};

}  // namespace orvalnest
