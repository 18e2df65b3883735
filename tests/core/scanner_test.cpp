#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cleaner_test_support.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/tree.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {
namespace {

using TempTree = testing::TempDir;
namespace fs = std::filesystem;

const auto never = [] { return false; };
const auto quiet = [](const WalkProgress&) {};

std::unique_ptr<Tree> walk(const std::string& root, WalkOptions options = {}) {
    return walk_tree(root, options, never, quiet);
}

WalkOptions with_threads(unsigned threads, TreeOrder order = TreeOrder::DiskUsage) {
    WalkOptions options;
    options.threads = threads;
    options.order = order;
    return options;
}

EntryIndex at(const Tree& tree, const std::string& relative) {
    EntryIndex entry = 0;
    for (const auto& part : fs::path(relative)) {
        const auto found = tree.child_named(entry, part.string());
        if (!found) throw std::out_of_range("no " + relative);
        entry = *found;
    }
    return entry;
}

std::uint64_t allocated(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return static_cast<std::uint64_t>(st.st_blocks) * 512;
}

using Issues = std::vector<std::pair<std::string, std::string>>;
Issues issues_of(const Tree& tree) {
    Issues issues;
    for (const auto& issue : tree.issues()) issues.emplace_back(issue.path, issue.message);
    return issues;
}

// What holds for every directory of every tree: its sums, its children's
// order and their way back to it.
void expect_consistent(const Tree& tree) {
    for (EntryIndex entry = 0; entry < tree.size(); ++entry) {
        if (!tree.is_dir(entry)) continue;
        const ChildRange range = tree.children(entry);
        std::uint64_t size = 0, disk = 0;
        std::uint32_t below = range.count;
        for (EntryIndex child = range.first; child < range.first + range.count; ++child) {
            ASSERT_EQ(tree.parent(child), entry) << tree.path(child);
            size += tree.size(child);
            disk += tree.disk_usage(child);
            below += tree.entries_below(child);
            if (child > range.first && tree.order() == TreeOrder::DiskUsage) {
                const auto before =
                    std::pair(-static_cast<std::int64_t>(tree.disk_usage(child - 1)), tree.name(child - 1));
                EXPECT_LT(before,
                          std::pair(-static_cast<std::int64_t>(tree.disk_usage(child)), tree.name(child)));
            }
        }
        EXPECT_EQ(tree.size(entry), size) << tree.path(entry);
        if (range.count) {
            EXPECT_EQ(tree.disk_usage(entry), allocated(tree.path(entry)) + disk) << tree.path(entry);
        }
        EXPECT_EQ(tree.entries_below(entry), below) << tree.path(entry);
    }
}

// The names of a directory in the order its listing returns them.
std::vector<std::string> listing_order(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) names.push_back(entry.path().filename());
    return names;
}

TEST(WalkTree, ChildrenInTheAskedOrder) {
    // 20 and 21 children straddle the switch from insertion sort to merge sort.
    for (int count : {7, 21, 64}) {
        TempTree tree;
        const auto size_of = [](const std::string& name) { return std::stoi(name.substr(1)) % 3 * 10; };
        for (int i = 0; i < count; ++i) tree.file("f" + std::to_string(i), size_of("f" + std::to_string(i)));
        auto by_size = listing_order(tree.path());
        std::ranges::stable_sort(by_size, std::greater{}, size_of);
        auto by_disk = by_size;
        std::ranges::sort(by_disk, [&](const std::string& a, const std::string& b) {
            return std::pair(-static_cast<std::int64_t>(allocated(tree / a)), a) <
                   std::pair(-static_cast<std::int64_t>(allocated(tree / b)), b);
        });
        for (const auto& [order, expected] :
             {std::pair(TreeOrder::ApparentSize, by_size), {TreeOrder::DiskUsage, by_disk}}) {
            const auto walked = walk(tree.path(), with_threads(1, order));
            std::vector<std::string> got;
            const ChildRange range = walked->children(0);
            for (EntryIndex child = range.first; child < range.first + range.count; ++child)
                got.emplace_back(walked->name(child));
            EXPECT_EQ(got, expected) << count << " children";
        }
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
    const auto walked = walk(tree.path());
    EXPECT_EQ(walked->size(0), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(walked->apparent_size(0), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(walked->size(at(*walked, "sub")), huge);
}

// A link counts its own blocks and length, never its target's. With a depth
// limit the chain stops there (the unlisted folder shown with its own blocks
// and one issue); without one it goes to the end, on every thread count.
TEST(WalkTree, LinksAndDepth) {
    TempTree tree;
    tree.file("target", 5000);
    ASSERT_EQ(::symlink("target", (tree / "link").c_str()), 0);
    std::string chain = tree / "d", relative = "d";
    constexpr unsigned kLevels = MAX_DEPTH + 44;
    for (unsigned depth = 1; depth <= kLevels; ++depth, chain += "/d", relative += "/d") {
        ASSERT_EQ(::mkdir(chain.c_str(), 0755), 0);
        testing::write_file(chain + "/f", "x");
    }
    WalkOptions limited;
    limited.max_depth = MAX_DEPTH;
    limited.order = TreeOrder::ApparentSize;
    const auto stopped = walk(tree.path(), limited);
    const EntryIndex link = at(*stopped, "link");
    EXPECT_EQ(std::tuple(stopped->size(link), stopped->disk_usage(link), stopped->apparent_size(link)),
              std::tuple(0u, allocated(tree / "link"), 6u));
    std::string deepest = "d";
    for (unsigned depth = 1; depth < MAX_DEPTH; ++depth) deepest += "/d";
    const EntryIndex cut = at(*stopped, deepest);
    EXPECT_EQ(std::tuple(stopped->size(cut), stopped->disk_usage(cut), stopped->children(cut).count),
              std::tuple(0u, allocated(tree / deepest), 0u));
    EXPECT_TRUE(stopped->has(cut, entry_flag::Skipped) && stopped->has(0, entry_flag::Incomplete));
    EXPECT_EQ(stopped->size(0), 5000u + MAX_DEPTH - 1);  // one byte per listed level
    EXPECT_EQ(issues_of(*stopped), (Issues{{tree / deepest, "skipped: nested deeper than 256 levels"}}));

    for (unsigned threads : {1u, 2u}) {
        const auto whole = walk(tree.path(), with_threads(threads));
        EXPECT_EQ(whole->size(0), 5000u + kLevels);
        EXPECT_EQ(whole->issues().size(), 0u);
        EXPECT_FALSE(whole->has(0, entry_flag::Incomplete));
        EXPECT_EQ(whole->size(), 3 + 2 * kLevels);
        expect_consistent(*whole);
    }
}

TEST(WalkTree, OneFilesystemStaysOffAMountedFolder) {
    TempTree tree;
    testing::PrivateMounts mounts;
    if (auto refused = mounts.tmpfs(tree / "mnt")) GTEST_SKIP() << *refused;
    testing::write_file(tree / "mnt/inside", std::string(50000, 'y'));
    testing::write_file(tree / "outside", std::string(700, 'z'));
    EXPECT_EQ(walk(tree.path())->size(0), 50700u);
    WalkOptions options;
    options.one_filesystem = true;
    const auto walked = walk(tree.path(), options);
    EXPECT_EQ(walked->size(0), 700u);
    const EntryIndex mount = at(*walked, "mnt");
    EXPECT_EQ(std::tuple(walked->disk_usage(mount), walked->children(mount).count), std::tuple(0u, 0u));
    EXPECT_EQ(issues_of(*walked), (Issues{{tree / "mnt", "skipped: other filesystem"}}));
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

    for (unsigned threads : {1u, 4u}) {
        const auto walked = walk(tree.path(), with_threads(threads));
        EXPECT_EQ(issues_of(*walked), Issues{});
        EXPECT_EQ(walked->size(0), 42u);
        EntryIndex node = 0;
        for (int i = 0; i < levels; ++i) node = walked->children(node).first;
        const EntryIndex deep = walked->children(node).first;
        EXPECT_GT(walked->path(deep).size(), static_cast<size_t>(PATH_MAX));
        EXPECT_EQ(walked->name(deep), "deep.bin");
    }
}

TEST(WalkTree, CancellationStopsReadingAtThePoll) {
    TempTree tree;
    for (int f = 0; f < 500; ++f) tree.file("d" + std::to_string(f % 5) + "/f" + std::to_string(f), 1);
    int polled = 0;
    bool cancelled = false;
    std::uint64_t examined = 0;
    walk_tree(
        tree.path(), WalkOptions{}, [&] { return cancelled; },
        [&](const WalkProgress& progress) {
            ++polled;
            examined = progress.entries;
            cancelled = true;
        });
    EXPECT_EQ(polled, 1);
    EXPECT_EQ(examined, SIGNAL_POLL_INTERVAL);
}

TEST(WalkTree, EntriesRemovedMidScanBecomeIssues) {
    TempTree tree;
    for (int i = 0; i < 300; ++i) tree.file("f" + std::to_string(i), 1);
    const auto names = listing_order(tree.path());
    // The first poll comes with the 199th file; the rest of the listing is
    // already buffered when they disappear.
    const auto walked = walk_tree(tree.path(), WalkOptions{}, never, [&](const WalkProgress&) {
        for (const auto& name : names) ::unlink((tree / name).c_str());
    });
    EXPECT_EQ(walked->children(0).count, 199u);
    EXPECT_TRUE(walked->has(0, entry_flag::Unreadable));
    Issues expected;
    for (size_t i = 199; i < names.size(); ++i)
        expected.emplace_back(tree / names[i], "No such file or directory (os error 2)");
    EXPECT_EQ(issues_of(*walked), expected);
}

// A listing that fails part-way keeps what it read, marks its folder and the
// folders above it, and says so once, after what it read, whatever the number
// of threads. A name gone before it could be examined is said in its place,
// before the subfolder listed after it.
TEST(WalkTree, AListingThatFailsPartWayIsMarked) {
    TempTree tree;
    for (int i = 0; i < 3; ++i) tree.file("bad/f" + std::to_string(i), 10);
    tree.file("bad/sub/x", 1);
    tree.file("good/g", 10);
    struct stat bad {};
    ASSERT_EQ(::stat((tree / "bad").c_str(), &bad), 0);
    const auto names = listing_order(tree / "bad");
    const auto read = static_cast<std::uint32_t>(std::ranges::find(names, "sub") - names.begin() + 1);
    for (unsigned threads : {1u, 2u}) {
        WalkOptions options = with_threads(threads);
        options.max_depth = 2;  // sub's own folder is an issue read before the failure
        // The folder's first batch ends with "ghost", which is not there, and
        // its subfolder; then EIO.
        options.read_directory = [&](int fd, std::byte* buffer, std::size_t size) -> ssize_t {
            struct stat listed {};
            ::fstat(fd, &listed);
            if (listed.st_ino != bad.st_ino) return ::getdents64(fd, buffer, size);
            if (::lseek(fd, 0, SEEK_CUR) != 0) {
                errno = EIO;
                return -1;
            }
            std::vector<std::byte> batch(size);
            const ssize_t filled = ::getdents64(fd, batch.data(), size);
            struct dirent64 ghost {};
            ghost.d_ino = 1;
            ghost.d_reclen = sizeof ghost;
            ghost.d_type = DT_REG;
            std::ranges::copy("ghost", ghost.d_name);
            ssize_t kept = 0;
            for (ssize_t at = 0; at < filled;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(batch.data() + at);
                const bool folder = entry->d_type == DT_DIR && entry->d_name[0] != '.';
                if (folder) {
                    std::memcpy(buffer + kept, &ghost, sizeof ghost);
                    kept += sizeof ghost;
                }
                std::memcpy(buffer + kept, batch.data() + at, entry->d_reclen);
                kept += entry->d_reclen;
                at += entry->d_reclen;
                if (folder) break;
            }
            return kept;
        };
        const auto walked = walk(tree.path(), options);
        const EntryIndex folder = at(*walked, "bad");
        EXPECT_EQ(walked->children(folder).count, read) << threads;
        EXPECT_TRUE(walked->has(folder, entry_flag::Unreadable));
        EXPECT_TRUE(walked->has(0, entry_flag::Incomplete));
        EXPECT_FALSE(walked->has(at(*walked, "good"), entry_flag::Incomplete | entry_flag::Unreadable));
        EXPECT_EQ(issues_of(*walked), (Issues{{tree / "bad/ghost", "No such file or directory (os error 2)"},
                                              {tree / "bad/sub", "skipped: nested deeper than 2 levels"},
                                              {tree / "bad", "Input/output error (os error 5)"}}));
        EXPECT_EQ(walked->issues()[2].entry, folder);
    }
}

}  // namespace
}  // namespace orvalnest
