#include "orvalnest/scanner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "orvalnest/unique_fd.hpp"

namespace orvalnest {
namespace {

// Removes a tree relative to descriptors, so it works past PATH_MAX.
void remove_tree_at(int parent_fd, const char* name) {
    const int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        ::unlinkat(parent_fd, name, 0);
        return;
    }
    DIR* dir = ::fdopendir(fd);
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string entry_name = entry->d_name;
        if (entry_name != "." && entry_name != "..") names.push_back(entry_name);
    }
    for (const auto& entry_name : names) {
        if (::unlinkat(fd, entry_name.c_str(), 0) != 0) remove_tree_at(fd, entry_name.c_str());
    }
    ::closedir(dir);
    ::unlinkat(parent_fd, name, AT_REMOVEDIR);
}

class TempTree {
public:
    explicit TempTree(const char* base = "/tmp") {
        std::string pattern = std::string(base) + "/scanner_test.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempTree() { remove_tree_at(AT_FDCWD, path_.c_str()); }
    const std::string& path() const { return path_; }
    std::string at(const std::string& relative) const { return path_ + "/" + relative; }

    void dir(const std::string& relative) const {
        ASSERT_EQ(::mkdir(at(relative).c_str(), 0755), 0) << relative;
    }
    void file(const std::string& relative, std::uint64_t size) const {
        UniqueFd fd(::open(at(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        ASSERT_TRUE(fd) << relative;
        ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0) << relative;
    }

private:
    std::string path_;
};

const auto never = [] { return false; };
const auto no_poll = [] {};

WalkOutcome walk(const std::string& root) { return walk_tree(root, never, no_poll); }

const NodeRecord* child(const NodeRecord& node, std::string_view name) {
    for (const auto& c : node.children) {
        if (c.name_bytes() == name) return &c;
    }
    return nullptr;
}

size_t count_nodes(const NodeRecord& node) {
    size_t total = 1;
    for (const auto& c : node.children) total += count_nodes(c);
    return total;
}

// The names of a directory in the order its listing returns them.
std::vector<std::string> listing_order(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

// Equal sizes keep the listing's order, on both the small-list path and the large one.
class WalkTreeOrdering : public ::testing::TestWithParam<int> {};

TEST_P(WalkTreeOrdering, LargestFirstAndStable) {
    TempTree tree;
    const int count = GetParam();
    for (int i = 0; i < count; ++i)
        tree.file("f" + std::to_string(i), static_cast<std::uint64_t>(i % 3) * 10);
    std::vector<std::string> expected;
    const auto order = listing_order(tree.path());
    for (int size : {20, 10, 0}) {
        for (const auto& name : order) {
            if ((std::stoi(name.substr(1)) % 3) * 10 == size) expected.push_back(name);
        }
    }
    const auto outcome = walk(tree.path());
    std::vector<std::string> got;
    for (const auto& c : outcome.root.children) got.push_back(c.name());
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, WalkTreeOrdering, ::testing::Values(2, 7, 20, 21, 64));

TEST(WalkTree, RootsThatCannotBeListed) {
    TempTree tree;
    // A root removed after its checks is a directory of size 0 and one issue.
    const auto missing = walk(tree.at("gone"));
    EXPECT_TRUE(missing.root.is_dir);
    EXPECT_EQ(missing.root.name(), "gone");
    ASSERT_EQ(missing.issues.size(), 1u);
    EXPECT_EQ(missing.issues[0].path, tree.at("gone"));
    EXPECT_EQ(missing.issues[0].message, "No such file or directory (os error 2)");

    // "/" is its own name; cancelling at once finishes it without listing.
    const auto slash = walk_tree(
        "/", [] { return true; }, no_poll);
    EXPECT_EQ(slash.root.name(), "/");
    EXPECT_TRUE(slash.root.is_dir);
    EXPECT_TRUE(slash.root.children.empty());
}

TEST(WalkTree, ListsTreesWhosePathsExceedPathMax) {
    TempTree tree;
    const std::string name(250, 'x');
    UniqueFd fd(::open(tree.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const int levels = PATH_MAX / 250 + 4;
    for (int i = 0; i < levels; ++i) {
        ASSERT_EQ(::mkdirat(fd.get(), name.c_str(), 0755), 0);
        fd = UniqueFd(::openat(fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(fd);
    }
    UniqueFd file(::openat(fd.get(), "deep.bin", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_EQ(::ftruncate(file.get(), 42), 0);

    const auto outcome = walk(tree.path());
    EXPECT_TRUE(outcome.issues.empty()) << outcome.issues.at(0).message;
    EXPECT_EQ(outcome.root.size, 42u);
    const NodeRecord* node = &outcome.root;
    for (int i = 0; i < levels; ++i) node = &node->children.at(0);
    EXPECT_GT(node->children.at(0).path().size(), static_cast<size_t>(PATH_MAX));
    EXPECT_EQ(node->children.at(0).name(), "deep.bin");
}

TEST(WalkTree, DirectorySizesSaturate) {
    // tmpfs takes sparse files up to 2^63 - 1 bytes.
    TempTree tree("/dev/shm");
    tree.dir("sub");
    const auto huge = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    for (const char* name : {"a", "b", "sub/c"}) {
        UniqueFd fd(::open(tree.at(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        if (::ftruncate(fd.get(), static_cast<off_t>(huge)) != 0)
            GTEST_SKIP() << "no sparse files that large here";
    }
    const auto outcome = walk(tree.path());
    EXPECT_EQ(outcome.root.size, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(child(outcome.root, "sub")->size, huge);
}

// (files under the root, expected polls): the root counts as the first entry.
class WalkTreePolling : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(WalkTreePolling, PollsOncePerInterval) {
    TempTree tree;
    const auto [files, polls] = GetParam();
    tree.dir("a");
    for (int i = 1; i < files; ++i) tree.file((i % 2 ? "a/f" : "f") + std::to_string(i), 1);
    int polled = 0;
    const auto outcome = walk_tree(tree.path(), never, [&] { ++polled; });
    EXPECT_EQ(polled, polls);
    EXPECT_EQ(count_nodes(outcome.root), static_cast<size_t>(files + 1));
}

INSTANTIATE_TEST_SUITE_P(Counts, WalkTreePolling,
                         ::testing::Values(std::pair{198, 0}, std::pair{199, 1}, std::pair{398, 1},
                                           std::pair{399, 2}));

TEST(WalkTree, CancellationStopsReadingAndFinishesOpenFrames) {
    TempTree tree;
    for (int d = 0; d < 5; ++d) {
        tree.dir("d" + std::to_string(d));
        for (int f = 0; f < 100; ++f) tree.file("d" + std::to_string(d) + "/f" + std::to_string(f), 1);
    }
    bool cancelled = false;
    int polled = 0;
    const auto outcome = walk_tree(
        tree.path(), [&] { return cancelled; },
        [&] {
            ++polled;
            cancelled = true;
        });
    EXPECT_EQ(polled, 1);
    // The 200th entry is kept; nothing after it is examined.
    EXPECT_EQ(count_nodes(outcome.root), SIGNAL_POLL_INTERVAL);
}

TEST(WalkTree, EntriesRemovedMidScanBecomeIssues) {
    TempTree tree;
    const int files = 300;
    for (int i = 0; i < files; ++i) tree.file("f" + std::to_string(i), 1);
    // The first poll comes with the 199th file; the rest of the listing is
    // already buffered when they disappear.
    const auto outcome = walk_tree(tree.path(), never, [&] {
        for (int i = 0; i < files; ++i) ::unlink(tree.at("f" + std::to_string(i)).c_str());
    });
    EXPECT_EQ(outcome.root.children.size(), 199u);
    ASSERT_EQ(outcome.issues.size(), static_cast<size_t>(files - 199));
    for (const auto& issue : outcome.issues) {
        EXPECT_EQ(issue.message, "No such file or directory (os error 2)");
        EXPECT_TRUE(issue.path.starts_with(tree.path() + "/f")) << issue.path;
    }
}

bool is_mount_of_type(const char* path, long magic) {
    struct statfs info {};
    return ::statfs(path, &info) == 0 && info.f_type == magic;
}

TEST(WalkTree, PseudoFilesystemsBelowTheRootAreNotListed) {
    // /dev/pts is a devpts mount on most Linux systems.
    if (!is_mount_of_type("/dev/pts", 0x1cd1)) GTEST_SKIP() << "/dev/pts is not devpts here";
    const auto dev = walk("/dev");
    const NodeRecord* pts = child(dev.root, "pts");
    ASSERT_NE(pts, nullptr);
    EXPECT_TRUE(pts->is_dir);
    EXPECT_TRUE(pts->children.empty());
    bool reported = false;
    for (const auto& issue : dev.issues)
        reported |= issue.path == "/dev/pts" && issue.message == "skipped: pseudo-filesystem (devpts)";
    EXPECT_TRUE(reported);
}

TEST(ResolveRoot, AnyUnreadableRootReadsAsMissing) {
    const std::string with_nul("/tmp/a\0b", 8);
    const auto result = resolve_root(with_nul);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().kind, ExceptionKind::FileNotFoundError);
    EXPECT_EQ(result.error().message, with_nul + " does not exist");
}

}  // namespace
}  // namespace orvalnest
