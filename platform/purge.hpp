// Emptying from the trash exactly what this tool put there: the items whose
// audit records and trash info files agree on where they came from and when
// they went, and nothing else the trash holds.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/audit.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/move_failure.hpp"
#include "orvalnest/tree_beneath.hpp"
#include "trash.hpp"

namespace orvalnest::platform {

// One item the audit log says was trashed.
struct PurgeCandidate {
    std::string original;                   // the path it was moved from (native bytes)
    std::optional<std::string> trash_dir;   // where it went, when the record says so
    std::optional<std::string> trash_name;  // its name in files/ there
    std::uint64_t recorded_at = 0;          // the record's unix_time
};

// The "trashed" records of `records` whose path (the raw form where the text
// lost bytes) lies strictly below `scan_root`, in log order.
std::vector<PurgeCandidate> purge_candidates(std::span<const ReadRecord> records, std::string_view scan_root);

enum class PurgeKind { Purged, WouldPurge, Failed, NotAttempted };

struct PurgeOutcome {
    PurgeKind kind = PurgeKind::NotAttempted;
    std::string original;
    std::string trash_dir;
    std::string name;  // in files/
    std::time_t deleted_at = 0;
    TreeSize size;  // what was (or would be) removed
    std::optional<MoveFailure> failure;
    bool recorded = false;
    int record_error = 0;  // when it was not recorded: the errno of the failed write (0: none)
};

// Called for each outcome in turn to write its audit line; an error when that
// failed: nothing more is removed after it.
using PurgeRecorder = FunctionRef<OsResult<void>(const PurgeOutcome&)>;

// Finds each candidate in the trash (the folder its record names, else the
// home trash and the trash folders of the filesystem it came from) by an info
// file whose Path= is its original path and whose DeletionDate is the moment
// it was recorded, and removes the item and then its info file (a dry run only
// measures it). A candidate that is not found, or found more than once, is
// left alone. Trash folders are opened under the same rules as for moving
// items there, and nothing is followed or removed on another filesystem.
std::vector<PurgeOutcome> purge_trash(std::span<const PurgeCandidate> candidates, TrashSession& session,
                                      bool dry_run, PurgeRecorder record);

}  // namespace orvalnest::platform
