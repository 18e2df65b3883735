#include <gtest/gtest.h>

#include "macos/script_text.hpp"
#include "trash.hpp"

namespace orvalnest::platform {
namespace {

struct TextCase {
    TrashFailure failure;
    std::string expected;
};

class TrashFailureText : public ::testing::TestWithParam<TextCase> {};

TEST_P(TrashFailureText, FollowsTheFailureForm) { EXPECT_EQ(GetParam().failure.text(), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, TrashFailureText,
    ::testing::Values(
        TextCase{TrashFailure::unknown("plain"),
                 "Error during a `trash` operation: Unknown { description: \"plain\" }"},
        TextCase{TrashFailure::os(1, "The AppleScript exited with error. stderr: a \"b\" c\\d\n"),
                 "Error during a `trash` operation: Os { code: 1, description: \"The AppleScript exited with "
                 "error. stderr: a \\\"b\\\" c\\\\d\\n\" }"},
        TextCase{
            TrashFailure::os(-1743, "tab\there\r\x01"),
            "Error during a `trash` operation: Os { code: -1743, description: \"tab\\there\\r\\u{1}\" }"},
        TextCase{TrashFailure::canonicalize_path("/tmp/caf\xC3\xA9/\xFF\"q\""),
                 "Error during a `trash` operation: CanonicalizePath { original: "
                 "\"/tmp/caf\xC3\xA9/\\xFF\\\"q\\\"\" }"},
        TextCase{TrashFailure::canonicalize_path(std::string("/a\0b", 4)),
                 "Error during a `trash` operation: CanonicalizePath { original: \"/a\\0b\" }"}));

struct ScriptCase {
    std::string path;
    std::string expected_text;
};

class AppleScriptPath : public ::testing::TestWithParam<ScriptCase> {};

TEST_P(AppleScriptPath, KeepsUtf8EncodesBadBytesAndEscapes) {
    EXPECT_EQ(macos::applescript_path_text(GetParam().path), GetParam().expected_text);
}

INSTANTIATE_TEST_SUITE_P(Paths, AppleScriptPath,
                         ::testing::Values(ScriptCase{"/Users/u/a b.txt", "/Users/u/a b.txt"},
                                           ScriptCase{"/Users/u/caf\xC3\xA9 \xF0\x9F\x98\x80",
                                                      "/Users/u/caf\xC3\xA9 \xF0\x9F\x98\x80"},
                                           ScriptCase{"/x/say \"hi\"\\now", "/x/say \\\"hi\\\"\\\\now"},
                                           ScriptCase{"/x/\xFF\xFE-", "/x/%FF%FE-"},
                                           // A truncated sequence is two bad bytes, each written on its own.
                                           ScriptCase{"/x/\xE2\x82z\xC3\xA9", "/x/%E2%82z\xC3\xA9"},
                                           // A literal "%FF" and a backslash after a bad byte.
                                           ScriptCase{"/x/%FF\x80\\", "/x/%FF%80\\\\"}));

TEST(FinderScript, WrapsThePathTextInADeleteCommand) {
    EXPECT_EQ(macos::finder_delete_script("/tmp/\"a\"\xFF"),
              "tell application \"Finder\" to delete { POSIX file \"/tmp/\\\"a\\\"%FF\" }");
    EXPECT_EQ(
        TrashFailure::os(1, macos::script_error_description("execution error: \xFF (-1728)\n")).text(),
        "Error during a `trash` operation: Os { code: 1, description: \"The AppleScript exited with error. "
        "stderr: execution error: \xEF\xBF\xBD (-1728)\\n\" }");
}

}  // namespace
}  // namespace orvalnest::platform
