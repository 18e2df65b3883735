// The audit log: one JSON line per path a trash request handled, appended to
// "deletions.jsonl" in the cleaner's audit directory. Each request opens its
// own AuditLog before looking at any path and closes it when it ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvalnest/error.hpp"
#include "orvalnest/trusted_directory.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

inline constexpr std::string_view kAuditLogFileName = "deletions.jsonl";

// "trashed", "would-trash" and "failed" are all a plain request writes; the
// extended requests add "would-fail" (a dry run that found the move would
// fail) and the purge's "purged" and "would-purge".
enum class AuditOutcome { Trashed, WouldTrash, Failed, WouldFail, Purged, WouldPurge };

std::string_view outcome_text(AuditOutcome outcome);
std::optional<AuditOutcome> outcome_from_text(std::string_view text);

// One line of the log. Every text is valid UTF-8 (paths arrive as lossy text).
struct AuditRecord {
    std::uint64_t unix_time = 0;
    std::string user;
    std::string scan_root;
    std::string requested;
    std::optional<std::string> resolved;  // null when the policy refused the path
    AuditOutcome outcome = AuditOutcome::Failed;
    std::optional<std::string> detail;  // null on success
    // Fields written after the seven above, in this order (the extended
    // requests' raw names and trash places); a plain request has none.
    std::vector<std::pair<std::string, std::string>> extra;
};

// Whole seconds since the Unix epoch; 0 for a clock set before it.
std::uint64_t unix_time_now();

// The record as compact JSON with its fields in a fixed order, followed by a
// line feed.
std::string serialize_line(const AuditRecord& record);

// Bytes as text that gives them back exactly: "%" and every byte outside
// printable ASCII as "%XX" (upper-case hex), the rest as it is. The same form
// as the JSON export's name_raw.
std::string raw_form(std::string_view bytes);
// Extra fields for a path: `key`_raw with its raw form, only when its text
// (in a documented field already) lost bytes; or `key` with its text and
// then, likewise, `key`_raw.
void add_raw_field(AuditRecord& record, std::string_view key, std::string_view bytes);
void add_path_field(AuditRecord& record, std::string_view key, std::string_view bytes);

// The bytes of a raw_form() text; none when it is not one.
std::optional<std::string> from_raw_form(std::string_view text);

// One line read back: the fields by name, null ones without a value. Lines
// that are not a JSON object of strings, integers and nulls are skipped.
struct ReadRecord {
    std::vector<std::pair<std::string, std::optional<std::string>>> fields;
    std::uint64_t unix_time = 0;
    const std::optional<std::string>* field(std::string_view name) const;
};
std::optional<ReadRecord> parse_line(std::string_view line);

// Why the log could not be opened: an OS error, or a place someone else
// controls (the folder or the log belongs to another user, a link on the way
// does, the log is a link, not a regular file, or has other hard links).
enum class AuditLogProblem { Os, ForeignLink, ForeignFolder, ForeignLog, LogIsLink, NotRegular, HardLinked };

struct AuditOpenError {
    AuditLogProblem problem = AuditLogProblem::Os;
    OsError error = OsError::from_errno(0);
    std::string path;  // what is wrong (native bytes), for the places someone else controls
    uid_t owner = 0;
    // The OS error text alone, or which path is wrong and why.
    std::string text() const;
};

class AuditLog {
public:
    // Opens (creating what is missing: folders with mode 0700, the log with
    // 0600) `audit_dir`/deletions.jsonl without following a link anyone but
    // the user or root made, and only when the folder and the log belong to
    // the user: a log in someone else's reach could be pointed at any file,
    // and every request appends to it. Reads the user name from USERNAME,
    // then USER, else "unknown". Never blocks, and fails unless the log is a
    // regular file with no other hard link.
    static std::expected<AuditLog, AuditOpenError> open(std::string_view audit_dir);

    // Every record of the log at `audit_dir`, opened under the same rules
    // (nothing is created); an empty list when there is no log yet.
    static std::expected<std::vector<ReadRecord>, AuditOpenError> read_all(std::string_view audit_dir);

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
