#include "orvalnest/paths.hpp"
#include "purge.hpp"

namespace orvalnest::platform {

namespace {

// A path field read back as bytes: the raw form when the record has one (the
// text lost bytes), else the text itself.
std::optional<std::string> path_field(const ReadRecord& record, std::string_view name) {
    if (const auto* raw = record.field(std::string(name) + "_raw"); raw && *raw) {
        if (auto bytes = from_raw_form(**raw)) return bytes;
        return std::nullopt;
    }
    if (const auto* text = record.field(name); text && *text) return **text;
    return std::nullopt;
}

}  // namespace

std::vector<PurgeCandidate> purge_candidates(std::span<const ReadRecord> records,
                                             std::string_view scan_root) {
    std::vector<PurgeCandidate> out;
    const std::string root = paths::normal_form(scan_root);
    for (const auto& record : records) {
        const auto* outcome = record.field("outcome");
        if (!outcome || !*outcome || outcome_from_text(**outcome) != AuditOutcome::Trashed) continue;
        auto original = path_field(record, "resolved");
        if (!original || !paths::is_absolute(*original)) continue;
        const std::string form = paths::normal_form(*original);
        if (form == root || !paths::within(form, root)) continue;
        out.push_back({std::move(*original), path_field(record, "trash_dir"),
                       path_field(record, "trash_name"), record.unix_time});
    }
    return out;
}

}  // namespace orvalnest::platform
