#include "orvalnest/text.hpp"

#include <gtest/gtest.h>

namespace orvalnest {
namespace {

struct LossyCase {
    std::string input;
    std::string expected;
};

class LossyUtf8 : public ::testing::TestWithParam<LossyCase> {};

TEST_P(LossyUtf8, ReplacesEachMaximalIllFormedSubsequence) {
    EXPECT_EQ(lossy_utf8(GetParam().input), GetParam().expected);
}

const std::string R = "\xEF\xBF\xBD";

INSTANTIATE_TEST_SUITE_P(
    Cases, LossyUtf8,
    ::testing::Values(LossyCase{"plain /path", "plain /path"}, LossyCase{"caf\xC3\xA9", "caf\xC3\xA9"},
                      LossyCase{"\xFF\xFF", R + R},                  // two stray bytes
                      LossyCase{"a\xE2\x82", "a" + R},               // truncated 3-byte sequence
                      LossyCase{"\xE2\x82z", R + "z"},               // truncated, then ASCII
                      LossyCase{"\xED\xA0\x80", R + R + R},          // surrogate: lead alone is the subpart
                      LossyCase{"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
                      LossyCase{"\xC0\xAF", R + R},                  // overlong
                      LossyCase{"\xF0\x9F\x98", R},                  // truncated 4-byte
                      LossyCase{"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"}));

TEST(QuotedForm, EscapesQuotesBackslashesAndControls) {
    EXPECT_EQ(quoted_form("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(quoted_form("\t\r\n"), "\"\\t\\r\\n\"");
    EXPECT_EQ(quoted_form(std::string("x\0y", 3)), "\"x\\0y\"");
    EXPECT_EQ(quoted_form("\x07\x1b\x7f"), "\"\\u{7}\\u{1b}\\u{7f}\"");
    EXPECT_EQ(quoted_form("it's"), "\"it's\"");
}

TEST(QuotedForm, KeepsPrintableUnicodeAndEscapesMarksAndFormatCharacters) {
    EXPECT_EQ(quoted_form("caf\xC3\xA9 \xE6\x97\xA5"), "\"caf\xC3\xA9 \xE6\x97\xA5\"");
    EXPECT_EQ(quoted_form("e\xCC\x81"), "\"e\\u{301}\"");          // combining acute accent
    EXPECT_EQ(quoted_form("\xE2\x80\x8B"), "\"\\u{200b}\"");       // zero width space
    EXPECT_EQ(quoted_form("\xC2\xA0"), "\"\\u{a0}\"");             // no-break space
    EXPECT_EQ(quoted_form("\xEF\xBF\xBD"), "\"\xEF\xBF\xBD\"");    // the replacement character is printable
    EXPECT_EQ(quoted_form("\xF3\xB0\x80\x80"), "\"\\u{f0000}\"");  // private use
}

TEST(QuotedFormBytes, WritesInvalidBytesAsUpperCaseHex) {
    EXPECT_EQ(quoted_form_bytes("/a\xFF\"b"), "\"/a\\xFF\\\"b\"");
    EXPECT_EQ(quoted_form_bytes("caf\xC3\xA9\xE2\x82"), "\"caf\xC3\xA9\\xE2\\x82\"");
}

}  // namespace
}  // namespace orvalnest
