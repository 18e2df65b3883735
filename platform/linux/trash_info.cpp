#include "trash_info.hpp"

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

}  // namespace orvalnest::platform::linux_trash
