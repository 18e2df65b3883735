// The per-path loop of a trash request, free of Python so that it can run
// with the interpreter lock released: validate, move (unless a dry run),
// record, in that order for every path, so no path is moved without the log
// being open and every record states what really happened.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "orvalnest/audit.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/policy.hpp"

namespace orvalnest {

inline constexpr std::size_t kMaxPathsPerRequest = 10000;

// Moves one resolved path (native bytes) to the trash; the error is the text
// that goes into the record and the report.
using MoveFunction = std::function<std::expected<void, std::string>(std::string_view resolved)>;

struct TrashOutcome {
    // Lossy text of each path that was trashed (or would be, in a dry run),
    // as the caller wrote it, in request order.
    std::vector<std::string> trashed;
    // (lossy text of the requested path, reason) for each path that failed,
    // was refused or was not attempted, in request order.
    std::vector<std::pair<std::string, std::string>> failed;
};

// Runs one request over `paths` (native bytes as the caller passed them).
// Each path is validated and moved by its exact bytes; records and the
// outcome carry its lossy text. More than kMaxPathsPerRequest paths fail the
// whole request (ValueError) before any path is looked at. If an append to
// `log` fails, the path at hand keeps its outcome and every later path is
// reported as not attempted, without being validated, moved or recorded.
std::expected<TrashOutcome, Failure> run_trash_request(const PathPolicy& policy, AuditLog& log,
                                                       std::span<const std::string> paths, bool dry_run,
                                                       const MoveFunction& move);

}  // namespace orvalnest
