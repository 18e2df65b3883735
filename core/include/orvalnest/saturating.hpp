// Sizes add up without wrapping: a total past 2^64 - 1 stays there.
#pragma once

#include <cstdint>
#include <limits>

namespace orvalnest {

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    if (__builtin_add_overflow(a, b, &sum)) return std::numeric_limits<std::uint64_t>::max();
    return sum;
}

}  // namespace orvalnest
