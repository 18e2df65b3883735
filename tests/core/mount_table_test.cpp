#include "orvalnest/mount_table.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "cleaner_test_support.hpp"
#include "orvalnest/tree_beneath.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using Aliases = std::optional<std::vector<std::string>>;

// One disk (8:1) mounted on /mnt/data and on /var/lib/mysql, a folder of it
// bound into a home, and the root filesystem (8:2) bound below itself.
MountTable sample() {
    return MountTable::of({{1, 1, makedev(8, 2), "/", "/"},
                           {2, 1, makedev(8, 1), "/", "/mnt/data"},
                           {3, 1, makedev(8, 1), "/", "/var/lib/mysql"},
                           {4, 1, makedev(8, 1), "/music", "/home/u/Music"},
                           {5, 1, makedev(8, 2), "/etc/ssh", "/scan/etc-ssh"}});
}

TEST(MountTable, TellsEveryPlaceAFolderShowsUpAndWhatIsMountedBelow) {
    const MountTable table = sample();
    const auto& entries = table.entries();
    EXPECT_EQ(table.aliases(entries[1], "/mnt/data/ibdata1"),
              (Aliases{{"/mnt/data/ibdata1", "/var/lib/mysql/ibdata1"}}));
    EXPECT_EQ(table.aliases(entries[1], "/mnt/data/music/a.ogg"),
              (Aliases{{"/mnt/data/music/a.ogg", "/var/lib/mysql/music/a.ogg", "/home/u/Music/a.ogg"}}));
    EXPECT_EQ(table.aliases(entries[4], "/scan/etc-ssh/ssh_config"),
              (Aliases{{"/scan/etc-ssh/ssh_config", "/etc/ssh/ssh_config"}}));
    EXPECT_EQ(table.aliases(entries[1], "/elsewhere"), std::nullopt);
    EXPECT_EQ(table.holding("/home/u/Music/x")->id, 4u);
    EXPECT_EQ(table.mount_below("/home"), "/home/u/Music");
    EXPECT_EQ(table.mount_below("/var/lib/mysql"), std::nullopt);
    EXPECT_TRUE(table.is_mount_point("/var/lib/mysql") && !table.is_mount_point("/var/lib"));
    EXPECT_EQ(decode_mountinfo_path("/a\\040b\\134c\\011"), "/a b\\c\t");
}

// The table is read once and again only when the kernel says it changed.
TEST(MountTable, IsReadAgainOnlyAfterAChange) {
    testing::TempDir tmp;
    testing::PrivateMounts mounts;
    if (auto refused = mounts.tmpfs(tmp / "first")) GTEST_SKIP() << *refused;
    auto table = MountTable::read().value();
    EXPECT_EQ(table.refresh_if_changed(), false);
    ASSERT_FALSE(mounts.tmpfs(tmp / "second"));
    EXPECT_EQ(table.refresh_if_changed(), true);
    EXPECT_TRUE(table.is_mount_point(testing::real(tmp / "second")));
    EXPECT_EQ(table.refresh_if_changed(), false);
}

// Deeper than the descriptors it keeps open, with a link to a folder outside,
// a file under two names, and a filesystem mounted inside.
TEST(TreeBeneath, MeasuresAndRemovesWithoutFollowingLinksOrLeavingItsFilesystem) {
    testing::TempDir tmp;
    std::string deep = tmp / "top";
    for (int i = 0; i < 150; ++i) deep += "/d";
    tmp.file(deep.substr(tmp.path().size() + 1) + "/f", 8192);
    tmp.file("outside/keep", 10);
    fs::create_directory_symlink(tmp / "outside", tmp / "top/link");
    fs::create_hard_link(deep + "/f", tmp / "top/f2");
    fs::create_directories(tmp / "top/mounted");
    const UniqueFd dir(::open(tmp.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));

    const auto measured = measure_beneath(dir.get(), "top").value();
    EXPECT_EQ(measured.entries, 1u + 150 + 1 + 1 + 1);  // top, the folders, the file once, the link, mounted/
    EXPECT_GE(measured.disk_usage, 8192u);

    testing::PrivateMounts mounts;
    if (!mounts.tmpfs(tmp / "top/mounted")) {
        tmp.file("top/mounted/on-it", 1);
        EXPECT_EQ(measure_beneath(dir.get(), "top").value().entries, measured.entries - 1);
        EXPECT_FALSE(remove_beneath(dir.get(), "top"));
        EXPECT_TRUE(fs::exists(tmp / "top/mounted/on-it"));
        ::umount2((tmp / "top/mounted").c_str(), MNT_DETACH);
    }
    const auto removed = remove_beneath(dir.get(), "top");
    ASSERT_TRUE(removed) << removed.error().text();
    EXPECT_FALSE(fs::exists(tmp / "top"));
    EXPECT_TRUE(fs::exists(tmp / "outside/keep"));
}

}  // namespace
}  // namespace orvalnest
