#include "orvalnest/trash_request.hpp"

#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

struct Handled {
    AuditOutcome outcome;
    std::optional<std::string> resolved;  // native bytes
    std::optional<std::string> detail;
};

Handled handle_path(const PathPolicy& policy, std::string_view path, bool dry_run, const MoveFunction& move) {
    // The exact bytes are validated and moved: validating the lossy text
    // could refuse a name that `check` accepts, or worse, act on a sibling
    // whose name is that text.
    auto resolved = policy.validate(path);
    if (!resolved) return {AuditOutcome::Failed, std::nullopt, "refused: " + resolved.error().message()};
    if (dry_run) return {AuditOutcome::WouldTrash, std::move(*resolved), std::nullopt};
    if (auto moved = move(*resolved); !moved) {
        return {AuditOutcome::Failed, std::move(*resolved), std::move(moved.error())};
    }
    return {AuditOutcome::Trashed, std::move(*resolved), std::nullopt};
}

}  // namespace

std::expected<TrashOutcome, Failure> run_trash_request(const PathPolicy& policy, AuditLog& log,
                                                       std::span<const std::string> paths, bool dry_run,
                                                       const MoveFunction& move) {
    if (paths.size() > kMaxPathsPerRequest) {
        return std::unexpected(Failure{
            ExceptionKind::ValueError,
            "refusing to trash more than " + std::to_string(kMaxPathsPerRequest) + " items in one request"});
    }
    const std::string scan_root = lossy_utf8(policy.scan_root());
    TrashOutcome outcome;
    for (size_t i = 0; i < paths.size(); ++i) {
        Handled handled = handle_path(policy, paths[i], dry_run, move);
        AuditRecord record{
            .unix_time = unix_time_now(),
            .user = log.user(),
            .scan_root = scan_root,
            .requested = lossy_utf8(paths[i]),
            .resolved = handled.resolved ? std::optional(lossy_utf8(*handled.resolved)) : std::nullopt,
            .outcome = handled.outcome,
            .detail = std::move(handled.detail),
        };
        auto appended = log.append(record);

        // The path was already handled (and maybe moved): report what happened
        // to it even when its record could not be written.
        if (handled.outcome == AuditOutcome::Failed) {
            outcome.failed.emplace_back(std::move(record.requested), std::move(*record.detail));
        } else {
            outcome.trashed.push_back(std::move(record.requested));
        }
        if (!appended) {
            // Nothing more is touched once the log can no longer record it.
            const std::string reason = "not attempted: audit log write failed: " + appended.error().text();
            for (size_t j = i + 1; j < paths.size(); ++j)
                outcome.failed.emplace_back(lossy_utf8(paths[j]), reason);
            break;
        }
    }
    return outcome;
}

}  // namespace orvalnest
