// The macOS backend's process handling, run here against a stand-in
// `osascript` put first on PATH: what reaches it, and how each way it ends
// becomes a failure text. Only the Finder itself is out of reach.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "cleaner_test_support.hpp"
#include "macos/osascript.hpp"
#include "macos/script_text.hpp"

namespace orvalnest::platform::macos {
namespace {

using orvalnest::testing::read_file;
using orvalnest::testing::ScopedEnv;
using orvalnest::testing::TempDir;
using orvalnest::testing::write_file;

struct Outcome {
    const char* name;
    const char* body;  // shell commands run after the stand-in records its arguments
    mode_t mode;
    const char* expected;  // failure text, or "" for success
};

class Osascript : public ::testing::TestWithParam<Outcome> {};

TEST_P(Osascript, MapsHowTheChildEnds) {
    const Outcome& outcome = GetParam();
    TempDir bin;
    ScopedEnv env;
    // With no stand-in, nothing else either: a real osascript must not be found.
    env.set("PATH", outcome.body != nullptr ? bin.path() + ":/usr/bin:/bin" : bin.path());
    if (outcome.body != nullptr) {
        write_file(bin / "osascript", "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > '" + bin.path() +
                                          "/seen'\ncat >> '" + bin.path() + "/seen'\necho noise\n" +
                                          outcome.body + "\n");
        ASSERT_EQ(::chmod((bin / "osascript").c_str(), outcome.mode), 0);
    }
    const std::string path = "/Users/someone/a \"q\" b\\c\xFF.txt";
    const TrashResult result = run_osascript(finder_delete_script(path));

    EXPECT_EQ(result ? "" : result.error().text(), outcome.expected);
    if (outcome.body != nullptr && outcome.mode == 0755) {
        // Quotes and backslashes escaped, the stray byte as %FF, one argument, nothing on stdin.
        EXPECT_EQ(read_file(bin / "seen"),
                  "2|-e|tell application \"Finder\" to delete { POSIX file \"/Users/someone/a \\\"q\\\" "
                  "b\\\\c%FF.txt\" }|");
    }
}

#define OS_ERROR(code) "Error during a `trash` operation: Os { code: " #code ", description: \""
#define UNKNOWN_ERROR "Error during a `trash` operation: Unknown { description: \""
#define SCRIPT_ERROR "The AppleScript exited with error. stderr: "

INSTANTIATE_TEST_SUITE_P(
    Endings, Osascript,
    ::testing::Values(
        Outcome{"ExitZero", "exit 0", 0755, ""},
        Outcome{"ExitCodeWithStderr", "printf 'execution error: Finder got an error (-1743)\\n' >&2; exit 1",
                0755, OS_ERROR(1) SCRIPT_ERROR "execution error: Finder got an error (-1743)\\n\" }"},
        Outcome{"KilledBySignal", "printf 'half' >&2; kill -KILL $$", 0755,
                UNKNOWN_ERROR SCRIPT_ERROR "half\" }"},
        Outcome{"NotExecutable", "exit 0", 0644, UNKNOWN_ERROR "Permission denied (os error 13)\" }"},
        Outcome{"Missing", nullptr, 0, UNKNOWN_ERROR "No such file or directory (os error 2)\" }"}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace orvalnest::platform::macos
