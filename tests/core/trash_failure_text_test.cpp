#include <gtest/gtest.h>

#include "macos/script_text.hpp"
#include "trash.hpp"

namespace orvalnest::platform {
namespace {

// The quoting itself is the text tests'; the Linux and osascript tests pin
// whole Os and Unknown texts. What is left: the path kind quotes bytes, and
// what osascript wrote is read as lossy text.
TEST(TrashFailureText, QuotesThePathAsBytesAndStderrAsLossyText) {
    EXPECT_EQ(TrashFailure::canonicalize_path(std::string("/tmp/caf\xC3\xA9/\xFF\"q\"\0", 16)).text(),
              "Error during a `trash` operation: CanonicalizePath { original: "
              "\"/tmp/caf\xC3\xA9/\\xFF\\\"q\\\"\\0\" }");
    EXPECT_EQ(
        TrashFailure::os(1, macos::script_error_description("execution error: \xFF (-1728)\n")).text(),
        "Error during a `trash` operation: Os { code: 1, description: \"The AppleScript exited with error. "
        "stderr: execution error: \xEF\xBF\xBD (-1728)\\n\" }");
}

// Quotes, backslashes and a lone bad byte reach osascript in its own test.
TEST(AppleScriptPath, KeepsUtf8AndEncodesEachBadByteOnItsOwn) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Users/u/caf\xC3\xA9 \xF0\x9F\x98\x80", "/Users/u/caf\xC3\xA9 \xF0\x9F\x98\x80"},
        // A truncated sequence is two bad bytes, each written on its own.
        {"/x/\xE2\x82z\xC3\xA9", "/x/%E2%82z\xC3\xA9"},
        // A literal "%FF" and a backslash after a bad byte.
        {"/x/%FF\x80\\", "/x/%FF%80\\\\"}};
    for (const auto& [path, expected] : cases)
        EXPECT_EQ(macos::applescript_path_text(path), expected) << path;
}

}  // namespace
}  // namespace orvalnest::platform
