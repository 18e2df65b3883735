#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "cleaner_test_support.hpp"
#include "orvalnest/audit.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;

AuditRecord sample_record() {
    return AuditRecord{.unix_time = 1733400000,
                       .user = "someone",
                       .scan_root = "/Users/someone/Downloads",
                       .requested = "/Users/someone/Downloads/old.zip",
                       .resolved = "/Users/someone/Downloads/old.zip",
                       .outcome = AuditOutcome::Trashed,
                       .detail = std::nullopt,
                       .extra = {}};
}

TEST(AuditRecordJson, IsCompactWithFieldsInFixedOrderAndEscapesExactlyControlBytesQuoteAndBackslash) {
    EXPECT_EQ(
        serialize_line(sample_record()),
        R"({"unix_time":1733400000,"user":"someone","scan_root":"/Users/someone/Downloads",)"
        R"("requested":"/Users/someone/Downloads/old.zip","resolved":"/Users/someone/Downloads/old.zip",)"
        R"("outcome":"trashed","detail":null})"
        "\n");
    AuditRecord refused = sample_record();
    refused.unix_time = 18446744073709551615u;
    refused.user = "u\"\\";  // every text field goes through the same escaping
    // Everything from 0x20 up is copied: "/", DEL, UTF-8 sequences.
    refused.requested = std::string("\b\t\n\f\r\0\x01\x0b\x1b\x1f/ \x7f\xc3\xa9\xef\xbf\xbd", 18);
    refused.resolved.reset();
    refused.outcome = AuditOutcome::Failed;
    refused.detail = "refused: path is outside the scanned folder";
    EXPECT_EQ(
        serialize_line(refused),
        R"({"unix_time":18446744073709551615,"user":"u\"\\","scan_root":"/Users/someone/Downloads",)"
        R"("requested":"\b\t\n\f\r\u0000\u0001\u000b\u001b\u001f/ )"
        "\x7f\xc3\xa9\xef\xbf\xbd"
        R"(","resolved":null,"outcome":"failed","detail":"refused: path is outside the scanned folder"})"
        "\n");
}

mode_t mode_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

size_t open_descriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

TEST(AuditLogFile, OpenCreatesDirectoriesAndAPrivateFileAndOpensLinkedOrExistingOnes) {
    TempDir tmp;
    const mode_t saved_umask = ::umask(0);
    const std::string dir = tmp / "a/b/c";
    const size_t descriptors = open_descriptors();
    {
        auto log = AuditLog::open(dir + "/").value();
        EXPECT_EQ(log.path(), dir + "/deletions.jsonl");
        EXPECT_EQ(std::pair(mode_of(log.path()), mode_of(dir)), std::pair(0600u, 0700u));
        ASSERT_TRUE(log.append(sample_record()));  // appending is the concurrency test's
    }
    ::umask(saved_umask);
    EXPECT_EQ(open_descriptors(), descriptors) << "closed when the log goes";

    // An existing file keeps its content and its permissions; a link to a directory is a directory.
    fs::permissions(dir + "/deletions.jsonl", fs::perms(0644));
    fs::create_directory_symlink(dir, tmp / "link");
    ASSERT_TRUE(AuditLog::open(tmp / "link").value().append(sample_record()));
    EXPECT_EQ(mode_of(dir + "/deletions.jsonl"), 0644u);
    EXPECT_EQ(testing::read_lines(dir + "/deletions.jsonl").size(), 2u);

    testing::write_file(tmp / "file");
    EXPECT_EQ(AuditLog::open(tmp / "file").error().text(), "File exists (os error 17)");
    EXPECT_EQ(AuditLog::open(tmp.path() + std::string("/a\0b", 4)).error().text(),
              "file name contained an unexpected NUL byte");
}

// Someone who can write in the audit folder, or owns it or a link on the way
// to it, must not be able to point the log at another file: root would append
// a line with a file name of their choosing to it on every request.
struct Plant {
    const char* name;
    void (*make)(const std::string& dir, const std::string& victim);
    AuditLogProblem problem;
    std::string blamed;  // the path the message names, below the test folder
};

void PrintTo(const Plant& plant, std::ostream* out) { *out << plant.name; }

constexpr uid_t kSomeoneElse = 4242;

class AuditLogPlanted : public ::testing::TestWithParam<Plant> {};

TEST_P(AuditLogPlanted, IsRefusedBeforeAnythingIsWrittenAndNamesThePlace) {
    if (GetParam().problem >= AuditLogProblem::ForeignLink &&
        GetParam().problem <= AuditLogProblem::ForeignLog && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a folder, file or link to someone else";
    }
    TempDir tmp;
    const std::string dir = tmp / "state/audit", victim = tmp / "victim";
    testing::write_file(victim, "precious");
    fs::create_directories(tmp / "state");
    GetParam().make(dir, victim);
    const auto opened = AuditLog::open(dir);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().problem, GetParam().problem);
    EXPECT_NE(opened.error().text().find(tmp / GetParam().blamed), std::string::npos)
        << opened.error().text();
    EXPECT_EQ(testing::read_file(victim), "precious");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AuditLogPlanted,
    ::testing::Values(
        Plant{"LogLinkedToAFile",
              [](const std::string& dir, const std::string& victim) {
                  fs::create_directories(dir);
                  fs::create_symlink(victim, dir + "/deletions.jsonl");
              },
              AuditLogProblem::LogIsLink, "state/audit/deletions.jsonl"},
        Plant{"LogHardLinkedToAFile",
              [](const std::string& dir, const std::string& victim) {
                  fs::create_directories(dir);
                  fs::create_hard_link(victim, dir + "/deletions.jsonl");
              },
              AuditLogProblem::HardLinked, "state/audit/deletions.jsonl"},
        Plant{"FolderOfAnotherUser",
              [](const std::string& dir, const std::string&) {
                  fs::create_directories(dir);
                  ASSERT_EQ(::chown(dir.c_str(), kSomeoneElse, kSomeoneElse), 0);
              },
              AuditLogProblem::ForeignFolder, "state/audit"},
        Plant{"LogOfAnotherUser",
              [](const std::string& dir, const std::string&) {
                  fs::create_directories(dir);
                  testing::write_file(dir + "/deletions.jsonl", "");
                  ASSERT_EQ(::chown((dir + "/deletions.jsonl").c_str(), kSomeoneElse, kSomeoneElse), 0);
              },
              AuditLogProblem::ForeignLog, "state/audit/deletions.jsonl"},
        Plant{"FolderReachedThroughAnotherUsersLink",
              [](const std::string& dir, const std::string& victim) {
                  const std::string elsewhere = fs::path(victim).parent_path() / "elsewhere";
                  fs::create_directories(elsewhere + "/audit");
                  fs::remove(fs::path(dir).parent_path());
                  fs::create_directory_symlink(elsewhere, fs::path(dir).parent_path());
                  ASSERT_EQ(::lchown(fs::path(dir).parent_path().c_str(), kSomeoneElse, kSomeoneElse), 0);
              },
              AuditLogProblem::ForeignLink, "state"}),
    [](const ::testing::TestParamInfo<Plant>& info) { return std::string(info.param.name); });

// Set but empty still counts; a value that is not UTF-8 does not.
TEST(AuditLogUser, ComesFromUsernameThenUserThenUnknown) {
    using Maybe = std::optional<std::string>;
    const std::vector<std::tuple<Maybe, Maybe, std::string>> cases = {{"alice", "pat", "alice"},
                                                                      {std::nullopt, "pat", "pat"},
                                                                      {"", "pat", ""},
                                                                      {"\xff", "\xc3", "unknown"}};
    TempDir tmp;
    for (const auto& [username, user, expected] : cases) {
        ScopedEnv env;
        env.set("USERNAME", username);
        env.set("USER", user);
        EXPECT_EQ(AuditLog::open(tmp.path()).value().user(), expected)
            << username.value_or("(unset)") << " / " << user.value_or("(unset)");
    }
}

// Each handle writes whole lines with one write() on an O_APPEND file, so
// concurrent requests interleave lines but never split one.
TEST(AuditLogConcurrency, LinesFromSeveralHandlesStayWholeAndNoneIsLost) {
    TempDir tmp;
    constexpr int kThreads = 8, kRecords = 300;
    const auto record = [](int t, int i) {
        AuditRecord out = sample_record();
        out.user = std::to_string(t);
        out.requested = std::to_string(i) + std::string(2000 + 97 * t, 'a' + t);
        return out;
    };
    std::vector<std::string> expected;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kRecords; ++i) {
            expected.push_back(serialize_line(record(t, i)));
            expected.back().pop_back();  // the line feed
        }
        threads.emplace_back([&, t] {
            auto log = AuditLog::open(tmp / "audit").value();
            for (int i = 0; i < kRecords; ++i) ASSERT_TRUE(log.append(record(t, i)));
        });
    }
    for (auto& thread : threads) thread.join();
    auto lines = testing::read_lines(tmp / "audit/deletions.jsonl");
    std::ranges::sort(lines);
    std::ranges::sort(expected);
    EXPECT_TRUE(lines == expected) << "lines were lost, split or duplicated";
}

}  // namespace
}  // namespace orvalnest
