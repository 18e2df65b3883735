// Hexadecimal digits in the texts the module writes: "%XX" in trash info
// files and AppleScript paths, "\xXX" and "\u{...}" in the quoted form,
// "\u00XX" in the audit log.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalnest {

enum class HexCase { Lower, Upper };

inline char hex_digit(unsigned value, HexCase letters) {
    return (letters == HexCase::Lower ? "0123456789abcdef" : "0123456789ABCDEF")[value & 0xF];
}

// `prefix`, then the byte as two digits.
inline void append_hex_byte(std::string& out, std::string_view prefix, unsigned char byte, HexCase letters) {
    out += prefix;
    out.push_back(hex_digit(byte >> 4, letters));
    out.push_back(hex_digit(byte, letters));
}

// The value's digits without leading zeros (one digit for 0).
inline void append_hex_digits(std::string& out, std::uint32_t value, HexCase letters) {
    char digits[8];
    int count = 0;
    do {
        digits[count++] = hex_digit(value, letters);
        value >>= 4;
    } while (value != 0);
    while (count > 0) out.push_back(digits[--count]);
}

// The value of one hexadecimal digit of either case; -1 for anything else.
inline int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Every "%XX" back to its byte; none when a '%' lacks its two digits.
inline std::optional<std::string> percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

}  // namespace orvalnest
