#include <chrono>

#include "orvalnest/audit.hpp"
#include "orvalnest/hex.hpp"

namespace orvalnest {

namespace {

// Escapes byte by byte: the texts are already valid UTF-8, so everything from
// 0x20 up, non-ASCII included, is copied as it is.
void append_json_string(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (byte < 0x20) {
                    append_hex_byte(out, "\\u00", byte, HexCase::Lower);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

void append_optional(std::string& out, const std::optional<std::string>& text) {
    if (text) {
        append_json_string(out, *text);
    } else {
        out += "null";
    }
}

}  // namespace

std::string_view outcome_text(AuditOutcome outcome) {
    switch (outcome) {
        case AuditOutcome::Trashed:
            return "trashed";
        case AuditOutcome::WouldTrash:
            return "would-trash";
        case AuditOutcome::Failed:
            return "failed";
    }
    return "failed";
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
    out += "}\n";
    return out;
}

}  // namespace orvalnest
