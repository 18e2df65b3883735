#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include "cleaner_test_support.hpp"
#include "orvalnest/scanner.hpp"
#include "orvalnest/tree_report.hpp"

namespace orvalnest {
namespace {

std::unique_ptr<Tree> walk(const std::string& root) {
    return walk_tree(
        root, {}, [] { return false; }, [](const WalkProgress&) {});
}

std::vector<EntryIndex> all_children(const Tree& tree, EntryIndex folder) {
    const ChildRange range = tree.children(folder);
    std::vector<EntryIndex> children(range.count);
    std::iota(children.begin(), children.end(), range.first);
    return children;
}

// Names that share a long start, end within and past the eight bytes after
// it, and prefix one another; some sizes equal, some not.
class WideFolder : public ::testing::TestWithParam<int> {};

TEST_P(WideFolder, ChildrenAreLargestFirstThenByNameBytes) {
    testing::TempDir dir;
    const int count = GetParam();
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        std::string name = "IMG_2024_" + std::to_string(i * 7919 % 1000);
        name.resize(9 + static_cast<std::size_t>(i % 13), static_cast<char>('a' + i % 3));
        if (std::ranges::find(names, name) != names.end()) continue;
        names.push_back(name);
        dir.file(name, 0);
        if (i % 5 == 0)
            std::ofstream(dir / name) << std::string(static_cast<std::size_t>(i % 3) * 5000 + 1, 'x');
    }
    const auto tree = walk(dir.path());
    std::vector<std::tuple<std::uint64_t, std::string_view>> shown, expected;
    for (EntryIndex child : all_children(*tree, 0))
        shown.emplace_back(tree->disk_usage(child), tree->name(child));
    expected = shown;
    std::ranges::sort(expected, [](const auto& a, const auto& b) {
        return std::get<0>(a) != std::get<0>(b) ? std::get<0>(a) > std::get<0>(b)
                                                : std::get<1>(a) < std::get<1>(b);
    });
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(shown.size(), names.size());
}

INSTANTIATE_TEST_SUITE_P(Widths, WideFolder, ::testing::Values(40, 63, 64, 400));

TEST(FoldChildren, TakesTheFirstInAnyOrderAndAddsUpTheRest) {
    testing::TempDir dir;
    for (int i = 0; i < 12; ++i) {
        const std::string name = "f" + std::to_string(i);
        dir.file(name, static_cast<std::uint64_t>((i * 37) % 11) * 3000);
        const timespec times[2] = {{1'000'000 + (i * 5 % 12), 0}, {1'000'000 + (i * 5 % 12), 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (dir / name).c_str(), times, 0), 0);
    }
    const auto tree = walk(dir.path());
    for (const auto key :
         {SortKey::DiskUsage, SortKey::ApparentSize, SortKey::Size, SortKey::Mtime, SortKey::Name}) {
        for (const bool reverse : {false, true}) {
            const EntryOrder order{*tree, key, reverse};
            std::vector<EntryIndex> expected = all_children(*tree, 0);
            std::ranges::sort(expected, order);
            for (const std::uint32_t top : {0u, 1u, 5u, 12u, 40u}) {
                const FoldedChildren folded = fold_children(*tree, 0, top, order);
                const std::size_t shown = top == 0 ? 12 : std::min<std::size_t>(top, 12);
                EXPECT_EQ(folded.shown, std::vector<EntryIndex>(expected.begin(), expected.begin() + shown));
                std::uint64_t disk = 0, apparent = 0;
                for (std::size_t k = shown; k < expected.size(); ++k) {
                    disk += tree->disk_usage(expected[k]);
                    apparent += tree->apparent_size(expected[k]);
                }
                EXPECT_EQ(std::tuple(folded.rest, folded.rest_disk_usage, folded.rest_apparent_size),
                          std::tuple(static_cast<std::uint32_t>(12 - shown), disk, apparent));
            }
        }
    }
}

TEST(TallyCategories, AddsUpToTheTotalsOfTheTreeAndOfAnyFolder) {
    testing::TempDir dir;
    for (const char* name : {"a/x.jpg", "a/b/y.mp3", "a/b/z.txt", "c.zip", "d/e/f/g"}) dir.file(name, 12345);
    const auto tree = walk(dir.path());
    for (const EntryIndex root : {EntryIndex{0}, *tree->child_named(0, "a")}) {
        const auto tallies = tally_categories(*tree, root);
        CategoryTally sum;
        for (const CategoryTally& tally : tallies) {
            sum.disk_usage += tally.disk_usage;
            sum.apparent_size += tally.apparent_size;
            sum.count += tally.count;
        }
        EXPECT_EQ(sum.disk_usage, tree->disk_usage(root));
        EXPECT_EQ(sum.apparent_size, tree->apparent_size(root));
        EXPECT_EQ(sum.count, std::uint64_t{tree->entries_below(root)} + 1);
    }
    EXPECT_EQ(tally_categories(*tree, 0)[static_cast<std::size_t>(Category::Directory)].count, 6u);
}

}  // namespace
}  // namespace orvalnest
