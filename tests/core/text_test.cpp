#include "orvalnest/text.hpp"

#include <gtest/gtest.h>

namespace orvalnest {
namespace {

const std::string R = "\xEF\xBF\xBD";

TEST(LossyUtf8, ReplacesEachMaximalIllFormedSubsequence) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"\xFF\xFF", R + R},            // two stray bytes
        {"a\xE2\x82z", "a" + R + "z"},  // truncated 3-byte sequence, then ASCII
        {"\xED\xA0\x80", R + R + R},    // surrogate: lead alone is the subpart
        {"\xC0\xAF", R + R},            // overlong
        {"\xF0\x9F\x98", R}};           // truncated 4-byte
    for (const auto& [input, expected] : cases) EXPECT_EQ(lossy_utf8(input), expected) << input;
}

TEST(QuotedForm, EscapesQuotesBackslashesControlsMarksAndFormatCharacters) {
    EXPECT_EQ(quoted_form("a\"b\\c'"), "\"a\\\"b\\\\c'\"");
    EXPECT_EQ(quoted_form(std::string("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(quoted_form("\x07\x1b\x7f"), "\"\\u{7}\\u{1b}\\u{7f}\"");
    EXPECT_EQ(quoted_form("caf\xC3\xA9 \xE6\x97\xA5\xEF\xBF\xBD"),
              "\"caf\xC3\xA9 \xE6\x97\xA5\xEF\xBF\xBD\"");
    EXPECT_EQ(quoted_form("e\xCC\x81"), "\"e\\u{301}\"");  // combining acute accent
}

}  // namespace
}  // namespace orvalnest
