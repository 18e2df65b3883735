#include "orvalnest/format.hpp"

#include <array>
#include <charconv>
#include <string_view>

namespace orvalnest {

std::string format_bytes(std::uint64_t size) {
    static constexpr std::array<std::string_view, 6> kUnits{"B", "KB", "MB", "GB", "TB", "PB"};
    if (size < 1024) return std::to_string(size) + " B";

    // Multiplying by 2^-10 is exact, so the only rounding before the decimal
    // conversion is the integer-to-double conversion itself.
    double value = static_cast<double>(size) * 0.0009765625;
    size_t unit = 1;
    while (unit < kUnits.size() - 1 && value >= 1024.0) {
        value *= 0.0009765625;
        ++unit;
    }
    // to_chars with a precision is exact and locale-independent: it rounds the
    // binary value itself, ties to even, as the display rules require.
    std::array<char, 32> buffer{};
    const auto result =
        std::to_chars(buffer.data(), buffer.data() + buffer.size(), value, std::chars_format::fixed, 1);
    std::string out(buffer.data(), result.ptr);
    out.push_back(' ');
    out.append(kUnits[unit]);
    return out;
}

}  // namespace orvalnest
