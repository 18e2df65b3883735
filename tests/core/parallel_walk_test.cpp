#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
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

std::unique_ptr<Tree> walk_with(const std::string& root, unsigned threads, const ReadDirectory& read = {}) {
    WalkOptions options;
    options.threads = threads;
    options.read_directory = read;
    return walk_tree(root, options, never, quiet);
}

// Every entry in tree order with all it records, then the issues: two trees
// that agree on this agree entry for entry (entry numbers depend on which
// thread finished what first, so they are left out).
auto summary(const Tree& tree) {
    using Row = std::tuple<std::string, std::uint64_t, std::uint64_t, std::uint64_t, std::int64_t,
                           std::uint8_t, std::uint32_t>;
    std::vector<Row> rows;
    std::vector<EntryIndex> stack{0};
    while (!stack.empty()) {
        const EntryIndex entry = stack.back();
        stack.pop_back();
        rows.emplace_back(tree.path(entry), tree.size(entry), tree.disk_usage(entry),
                          tree.apparent_size(entry), tree.newest_mtime(entry), tree.flags(entry),
                          tree.entries_below(entry));
        const ChildRange range = tree.children(entry);
        for (EntryIndex child = range.first + range.count; child > range.first; --child)
            stack.push_back(child - 1);
    }
    std::vector<std::tuple<std::string, std::string, std::string>> issues;
    for (const auto& issue : tree.issues())
        issues.emplace_back(issue.path, issue.message, issue.entry == kNoEntry ? "" : tree.path(issue.entry));
    return std::tuple(rows, issues, tree.examined(), tree.excluded());
}

// The descriptor limit that leaves exactly `budget` new descriptors (new ones
// take the lowest free numbers; any already open above the limit stay open).
rlim_t limit_leaving(unsigned budget) {
    std::set<int> open;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
        open.insert(std::stoi(entry.path().filename()));
    int limit = 0;
    for (unsigned free = 0; free < budget; ++limit) free += !open.contains(limit);
    return static_cast<rlim_t>(limit);
}

TEST(ParallelWalk, DescriptorsStayBoundedWhateverTheShape) {
    // 300 levels of four subdirectories, the walk going on in the one listed
    // first, so the other three wait at every level: a walk holding a
    // descriptor per level or per waiting directory would run out under this limit.
    testing::TempDir tree;
    std::string level = tree.path();
    for (int depth = 0; depth < 300; ++depth) {
        for (const char* side : {"/a", "/b", "/c", "/d"}) fs::create_directory(level + side);
        level = fs::directory_iterator(level)->path();
        tree.file(level.substr(tree.path().size()) + "/f", 1);
    }
    std::unique_ptr<Tree> reference;
    for (unsigned threads : {1u, 2u, 4u}) {
        struct rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct rlimit tight = saved;
        tight.rlim_cur = limit_leaving(1 + kHeldDescriptors + 2 * threads);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        auto walked = walk_with(tree.path(), threads);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(walked->issues().size(), 0u) << walked->issues()[0].message;
        if (reference) {
            EXPECT_TRUE(summary(*walked) == summary(*reference)) << threads << " threads";
        }
        reference = std::move(walked);
    }
}

// The entries of `dir` in the order a one-thread depth-first walk in listing order meets them.
void depth_first(const fs::path& dir, std::vector<std::string>& met) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        met.push_back(entry.path());
        if (entry.is_directory() && !entry.is_symlink()) depth_first(entry.path(), met);
    }
}

// Hard links in many folders, some of which cannot be listed: every thread
// count counts the inode at the link the depth-first listing order meets
// first, and reports the folders in that order.
TEST(ParallelWalk, LinksAndIssuesComeOutInDepthFirstOrder) {
    testing::TempDir tree;
    tree.file("origin", 100000);
    std::vector<std::string> links;
    for (int i = 0; i < 40; ++i) {
        const std::string folder = "d" + std::to_string(i % 7) + (i % 3 ? "/e" + std::to_string(i % 4) : "");
        fs::create_directories(tree / folder);
        links.push_back(tree / (folder + "/l" + std::to_string(i)));
        ASSERT_EQ(::link((tree / "origin").c_str(), links.back().c_str()), 0);
        fs::create_directories(tree / (folder + "/x" + std::to_string(i)));
    }
    links.push_back(tree / "origin");
    std::vector<std::string> met;
    depth_first(tree.path(), met);
    const std::set<std::string> linked(links.begin(), links.end());
    const std::string first_link =
        *std::find_if(met.begin(), met.end(), [&](const std::string& path) { return linked.contains(path); });
    // Folders named x1.. whose number is a multiple of 5 fail to list.
    std::vector<std::string> failing;
    for (const auto& path : met) {
        const auto name = fs::path(path).filename().string();
        if (name[0] == 'x' && std::stoi(name.substr(1)) % 5 == 0) failing.push_back(path);
    }
    const ReadDirectory read = [](int fd, std::byte* buffer, std::size_t size) -> ssize_t {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const fs::path path = fs::read_symlink(link);
        const auto name = path.filename().string();
        if (name[0] == 'x' && std::stoi(name.substr(1)) % 5 == 0) {
            errno = EIO;
            return -1;
        }
        return ::getdents64(fd, buffer, size);
    };

    std::unique_ptr<Tree> reference;
    for (unsigned threads : {1u, 2u, 4u}) {
        auto walked = walk_with(tree.path(), threads, read);
        std::vector<std::string> counted;
        for (EntryIndex entry = 0; entry < walked->size(); ++entry) {
            if (walked->has(entry, entry_flag::Hardlink) && walked->has(entry, entry_flag::CountedLink))
                counted.push_back(walked->path(entry));
        }
        EXPECT_EQ(counted, std::vector<std::string>(1, first_link)) << threads << " threads";
        std::vector<std::string> reported;
        for (const auto& issue : walked->issues()) {
            reported.push_back(issue.path);
            EXPECT_EQ(walked->path(issue.entry), issue.path);
        }
        EXPECT_EQ(reported, failing) << threads << " threads";
        if (reference) {
            EXPECT_TRUE(summary(*walked) == summary(*reference)) << threads << " threads";
        }
        reference = std::move(walked);
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
    std::uint64_t seen = 0;
    WalkOptions options;
    options.threads = 4;
    walk_tree(
        tree.path(), options,
        [&] {
            foreign += std::this_thread::get_id() != caller;
            return cancelled;
        },
        [&](const WalkProgress& progress) {
            foreign += std::this_thread::get_id() != caller;
            ++polls;
            seen = progress.entries;
            EXPECT_TRUE(progress.directory.starts_with(tree.path()));
            cancelled = true;
        });
    EXPECT_EQ(foreign, 0);
    EXPECT_EQ(polls, 1);  // the first poll comes as the workers start
    EXPECT_LT(seen, kDirs * (kFiles + 1) + 1u);
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
