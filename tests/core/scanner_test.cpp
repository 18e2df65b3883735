#include "orvalnest/scanner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cleaner_test_support.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {
namespace {

using TempTree = testing::TempDir;

const auto never = [] { return false; };
const auto no_poll = [] {};

WalkOutcome walk(const std::string& root) { return walk_tree(root, never, no_poll); }

// The child called `name`; a missing one fails the test.
const NodeRecord& child(const NodeRecord& node, std::string_view name) {
    for (const auto& c : node.children) {
        if (c.name_bytes() == name) return c;
    }
    throw std::out_of_range("no child " + std::string(name));
}

size_t count_nodes(const NodeRecord& node) {
    size_t total = 1;
    for (const auto& c : node.children) total += count_nodes(c);
    return total;
}

// What a node shows of itself: link, directory, sizes and how many children it lists.
using Shape = std::tuple<bool, bool, std::uint64_t, std::uint64_t, size_t>;
Shape shape(const NodeRecord& node) {
    return {node.is_symlink, node.is_dir, node.size, node.disk_usage, node.children.size()};
}

std::uint64_t allocated(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

using Issues = std::vector<std::pair<std::string, std::string>>;
Issues issues_of(const WalkOutcome& outcome) {
    Issues issues;
    for (const auto& issue : outcome.issues) issues.emplace_back(issue.path, issue.message);
    return issues;
}

// The names of a directory in the order its listing returns them.
std::vector<std::string> listing_order(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.push_back(entry.path().filename());
    return names;
}

TEST(WalkTree, ChildrenLargestFirstKeepingTheListingOrderOfEqualSizes) {
    // 20 and 21 children straddle the switch from insertion sort to merge sort.
    for (int count : {7, 20, 21, 64}) {
        TempTree tree;
        const auto size_of = [](const std::string& name) { return std::stoi(name.substr(1)) % 3 * 10; };
        for (int i = 0; i < count; ++i) tree.file("f" + std::to_string(i), size_of("f" + std::to_string(i)));
        auto expected = listing_order(tree.path());
        std::ranges::stable_sort(expected, std::greater{}, size_of);
        std::vector<std::string> got;
        for (const auto& c : walk(tree.path()).root.children) got.push_back(c.name());
        EXPECT_EQ(got, expected) << count << " children";
    }
}

// Sizes stop at the largest value instead of wrapping (tmpfs takes sparse
// files up to 2^63 - 1 bytes, so three of them overflow).
TEST(WalkTree, DirectorySizesSaturate) {
    TempTree tree("/dev/shm");
    const auto huge = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    for (const char* name : {"a", "b", "sub/c"}) {
        tree.file(name, 0);
        if (::truncate((tree / name).c_str(), static_cast<off_t>(huge)) != 0)
            GTEST_SKIP() << "no sparse files that large here";
    }
    const auto outcome = walk(tree.path());
    EXPECT_EQ(outcome.root.size, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(child(outcome.root, "sub").size, huge);
}

// A link counts its own blocks, never its target's length; the chain stops at
// MAX_DEPTH with the unlisted directory shown, its own blocks counted, and one issue.
TEST(WalkTree, LinksCountNoTargetLengthAndTheWalkStopsAtMaxDepth) {
    TempTree tree;
    tree.file("target", 5000);
    ASSERT_EQ(::symlink("target", (tree / "link").c_str()), 0);
    std::string chain = tree / "d";
    for (unsigned depth = 1; depth <= MAX_DEPTH + 1; ++depth, chain += "/d") {
        ASSERT_EQ(::mkdir(chain.c_str(), 0755), 0);
        testing::write_file(chain + "/f", "x");
    }
    const auto outcome = walk(tree.path());
    EXPECT_EQ(shape(child(outcome.root, "link")), (Shape{true, false, 0, allocated(tree / "link"), 0}));
    const NodeRecord* node = &child(outcome.root, "d");
    for (unsigned depth = 1; depth < MAX_DEPTH; ++depth) node = &child(*node, "d");
    EXPECT_EQ(shape(*node), (Shape{false, true, 0, allocated(node->path()), 0}));
    EXPECT_EQ(outcome.root.size, 5000u + MAX_DEPTH - 1);  // one byte per listed level
    EXPECT_EQ(issues_of(outcome), (Issues{{node->path(), "skipped: nested deeper than 256 levels"}}));
}

TEST(WalkTree, OneFilesystemStaysOffAMountedFolder) {
    TempTree tree;
    testing::PrivateMounts mounts;
    if (auto refused = mounts.tmpfs(tree / "mnt")) GTEST_SKIP() << *refused;
    testing::write_file(tree / "mnt/inside", std::string(50000, 'y'));
    testing::write_file(tree / "outside", std::string(700, 'z'));
    EXPECT_EQ(walk(tree.path()).root.size, 50700u);
    const auto outcome = walk_tree(tree.path(), {.one_filesystem = true, .exclude = {}, .threads = 1}, never,
                                   [](const WalkProgress&) {});
    EXPECT_EQ(outcome.root.size, 700u);
    EXPECT_EQ(shape(child(outcome.root, "mnt")), (Shape{false, true, 0, 0, 0}));
    EXPECT_EQ(issues_of(outcome), (Issues{{tree / "mnt", "skipped: other filesystem"}}));
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

    // The workers of a parallel walk open folders their own way: both must get there.
    for (unsigned threads : {1u, 4u}) {
        WalkOptions options;
        options.threads = threads;
        const auto outcome = walk_tree(tree.path(), options, never, [](const WalkProgress&) {});
        EXPECT_EQ(issues_of(outcome), Issues{});
        EXPECT_EQ(outcome.root.size, 42u);
        const NodeRecord* node = &outcome.root;
        for (int i = 0; i < levels; ++i) node = &node->children.at(0);
        EXPECT_GT(node->children.at(0).path().size(), static_cast<size_t>(PATH_MAX));
        EXPECT_EQ(node->children.at(0).name(), "deep.bin");
    }
}

TEST(WalkTree, CancellationStopsReadingAndFinishesOpenFrames) {
    TempTree tree;
    for (int f = 0; f < 500; ++f) tree.file("d" + std::to_string(f % 5) + "/f" + std::to_string(f), 1);
    int polled = 0;
    bool cancelled = false;
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
    for (int i = 0; i < 300; ++i) tree.file("f" + std::to_string(i), 1);
    const auto names = listing_order(tree.path());
    // The first poll comes with the 199th file; the rest of the listing is
    // already buffered when they disappear.
    const auto outcome = walk_tree(tree.path(), never, [&] {
        for (const auto& name : names) ::unlink((tree / name).c_str());
    });
    EXPECT_EQ(outcome.root.children.size(), 199u);
    Issues expected;
    for (size_t i = 199; i < names.size(); ++i)
        expected.emplace_back(tree / names[i], "No such file or directory (os error 2)");
    EXPECT_EQ(issues_of(outcome), expected);
}

}  // namespace
}  // namespace orvalnest
