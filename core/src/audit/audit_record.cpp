#include <chrono>

#include "orvalnest/audit.hpp"
#include "orvalnest/hex.hpp"
#include "orvalnest/json_text.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

void append_optional(std::string& out, const std::optional<std::string>& text) {
    if (text) {
        append_json_string(out, *text);
    } else {
        out += "null";
    }
}

}  // namespace

constexpr std::pair<AuditOutcome, std::string_view> kOutcomeTexts[] = {
    {AuditOutcome::Trashed, "trashed"}, {AuditOutcome::WouldTrash, "would-trash"},
    {AuditOutcome::Failed, "failed"},   {AuditOutcome::WouldFail, "would-fail"},
    {AuditOutcome::Purged, "purged"},   {AuditOutcome::WouldPurge, "would-purge"},
};

std::string_view outcome_text(AuditOutcome outcome) {
    for (const auto& [value, text] : kOutcomeTexts) {
        if (value == outcome) return text;
    }
    return "failed";
}

std::optional<AuditOutcome> outcome_from_text(std::string_view text) {
    for (const auto& [value, known] : kOutcomeTexts) {
        if (known == text) return value;
    }
    return std::nullopt;
}

std::uint64_t unix_time_now() {
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

std::string serialize_line(const AuditRecord& record) {
    std::string out;
    out.reserve(128 + record.user.size() + record.scan_root.size() + 2 * record.requested.size());
    out += "{\"unix_time\":";
    out += std::to_string(record.unix_time);
    out += ",\"user\":";
    append_json_string(out, record.user);
    out += ",\"scan_root\":";
    append_json_string(out, record.scan_root);
    out += ",\"requested\":";
    append_json_string(out, record.requested);
    out += ",\"resolved\":";
    append_optional(out, record.resolved);
    out += ",\"outcome\":";
    append_json_string(out, outcome_text(record.outcome));
    out += ",\"detail\":";
    append_optional(out, record.detail);
    for (const auto& [key, value] : record.extra) {
        out.push_back(',');
        append_json_string(out, key);
        out.push_back(':');
        append_json_string(out, value);
    }
    out += "}\n";
    return out;
}

std::string raw_form(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '%') {
            out.push_back(c);
        } else {
            append_hex_byte(out, "%", byte, HexCase::Upper);
        }
    }
    return out;
}

void add_raw_field(AuditRecord& record, std::string_view key, std::string_view bytes) {
    if (!is_valid_utf8(bytes)) record.extra.emplace_back(std::string(key) + "_raw", raw_form(bytes));
}

void add_path_field(AuditRecord& record, std::string_view key, std::string_view bytes) {
    record.extra.emplace_back(std::string(key), lossy_utf8(bytes));
    add_raw_field(record, key, bytes);
}

std::optional<std::string> from_raw_form(std::string_view text) { return percent_decode(text); }

}  // namespace orvalnest
