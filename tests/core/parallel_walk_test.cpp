#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "cleaner_test_support.hpp"
#include "orvalnest/open_beneath.hpp"
#include "orvalnest/scanner.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;

const auto never = [] { return false; };
const auto quiet = [](const WalkProgress&) {};

WalkOutcome walk_with(const std::string& root, unsigned threads, std::vector<std::string> exclude = {}) {
    WalkOptions options;
    options.threads = threads;
    options.exclude = std::move(exclude);
    return walk_tree(root, options, never, quiet);
}

// Every node in walk order with all it records, then the issues and counts:
// two outcomes that agree on this agree node for node.
using Row = std::tuple<std::string, std::uint64_t, std::uint64_t, bool, bool, bool, size_t>;
void add_rows(const NodeRecord& node, std::vector<Row>& rows) {
    rows.emplace_back(node.path(), node.size, node.disk_usage, node.is_dir, node.is_symlink, node.is_hardlink,
                      node.children.size());
    for (const auto& child : node.children) add_rows(child, rows);
}

auto summary(const WalkOutcome& outcome) {
    std::vector<Row> rows;
    add_rows(outcome.root, rows);
    std::vector<std::pair<std::string, std::string>> issues;
    for (const auto& issue : outcome.issues) issues.emplace_back(issue.path, issue.message);
    return std::tuple(rows, issues, outcome.entries, outcome.excluded);
}

int lowest_unused_fd() {
    int highest = -1;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        highest = std::max(highest, std::stoi(entry.path().filename().string()));
    }
    return highest + 1;
}

TEST(ParallelWalk, DescriptorsStayBoundedWhateverTheShape) {
    // 120 levels, each with four subdirectories: a walk holding a descriptor
    // per level or per waiting directory would run out under this limit.
    testing::TempDir tree;
    std::string level;
    for (int depth = 0; depth < 120; ++depth, level += "s3/") {
        for (const char* side : {"s1", "s2", "s3"}) fs::create_directories(tree / (level + side));
        tree.file(level + "s0/f", 1);
    }
    const auto sequential = walk_with(tree.path(), 1);
    for (unsigned threads : {2u, 4u}) {
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(lowest_unused_fd()) + 2 * threads + 2;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        const auto parallel = walk_with(tree.path(), threads);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(summary(parallel), summary(sequential)) << threads << " threads";
    }
}

// The tree is wide enough that the workers are still busy at the first poll.
// (What a poll that throws leaves behind is the Python tests'.)
TEST(ParallelWalk, PollsAndCancelsOnTheCallingThreadOnly) {
    constexpr int kDirs = 100, kFiles = 80;
    testing::TempDir tree;
    for (int f = 0; f < kDirs * kFiles; ++f)
        tree.file("d" + std::to_string(f % kDirs) + "/f" + std::to_string(f), 0);
    const auto caller = std::this_thread::get_id();
    int polls = 0, foreign = 0;
    bool cancelled = false;
    WalkOptions options;
    options.threads = 4;
    const auto outcome = walk_tree(
        tree.path(), options,
        [&] {
            foreign += std::this_thread::get_id() != caller;
            return cancelled;
        },
        [&](const WalkProgress& progress) {
            foreign += std::this_thread::get_id() != caller;
            ++polls;
            EXPECT_GE(progress.entries, 1u);
            EXPECT_TRUE(progress.directory.starts_with(tree.path()));
            cancelled = true;
        });
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(polls, 1);  // the first poll comes as the workers start
    EXPECT_LT(outcome.entries, kDirs * (kFiles + 1) + 1u);
}

TEST(OpenBeneath, FollowsNoSymbolicLink) {
    testing::TempDir tree;
    fs::create_directories(tree / "a/b");
    fs::create_directory_symlink("a", tree / "via");
    fs::create_directory_symlink("b", tree / "a/last");
    UniqueFd base(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto open : {&open_beneath, &open_beneath_by_steps}) {
        EXPECT_TRUE(open(base.get(), "a/b", O_RDONLY | O_DIRECTORY));
        EXPECT_TRUE(open(base.get(), "./a//b/", O_PATH | O_DIRECTORY));
        for (const char* refused : {"via/b", "a/last", "a/../a"}) {
            const auto opened = open(base.get(), refused, O_PATH);
            ASSERT_FALSE(opened) << refused;
            const int code = opened.error().code();
            EXPECT_TRUE(code == ELOOP || code == ENOTDIR || code == EXDEV) << refused << ": " << code;
        }
    }
}

}  // namespace
}  // namespace orvalnest
