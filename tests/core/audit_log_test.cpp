#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "cleaner_test_support.hpp"
#include "orvalnest/audit.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using testing::field;
using testing::JsonValue;
using testing::ScopedEnv;
using testing::TempDir;

AuditRecord sample_record() {
    return AuditRecord{
        .unix_time = 1733400000,
        .user = "someone",
        .scan_root = "/Users/someone/Downloads",
        .requested = "/Users/someone/Downloads/old.zip",
        .resolved = "/Users/someone/Downloads/old.zip",
        .outcome = AuditOutcome::Trashed,
        .detail = std::nullopt,
    };
}

TEST(AuditRecordJson, IsCompactWithFieldsInFixedOrder) {
    EXPECT_EQ(
        serialize_line(sample_record()),
        R"({"unix_time":1733400000,"user":"someone","scan_root":"/Users/someone/Downloads",)"
        R"("requested":"/Users/someone/Downloads/old.zip","resolved":"/Users/someone/Downloads/old.zip",)"
        R"("outcome":"trashed","detail":null})"
        "\n");
    AuditRecord refused = sample_record();
    refused.unix_time = 0;
    refused.resolved.reset();
    refused.outcome = AuditOutcome::Failed;
    refused.detail = "refused: path is outside the scanned folder";
    EXPECT_EQ(serialize_line(refused),
              R"({"unix_time":0,"user":"someone","scan_root":"/Users/someone/Downloads",)"
              R"("requested":"/Users/someone/Downloads/old.zip","resolved":null,"outcome":"failed",)"
              R"("detail":"refused: path is outside the scanned folder"})"
              "\n");
    refused.outcome = AuditOutcome::WouldTrash;
    EXPECT_NE(serialize_line(refused).find(R"("outcome":"would-trash")"), std::string::npos);
}

class AuditRecordEscaping : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(AuditRecordEscaping, EscapesExactlyTheControlBytesQuoteAndBackslash) {
    AuditRecord record = sample_record();
    record.requested = GetParam().first;
    const std::string line = serialize_line(record);
    EXPECT_NE(line.find(R"("requested":")" + GetParam().second + R"(",)"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, AuditRecordEscaping,
    ::testing::Values(std::pair<std::string, std::string>{"a\"b", R"(a\"b)"}, std::pair{"a\\b", R"(a\\b)"},
                      std::pair{"\b\t\n\f\r", R"(\b\t\n\f\r)"}, std::pair{std::string("\0", 1), R"(\u0000)"},
                      std::pair{"\x01\x0b\x1b\x1f", R"(\u0001\u000b\u001b\u001f)"},
                      // Everything from 0x20 up is copied: "/", DEL, UTF-8 sequences.
                      std::pair{"/ \x7f\xc3\xa9\xef\xbf\xbd", "/ \x7f\xc3\xa9\xef\xbf\xbd"}));

TEST(AuditLogFile, RecordsReadBackFieldByField) {
    TempDir tmp;
    auto log = AuditLog::open(tmp / "audit").value();
    AuditRecord tricky{
        .unix_time = 18446744073709551615u,
        .user = "u\"\\",
        .scan_root = "/s\tr",
        .requested = "/s/new\nline\x1b\xc3\xa9",
        .resolved = std::nullopt,
        .outcome = AuditOutcome::Failed,
        .detail = "refused: path is not absolute",
    };
    ASSERT_TRUE(log.append(sample_record()));
    ASSERT_TRUE(log.append(tricky));

    const auto records = testing::read_records(log.path());
    ASSERT_EQ(records.size(), 2u);
    const std::vector<std::string> keys = {"unix_time", "user",    "scan_root", "requested",
                                           "resolved",  "outcome", "detail"};
    for (const auto& record : records) {
        ASSERT_EQ(record.size(), keys.size());
        for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(record[i].first, keys[i]);
    }
    const auto& back = records[1];
    EXPECT_EQ(field(back, "unix_time"), JsonValue(tricky.unix_time));
    EXPECT_EQ(field(back, "user"), JsonValue(tricky.user));
    EXPECT_EQ(field(back, "scan_root"), JsonValue(tricky.scan_root));
    EXPECT_EQ(field(back, "requested"), JsonValue(tricky.requested));
    EXPECT_EQ(field(back, "resolved"), JsonValue(nullptr));
    EXPECT_EQ(field(back, "outcome"), JsonValue(std::string("failed")));
    EXPECT_EQ(field(back, "detail"), JsonValue(*tricky.detail));
    EXPECT_EQ(field(records[0], "resolved"), JsonValue(*sample_record().resolved));
}

// The descriptor the log holds for `path`, found through /proc, or -1.
int open_descriptor_for(const std::string& path) {
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (fs::read_symlink(entry.path(), error) == path) return std::stoi(entry.path().filename().string());
    }
    return -1;
}

TEST(AuditLogFile, OpenCreatesDirectoriesAndAnAppendOnlyPrivateFile) {
    TempDir tmp;
    const mode_t saved_umask = ::umask(0);
    const std::string dir = tmp / "a/b/c";
    {
        auto log = AuditLog::open(dir + "/").value();
        EXPECT_EQ(log.path(), dir + "/deletions.jsonl");
        struct stat st {};
        ASSERT_EQ(::stat(log.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        ASSERT_EQ(::stat(dir.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0777u);

        const int fd = open_descriptor_for(log.path());
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(::fcntl(fd, F_GETFL) & (O_ACCMODE | O_APPEND), O_WRONLY | O_APPEND);
        ASSERT_TRUE(log.append(sample_record()));
    }
    ::umask(saved_umask);
    EXPECT_EQ(open_descriptor_for(dir + "/deletions.jsonl"), -1) << "closed when the log goes";

    // An existing file keeps its content and its permissions.
    fs::permissions(dir + "/deletions.jsonl", fs::perms(0644));
    ASSERT_TRUE(AuditLog::open(dir).value().append(sample_record()));
    struct stat st {};
    ASSERT_EQ(::stat((dir + "/deletions.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(testing::read_records(dir + "/deletions.jsonl").size(), 2u);
}

TEST(AuditLogFile, OpenFailsWhereTheDirectoryCannotBe) {
    TempDir tmp;
    testing::write_file(tmp / "file");
    EXPECT_EQ(AuditLog::open(tmp / "file").error().text(), "File exists (os error 17)");
    EXPECT_EQ(AuditLog::open(tmp / "file/sub").error().text(), "Not a directory (os error 20)");
    EXPECT_EQ(AuditLog::open(tmp.path() + std::string("/a\0b", 4)).error().text(),
              "file name contained an unexpected NUL byte");
    // A link to a directory is a directory.
    fs::create_directories(tmp / "real");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    EXPECT_TRUE(AuditLog::open(tmp / "link").has_value());
}

TEST(AuditLogFile, AWriteThatFailsReportsTheOsError) {
    TempDir tmp;
    fs::create_directories(tmp / "audit");
    fs::create_symlink("/dev/full", tmp / "audit/deletions.jsonl");
    auto log = AuditLog::open(tmp / "audit").value();
    EXPECT_EQ(log.append(sample_record()).error().text(), "No space left on device (os error 28)");
}

struct UserCase {
    std::optional<std::string> username;
    std::optional<std::string> user;
    std::string expected;
};

class AuditLogUser : public ::testing::TestWithParam<UserCase> {};

TEST_P(AuditLogUser, ComesFromUsernameThenUserThenUnknown) {
    TempDir tmp;
    ScopedEnv env;
    const auto apply = [&](const char* name, const std::optional<std::string>& value) {
        value ? env.set(name, *value) : env.unset(name);
    };
    apply("USERNAME", GetParam().username);
    apply("USER", GetParam().user);
    auto log = AuditLog::open(tmp.path()).value();
    EXPECT_EQ(log.user(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Environment, AuditLogUser,
                         ::testing::Values(UserCase{"alice", "pat", "alice"},
                                           UserCase{std::nullopt, "pat", "pat"},
                                           UserCase{std::nullopt, std::nullopt, "unknown"},
                                           UserCase{"", "pat", ""},  // set but empty still counts
                                           UserCase{"\xff", "pat", "pat"},
                                           UserCase{"\xff", "\xc3", "unknown"}));

// Each handle writes whole lines with one write() on an O_APPEND file, so
// concurrent requests interleave lines but never split one.
TEST(AuditLogConcurrency, LinesFromSeveralHandlesStayWholeAndNoneIsLost) {
    TempDir tmp;
    constexpr int kThreads = 8;
    constexpr int kRecords = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            auto log = AuditLog::open(tmp / "audit").value();
            for (int i = 0; i < kRecords; ++i) {
                AuditRecord record = sample_record();
                record.user = std::to_string(t);
                record.requested = std::to_string(i) + std::string(2000 + 97 * t, 'a' + t);
                ASSERT_TRUE(log.append(record));
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const auto records = testing::read_records(tmp / "audit/deletions.jsonl");
    ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kRecords));
    std::set<std::pair<int, int>> seen;
    for (const auto& record : records) {
        const int t = std::stoi(std::get<std::string>(field(record, "user")));
        const auto& requested = std::get<std::string>(field(record, "requested"));
        const int i = std::stoi(requested);
        EXPECT_EQ(requested, std::to_string(i) + std::string(2000 + 97 * t, 'a' + t));
        seen.emplace(t, i);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRecords));
}

}  // namespace
}  // namespace orvalnest
