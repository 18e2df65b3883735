#include "orvalnest/trash_request.hpp"

#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

constexpr std::string_view kRefusedPrefix = "refused: ";

// The entry as the caller saw it is the one to move, or none: a name that
// now leads to another file (replaced since it was shown) is refused.
std::optional<PolicyRefusal> refuse_other_entry(const Candidate& candidate,
                                                const std::optional<FileIdentity>& expected) {
    if (!expected || candidate.facts.identity == *expected) return std::nullopt;
    return PolicyRefusal::because(RefusalKind::Changed, "another file now has its name");
}

PathOutcome handle_path(const PathPolicy& policy, PolicyScope& scope, std::string_view path,
                        const RequestOptions& options, const std::optional<FileIdentity>& expected,
                        TrashBackend& backend) {
    PathOutcome out;
    // The exact bytes are validated and moved: validating the lossy text
    // could refuse a name that `check` accepts, or worse, act on a sibling
    // whose name is that text.
    auto candidate = policy.judge(path, scope);
    std::optional<PolicyRefusal> refusal;
    if (!candidate) {
        refusal = candidate.error();
    } else {
        refusal = refuse_other_entry(*candidate, expected);
    }
    if (refusal) {
        out.kind = OutcomeKind::Refused;
        out.message = std::string(kRefusedPrefix) + refusal->message();
        out.refusal = std::move(refusal);
        return out;
    }
    out.resolved = candidate->resolved;
    out.facts = candidate->facts;
    if (options.measure) {
        if (auto size = measure_beneath(candidate->parent.get(), candidate->name)) out.tree_size = *size;
    }
    if (options.dry_run) {
        out.kind = OutcomeKind::WouldTrash;
        if (options.extended) {
            if (auto failure = backend.probe(*candidate)) {
                out.kind = OutcomeKind::WouldFail;
                out.message = failure->text;
                out.failure = std::move(failure);
            }
        }
        return out;
    }
    // Mounts move along with the folders above them: once a folder is in the
    // trash, nothing may be mounted below it, whatever was there when it was judged.
    const auto after = [&](std::string_view moved) -> std::optional<MoveFailure> {
        auto refusal = policy.refuse_mounts_below(moved, candidate->facts.mount_id, scope);
        if (!refusal) return std::nullopt;
        return MoveFailure{FailureCause::ContainsMountPoint, 0,
                           lossy_utf8(candidate->resolved) + " " + refusal->message()};
    };
    auto moved = backend.move(*candidate, after);
    if (!moved) {
        out.kind = OutcomeKind::Failed;
        out.message = moved.error().text;
        out.failure = std::move(moved.error());
        return out;
    }
    out.kind = OutcomeKind::Trashed;
    out.moved = std::move(*moved);
    return out;
}

AuditOutcome audit_outcome(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Trashed:
            return AuditOutcome::Trashed;
        case OutcomeKind::WouldTrash:
            return AuditOutcome::WouldTrash;
        case OutcomeKind::WouldFail:
            return AuditOutcome::WouldFail;
        default:
            return AuditOutcome::Failed;
    }
}

AuditRecord record_of(const PathOutcome& outcome, std::string_view path, const std::string& user,
                      const std::string& scan_root, bool extended) {
    AuditRecord record{
        .unix_time = unix_time_now(),
        .user = user,
        .scan_root = scan_root,
        .requested = lossy_utf8(path),
        .resolved = outcome.resolved ? std::optional(lossy_utf8(*outcome.resolved)) : std::nullopt,
        .outcome = audit_outcome(outcome.kind),
        .detail = outcome.message.empty() ? std::nullopt : std::optional(outcome.message),
        .extra = {},
    };
    if (!extended) return record;
    // A name that is not UTF-8 can then still be found again from the log alone.
    add_raw_field(record, "requested", path);
    if (outcome.resolved) add_raw_field(record, "resolved", *outcome.resolved);
    if (outcome.moved) {
        add_path_field(record, "trash_dir", outcome.moved->trash_dir);
        add_path_field(record, "trash_name", outcome.moved->name);
    }
    return record;
}

}  // namespace

std::expected<std::vector<PathOutcome>, Failure> run_trash_request(const PathPolicy& policy, AuditLog& log,
                                                                   std::span<const std::string> paths,
                                                                   const RequestOptions& options,
                                                                   TrashBackend& backend) {
    if (paths.size() > kMaxPathsPerRequest) {
        return std::unexpected(Failure{
            ExceptionKind::ValueError,
            "refusing to trash more than " + std::to_string(kMaxPathsPerRequest) + " items in one request"});
    }
    const std::string scan_root = lossy_utf8(policy.scan_root());
    std::vector<PathOutcome> outcomes;
    outcomes.reserve(paths.size());
    // Read once for the whole request (the scan root as it is now, the mount
    // table), not once per path.
    PolicyScope scope = policy.begin();
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::optional<FileIdentity> none;
        const auto& expected = i < options.expected.size() ? options.expected[i] : none;
        PathOutcome outcome = handle_path(policy, scope, paths[i], options, expected, backend);
        auto appended = log.append(record_of(outcome, paths[i], log.user(), scan_root, options.extended));
        outcome.recorded = appended.has_value();
        if (!appended) outcome.record_error = appended.error().code();
        outcomes.push_back(std::move(outcome));
        if (!appended) {
            // Nothing more is touched once the log can no longer record it; the
            // path at hand was already handled (and maybe moved) and keeps its outcome.
            const MoveFailure stop{FailureCause::AuditLogWrite, appended.error().code(),
                                   "not attempted: audit log write failed: " + appended.error().text()};
            for (size_t j = i + 1; j < paths.size(); ++j) {
                PathOutcome skipped;
                skipped.kind = OutcomeKind::NotAttempted;
                skipped.message = stop.text;
                skipped.failure = stop;
                outcomes.push_back(std::move(skipped));
            }
            break;
        }
    }
    return outcomes;
}

SplitOutcomes split_outcomes(std::span<const std::string> paths, std::span<const PathOutcome> outcomes) {
    SplitOutcomes out;
    for (size_t i = 0; i < outcomes.size() && i < paths.size(); ++i) {
        const PathOutcome& outcome = outcomes[i];
        if (outcome.kind == OutcomeKind::Trashed || outcome.kind == OutcomeKind::WouldTrash) {
            out.trashed.push_back(lossy_utf8(paths[i]));
        } else {
            out.failed.emplace_back(lossy_utf8(paths[i]), outcome.message);
        }
    }
    return out;
}

}  // namespace orvalnest
