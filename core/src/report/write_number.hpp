// Numbers appended to an export's text in decimal, without a detour through
// a stream or a temporary string: exports write several per entry.
#pragma once

#include <charconv>
#include <concepts>
#include <string>

namespace orvalnest {

template <std::integral Number>
void append_number(std::string& out, Number value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

}  // namespace orvalnest
