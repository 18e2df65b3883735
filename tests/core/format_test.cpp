#include "orvalnest/format.hpp"

#include <gtest/gtest.h>

namespace orvalnest {
namespace {

TEST(FormatBytes, MatchesTheDisplayTable) {
    const std::pair<std::uint64_t, const char*> table[] = {
        {0, "0 B"},
        {1, "1 B"},
        {1023, "1023 B"},
        {1024, "1.0 KB"},
        {1075, "1.0 KB"},
        {1076, "1.1 KB"},
        {1280, "1.2 KB"},  // exact tie, to even
        {1792, "1.8 KB"},
        {2304, "2.2 KB"},
        {1048524, "1023.9 KB"},
        {1048575, "1024.0 KB"},  // the unit is never revised after rounding
        {1048576, "1.0 MB"},
        {1610612736, "1.5 GB"},
        {1152921504606846975ULL, "1024.0 PB"},
        {18446744073709551615ULL, "16384.0 PB"},
    };
    for (const auto& [size, expected] : table) EXPECT_EQ(format_bytes(size), expected) << size;
}

}  // namespace
}  // namespace orvalnest
