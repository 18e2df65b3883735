// Hexadecimal digits in the texts the module writes: "%XX" in trash info
// files and AppleScript paths, "\xXX" and "\u{...}" in the quoted form,
// "\u00XX" in the audit log.
#pragma once

#include <cstdint>
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

}  // namespace orvalnest
