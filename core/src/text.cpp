#include "orvalnest/text.hpp"

#include <cstdint>

#include "orvalnest/hex.hpp"

namespace orvalnest {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence starting at `i`, or the length of the
// maximal ill-formed subpart (at least 1) negated.
int sequence_length(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return -1;
    }
    for (int k = 1; k < length; ++k) {
        if (i + k >= s.size()) return -k;
        const unsigned char b = byte(i + k);
        const bool ok = k == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
        if (!ok) return -k;
    }
    return length;
}

char32_t decode_at(std::string_view s, size_t i, int length) {
    const auto byte = [&](size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[k])); };
    switch (length) {
        case 1:
            return byte(i);
        case 2:
            return ((byte(i) & 0x1F) << 6) | (byte(i + 1) & 0x3F);
        case 3:
            return ((byte(i) & 0x0F) << 12) | ((byte(i + 1) & 0x3F) << 6) | (byte(i + 2) & 0x3F);
        default:
            return ((byte(i) & 0x07) << 18) | ((byte(i + 1) & 0x3F) << 12) | ((byte(i + 2) & 0x3F) << 6) |
                   (byte(i + 3) & 0x3F);
    }
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        const int n = sequence_length(bytes, i);
        if (n > 0) {
            out.append(bytes.substr(i, static_cast<size_t>(n)));
            i += static_cast<size_t>(n);
        } else {
            out.append(kReplacement);
            i += static_cast<size_t>(-n);
        }
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const int n = sequence_length(bytes, i);
        if (n < 0) return false;
        i += static_cast<size_t>(n);
    }
    return true;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void append_unicode_escape(std::string& out, char32_t cp) {
    out += "\\u{";
    append_hex_digits(out, static_cast<std::uint32_t>(cp), HexCase::Lower);
    out.push_back('}');
}

namespace {

// Shared by quoted_form() and quoted_form_bytes(): `invalid` says how to write the bytes
// of an ill-formed subsequence.
template <typename Invalid>
std::string quote_with(std::string_view utf8, Invalid&& invalid) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out.push_back('"');
    size_t i = 0;
    while (i < utf8.size()) {
        int n = sequence_length(utf8, i);
        if (n < 0) {
            invalid(out, utf8.substr(i, static_cast<size_t>(-n)));
            i += static_cast<size_t>(-n);
            continue;
        }
        const char32_t cp = decode_at(utf8, i, n);
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (needs_unicode_escape(cp)) {
                    append_unicode_escape(out, cp);
                } else {
                    out.append(utf8.substr(i, static_cast<size_t>(n)));
                }
        }
        i += static_cast<size_t>(n);
    }
    out.push_back('"');
    return out;
}

}  // namespace

std::string quoted_form(std::string_view utf8) {
    // Lossy text never holds invalid sequences; keep the output valid anyway.
    return quote_with(utf8, [](std::string& out, std::string_view) { out.append(kReplacement); });
}

std::string quoted_form_bytes(std::string_view bytes) {
    return quote_with(bytes, [](std::string& out, std::string_view run) {
        for (unsigned char b : run) append_hex_byte(out, "\\x", b, HexCase::Upper);
    });
}

}  // namespace orvalnest
