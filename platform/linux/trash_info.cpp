#include "trash_info.hpp"

#include <time.h>

#include <algorithm>

#include "orvalnest/hex.hpp"

namespace orvalnest::platform::linux_trash {

namespace {

bool kept_as_is(unsigned char b) {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') || b == '-' ||
           b == '.' || b == '_' || b == '~' || b == '/';
}

}  // namespace

std::string percent_encode_path(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const unsigned char b : bytes) {
        if (kept_as_is(b)) {
            out.push_back(static_cast<char>(b));
        } else {
            append_hex_byte(out, "%", b, HexCase::Upper);
        }
    }
    return out;
}

std::string deletion_date(std::time_t when) {
    std::tm local{};
    if (::localtime_r(&when, &local) == nullptr) return "1970-01-01T00:00:00";
    char buffer[32];
    const size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &local);
    return std::string(buffer, n);
}

std::string trash_info_text(std::string_view original, std::time_t when) {
    return "[Trash Info]\nPath=" + percent_encode_path(original) + "\nDeletionDate=" + deletion_date(when) +
           "\n";
}

namespace {

// mktime() without reading TZ again (it calls tzset(), which reads the
// environment: not something to do while another thread may be changing it).
// The offset is that of the local time zone at that moment, looked up twice
// so that a time next to a daylight-saving change comes out right.
std::time_t from_local_time(std::tm local) {
    const std::time_t as_utc = ::timegm(&local);
    std::time_t guess = as_utc;
    for (int round = 0; round < 2; ++round) {
        std::tm zone{};
        if (::localtime_r(&guess, &zone) == nullptr) return as_utc;
        guess = as_utc - zone.tm_gmtoff;
    }
    return guess;
}

}  // namespace

std::optional<TrashInfo> parse_trash_info(std::string_view text) {
    TrashInfo out;
    bool header = false, has_path = false, has_date = false;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (line == "[Trash Info]") {
            header = true;
        } else if (header && line.starts_with("Path=") && !has_path) {
            auto decoded = percent_decode(line.substr(5));
            if (!decoded) return std::nullopt;
            out.path = std::move(*decoded);
            has_path = true;
        } else if (header && line.starts_with("DeletionDate=") && !has_date) {
            std::tm local{};
            const std::string date(line.substr(13));
            const char* rest = ::strptime(date.c_str(), "%Y-%m-%dT%H:%M:%S", &local);
            if (rest == nullptr || *rest != '\0') return std::nullopt;
            out.deleted_at = from_local_time(local);
            has_date = true;
        }
    }
    if (!has_path || !has_date || out.path.empty()) return std::nullopt;
    return out;
}

}  // namespace orvalnest::platform::linux_trash
