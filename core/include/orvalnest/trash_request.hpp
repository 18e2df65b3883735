// The per-path loop of a trash request, free of Python so that it can run
// with the interpreter lock released: validate, move (unless a dry run),
// record, in that order for every path, so no path is moved without the log
// being open and every record states what really happened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvalnest/audit.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/function_ref.hpp"
#include "orvalnest/move_failure.hpp"
#include "orvalnest/policy.hpp"
#include "orvalnest/tree_beneath.hpp"

namespace orvalnest {

inline constexpr std::size_t kMaxPathsPerRequest = 10000;

// Where a moved item went: the trash folder and its name in files/ there.
struct MovedItem {
    std::string trash_dir;  // native bytes
    std::string name;
};

// The OS trash as a request sees it.
class TrashBackend {
public:
    virtual ~TrashBackend() = default;
    // Moves the judged entry. `after` is asked with the real path of a moved
    // folder; a refusal makes the backend put it back and fail.
    using AfterMove = FunctionRef<std::optional<MoveFailure>(std::string_view moved_path)>;
    virtual std::expected<MovedItem, MoveFailure> move(const Candidate& candidate, AfterMove after) = 0;
    // What the move would meet, changing nothing.
    virtual std::optional<MoveFailure> probe(const Candidate& candidate) = 0;
};

enum class OutcomeKind { Trashed, WouldTrash, WouldFail, Refused, Failed, NotAttempted };

// What happened to one requested path.
struct PathOutcome {
    OutcomeKind kind = OutcomeKind::NotAttempted;
    std::optional<std::string> resolved;   // native bytes, once the policy accepted the path
    std::optional<PolicyRefusal> refusal;  // Refused
    std::optional<MoveFailure> failure;    // Failed, WouldFail, NotAttempted (the failed audit write)
    std::string message;                   // the plain report's reason; empty for a success
    bool recorded = false;                 // whether its audit line was written
    int record_error = 0;                  // when it was not: the errno of the failed write (0: none)
    std::optional<EntryFacts> facts;       // of the entry as judged
    std::optional<MovedItem> moved;        // Trashed
    std::optional<TreeSize> tree_size;     // measured: the entry and all below it, before any move
};

struct RequestOptions {
    bool dry_run = false;
    // The extended request: a dry run also asks what the move would meet
    // ("would-fail"), and records carry raw names and the trash place after
    // the documented fields.
    bool extended = false;
    // Measure each accepted entry with everything below it (a folder's
    // whole size, which the trash will hold), before it moves.
    bool measure = false;
    // Per path, the identity the caller saw (when it is not empty): an entry
    // that is not that one any more is refused.
    std::span<const std::optional<FileIdentity>> expected;
};

// Runs one request over `paths` (native bytes as the caller passed them),
// one outcome per path in request order. Each path is validated and moved by
// its exact bytes; records carry its lossy text (and, in the extended
// request, its raw form when that text is lossy). More than
// kMaxPathsPerRequest paths fail the whole request (ValueError) before any
// path is looked at. If an append to `log` fails, the path at hand keeps its
// outcome and every later path is not attempted: not validated, moved or
// recorded.
std::expected<std::vector<PathOutcome>, Failure> run_trash_request(const PathPolicy& policy, AuditLog& log,
                                                                   std::span<const std::string> paths,
                                                                   const RequestOptions& options,
                                                                   TrashBackend& backend);

// The plain report's two lists: the lossy text of each path that was trashed
// (or would be) and (lossy text, reason) of each other one, in request order.
struct SplitOutcomes {
    std::vector<std::string> trashed;
    std::vector<std::pair<std::string, std::string>> failed;
};
SplitOutcomes split_outcomes(std::span<const std::string> paths, std::span<const PathOutcome> outcomes);

}  // namespace orvalnest
