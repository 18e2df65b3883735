// The Linux trash, checked against Debian's trash-cli: what we trash, the
// desktop's own tools must list and restore.
#if defined(__linux__)

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "cleaner_test_support.hpp"
#include "linux/directory_fd.hpp"
#include "linux/trash_info.hpp"
#include "linux/trash_location.hpp"
#include "linux/trash_name.hpp"
#include "orvalnest/text.hpp"
#include "trash.hpp"

namespace orvalnest::platform {
namespace {

namespace fs = std::filesystem;
using namespace linux_trash;
using orvalnest::testing::read_file;
using orvalnest::testing::ScopedEnv;
using orvalnest::testing::write_file;

std::string percent_decode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool escape = s[i] == '%' && i + 2 < s.size();
        out += escape ? static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16)) : s[i];
        if (escape) i += 2;
    }
    return out;
}

struct Entry {
    std::string name;  // in files/
    std::string path;  // Path=, decoded
    std::string date;  // DeletionDate=
};

std::vector<Entry> trash_entries(const std::string& trash) {
    std::vector<Entry> out;
    if (!fs::exists(trash + "/info")) return out;
    for (const auto& info : fs::directory_iterator(trash + "/info")) {
        std::string name = info.path().filename().string();
        EXPECT_TRUE(name.ends_with(kInfoSuffix)) << name;
        name.resize(name.size() - kInfoSuffix.size());
        std::istringstream lines(read_file(info.path()));
        Entry entry{name, {}, {}};
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "[Trash Info]");
        while (std::getline(lines, line)) {
            if (line.starts_with("Path=")) entry.path = percent_decode(line.substr(5));
            if (line.starts_with("DeletionDate=")) entry.date = line.substr(13);
        }
        EXPECT_TRUE(fs::exists(fs::symlink_status(trash + "/files/" + name)))
            << "info without item: " << name;
        out.push_back(entry);
    }
    return out;
}

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
        ::pclose(pipe);
    }
    return out;
}

// What trashing `path` came to: "moved", or the failure text.
std::string trash_text(const std::string& path) {
    const auto result = move_to_trash(path);
    return result ? "moved" : result.error().text();
}

class LinuxTrash : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(home_);
        fs::create_directories(work_);
        env_.set("HOME", home_);
        env_.set("XDG_DATA_HOME", home_ + "/.local/share");
    }

    // Every DeletionDate= a trash call made since the test began may have written.
    std::set<std::string> possible_dates() const {
        std::set<std::string> out;
        for (std::time_t t = started_; t <= std::time(nullptr); ++t) out.insert(deletion_date(t));
        return out;
    }

    orvalnest::testing::TempDir tmp_;
    const std::string root_ = orvalnest::testing::real(tmp_.path());
    const std::string home_ = root_ + "/home", work_ = root_ + "/work",
                      trash_ = home_ + "/.local/share/Trash";
    ScopedEnv env_;
    orvalnest::testing::PrivateMounts mounts_;
    const std::time_t started_ = std::time(nullptr);
};

// Names that break naive encoders, shells and listing parsers.
const std::vector<std::string> kAwkwardNames = {
    "with space.txt", "100%.txt",           "#hash", "new\nline", "caf\xC3\xA9 \xE6\x97\xA5.txt",
    "bad\xFF.bin",    std::string(250, 'L')};

TEST_F(LinuxTrash, TrashCliListsEveryItemWithItsOriginalPathAndDate) {
    std::set<std::string> originals;
    for (const auto& name : kAwkwardNames) {
        write_file(work_ + "/" + name, name);
        originals.insert(work_ + "/" + name);
    }
    fs::create_directories(work_ + "/a dir/inner");
    write_file(work_ + "/a dir/inner/f", "x");
    fs::create_symlink("with space.txt", work_ + "/link");
    fs::create_symlink("/nowhere/at/all", work_ + "/dangling");
    originals.insert({work_ + "/a dir", work_ + "/link", work_ + "/dangling"});
    // The link goes first so that its target is still there: it must go as itself.
    ASSERT_TRUE(move_to_trash(work_ + "/link").has_value());
    for (const auto& path : originals) {
        if (path == work_ + "/link") continue;
        ASSERT_EQ(trash_text(path), "moved");
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }

    const auto entries = trash_entries(trash_);
    const auto dates = possible_dates();
    std::set<std::string> recorded;
    const std::string listing = run("trash-list");
    for (const auto& entry : entries) {
        recorded.insert(entry.path);
        EXPECT_TRUE(dates.contains(entry.date)) << entry.date;
        EXPECT_LE(entry.name.size() + kInfoSuffix.size(), 255u);
        std::string shown_date = entry.date;
        shown_date[10] = ' ';
        EXPECT_NE(listing.find(shown_date + " " + lossy_utf8(entry.path)), std::string::npos)
            << lossy_utf8(entry.path) << " missing from:\n"
            << listing;
    }
    EXPECT_EQ(recorded, originals);
    EXPECT_EQ(fs::read_symlink(trash_ + "/files/link"), "with space.txt");
    EXPECT_EQ(fs::read_symlink(trash_ + "/files/dangling"), "/nowhere/at/all");
    EXPECT_EQ(read_file(trash_ + "/files/a dir/inner/f"), "x");
    EXPECT_EQ(fs::status(trash_).permissions(), fs::perms::owner_all);
}

TEST_F(LinuxTrash, TrashRestorePutsAUtf8NamedFileBackByteForByte) {
    const std::string path = work_ + "/r\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93.bin";
    const std::string content("\0\xFF\r\nbinary", 10);
    write_file(path, content);
    ASSERT_TRUE(move_to_trash(path).has_value());
    ASSERT_FALSE(fs::exists(path));
    run("cd '" + work_ + "' && printf '0\\n' | trash-restore >/dev/null 2>&1");
    EXPECT_EQ(read_file(path), content);
    EXPECT_TRUE(trash_entries(trash_).empty());
}

TEST_F(LinuxTrash, ConcurrentSameNamesPairEveryItemWithOneInfoFileAndSpareOrphans) {
    constexpr int kThreads = 20;
    // An item left in files/ without its info file has the first name all of them want.
    fs::create_directories(trash_ + "/files");
    write_file(trash_ + "/files/same.txt", "orphan");
    for (int i = 0; i < kThreads; ++i) {
        fs::create_directories(work_ + "/d" + std::to_string(i));
        write_file(work_ + "/d" + std::to_string(i) + "/same.txt", std::to_string(i));
    }
    std::vector<std::string> texts(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { texts[i] = trash_text(work_ + "/d" + std::to_string(i) + "/same.txt"); });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(texts, std::vector<std::string>(kThreads, "moved"));

    const auto entries = trash_entries(trash_);
    EXPECT_EQ(entries.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(std::distance(fs::directory_iterator(trash_ + "/files"), {}), kThreads + 1);
    EXPECT_EQ(read_file(trash_ + "/files/same.txt"), "orphan");
    const std::string listing = run("trash-list");
    for (const auto& entry : entries) {
        // The item under each name is the one its info file says it was.
        const std::string dir = fs::path(entry.path).parent_path().filename().string();
        EXPECT_EQ("d" + read_file(trash_ + "/files/" + entry.name), dir);
        EXPECT_NE(listing.find(" " + entry.path + "\n"), std::string::npos) << listing;
    }
}

// Root passes every permission check: what only permissions refuse runs as
// nobody in a child process (as an ordinary user, as that user). Returns the
// failure text, or "moved".
constexpr uid_t kNobody = 65534;

std::string trash_as_nobody(const std::string& path) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        std::string text = "could not become nobody";
        if (::geteuid() != 0 || (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0)) text = trash_text(path);
        [[maybe_unused]] const ssize_t n = ::write(pipe_fds[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    ::close(pipe_fds[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

// The info file is written before the move: a move the kernel then refuses
// (here: the item's folder is not writable) must take it back.
TEST_F(LinuxTrash, ARefusedMoveLeavesTheItemAndNoInfoFile) {
    const std::string data = root_ + "/data", shut = root_ + "/shut";
    fs::create_directories(data);
    fs::create_directories(shut);
    write_file(shut + "/keep.txt", "keep");
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(shut.c_str(), 0555), 0);
    env_.set("XDG_DATA_HOME", data);
    EXPECT_EQ(trash_as_nobody(shut + "/keep.txt"),
              "Error during a `trash` operation: Os { code: 13, description: \"cannot move " + shut +
                  "/keep.txt to " + data + "/Trash/files: Permission denied (os error 13)\" }");
    EXPECT_EQ(read_file(shut + "/keep.txt"), "keep");
    EXPECT_TRUE(fs::is_empty(data + "/Trash/info"));
}

enum class BadTrash { Symlink, ForeignOwner };

class UnusableHomeTrash : public LinuxTrash, public ::testing::WithParamInterface<BadTrash> {};

TEST_P(UnusableHomeTrash, IsRefusedAndNothingMoves) {
    const std::string elsewhere = root_ + "/elsewhere";
    fs::create_directories(elsewhere + "/files");
    fs::create_directories(elsewhere + "/info");
    fs::create_directories(fs::path(trash_).parent_path());
    if (GetParam() == BadTrash::Symlink) {
        fs::create_symlink(elsewhere, trash_);
    } else {
        fs::create_directories(trash_);
        ASSERT_EQ(::chown(trash_.c_str(), 4242, 4242), 0);
    }
    write_file(work_ + "/f", "f");
    const std::string text = trash_text(work_ + "/f");
    EXPECT_NE(text.find("it is not used as a trash folder"), std::string::npos) << text;
    EXPECT_TRUE(fs::exists(work_ + "/f"));
    EXPECT_TRUE(fs::is_empty(elsewhere + "/files"));
}

INSTANTIATE_TEST_SUITE_P(Kinds, UnusableHomeTrash,
                         ::testing::Values(BadTrash::Symlink, BadTrash::ForeignOwner));

TEST_F(LinuxTrash, ParentSwappedForALinkAfterTheCheckMovesNothing) {
    fs::create_directories(work_ + "/scan/dir");
    fs::create_directories(work_ + "/outside");
    write_file(work_ + "/scan/dir/file", "inside");
    write_file(work_ + "/outside/file", "outside");
    const std::string validated = work_ + "/scan/dir/file";
    fs::rename(work_ + "/scan/dir", work_ + "/scan/dir.old");
    fs::create_symlink(work_ + "/outside", work_ + "/scan/dir");

    EXPECT_EQ(
        trash_text(validated),
        "Error during a `trash` operation: Unknown { description: \"the parent directory changed since the "
        "path was checked\" }");
    EXPECT_EQ(read_file(work_ + "/outside/file"), "outside");
    EXPECT_TRUE(trash_entries(trash_).empty());
}

using DirectoryOpener = OsResult<UniqueFd> (*)(std::string_view);

class NoSymlinkOpen : public LinuxTrash, public ::testing::WithParamInterface<DirectoryOpener> {};

TEST_P(NoSymlinkOpen, OpensRealDirectoriesAndRefusesLinksOnTheWay) {
    fs::create_directories(work_ + "/real/sub");
    fs::create_symlink(work_ + "/real", work_ + "/link");
    const auto opened = GetParam()(work_ + "/real/sub");
    ASSERT_TRUE(opened.has_value()) << opened.error().text();
    struct stat by_fd {
    }, by_path{};
    ASSERT_EQ(::fstat(opened->get(), &by_fd), 0);
    ASSERT_EQ(::stat((work_ + "/real/sub").c_str(), &by_path), 0);
    EXPECT_EQ(by_fd.st_ino, by_path.st_ino);
    for (const std::string& bad : {work_ + "/link/sub", work_ + "/link"}) {
        const auto refused = GetParam()(bad);
        ASSERT_FALSE(refused.has_value()) << bad;
        EXPECT_TRUE(refused.error().code() == ELOOP || refused.error().code() == ENOTDIR)
            << refused.error().text();
    }
}

INSTANTIATE_TEST_SUITE_P(Both, NoSymlinkOpen,
                         ::testing::Values(&open_directory_no_symlinks, &open_directory_by_walk));

enum class VolumeTrash { None, StickyShared, PlainShared };

class SecondFilesystem : public LinuxTrash, public ::testing::WithParamInterface<VolumeTrash> {};

TEST_P(SecondFilesystem, UsesTheTopDirectoryTrashThatTrashCliLists) {
    const std::string volume = root_ + "/vol";
    if (auto refused = mounts_.tmpfs(volume)) GTEST_SKIP() << *refused;
    if (GetParam() != VolumeTrash::None) {
        fs::create_directories(volume + "/.Trash");
        const mode_t mode = GetParam() == VolumeTrash::StickyShared ? 01777 : 0777;
        ASSERT_EQ(::chmod((volume + "/.Trash").c_str(), mode), 0);
    }
    const std::string volume_trash = volume +
                                     (GetParam() == VolumeTrash::StickyShared ? "/.Trash/" : "/.Trash-") +
                                     std::to_string(::geteuid());
    fs::create_directories(volume + "/sub");
    write_file(volume + "/sub/f i%le", "data");

    ASSERT_EQ(trash_text(volume + "/sub/f i%le"), "moved");
    const auto entries = trash_entries(volume_trash);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "sub/f i%le");
    EXPECT_EQ(read_file(volume_trash + "/files/" + entries[0].name), "data");
    EXPECT_TRUE(trash_entries(trash_).empty());
    EXPECT_NE(run("trash-list").find(" " + volume + "/sub/f i%le\n"), std::string::npos);

    // The mount point itself stays where it is.
    const std::string mount_point = trash_text(volume);
    EXPECT_NE(mount_point.find("is a mount point"), std::string::npos) << mount_point;
    EXPECT_TRUE(fs::exists(volume + "/sub"));
}

INSTANTIATE_TEST_SUITE_P(Layouts, SecondFilesystem,
                         ::testing::Values(VolumeTrash::None, VolumeTrash::StickyShared,
                                           VolumeTrash::PlainShared));

TEST_F(LinuxTrash, ItemOnAFilesystemWithoutUsableTrashIsRefusedNotCopied) {
    const std::string volume = root_ + "/ro";
    if (auto refused = mounts_.tmpfs(volume)) GTEST_SKIP() << *refused;
    write_file(volume + "/f", "data");
    ASSERT_EQ(::mount(nullptr, volume.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const std::string text = trash_text(volume + "/f");
    EXPECT_TRUE(text.find("Unknown {") != std::string::npos &&
                text.find("no usable trash folder") != std::string::npos)
        << text;
    EXPECT_EQ(read_file(volume + "/f"), "data");
    EXPECT_TRUE(trash_entries(trash_).empty());
}

// In a container the root is an overlay whose layers sit on other devices:
// a file from a lower layer reports that layer's device, not the overlay's.
TEST_F(LinuxTrash, FilesOfAnOverlayAreNotMistakenForMountPoints) {
    const std::string layers = root_ + "/layers", merged = root_ + "/merged";
    for (auto refused : {mounts_.tmpfs(layers + "/lower"), mounts_.tmpfs(layers + "/upper")}) {
        if (refused) GTEST_SKIP() << *refused;
    }
    write_file(layers + "/lower/from-lower", "lower");
    fs::create_directories(layers + "/upper/data");
    fs::create_directories(layers + "/upper/work");
    const std::string options =
        "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper/data,workdir=" + layers + "/upper/work";
    if (auto refused = mounts_.mount("overlay", merged, "overlay", 0, options.c_str()))
        GTEST_SKIP() << *refused;
    struct stat file {
    }, dir{};
    ASSERT_EQ(::stat((merged + "/from-lower").c_str(), &file), 0);
    ASSERT_EQ(::stat(merged.c_str(), &dir), 0);
    if (file.st_dev == dir.st_dev) GTEST_SKIP() << "this overlay reports one device for all its files";

    ASSERT_EQ(trash_text(merged + "/from-lower"), "moved");
    const auto entries = trash_entries(merged + "/.Trash-" + std::to_string(::geteuid()));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].path, "from-lower");
    EXPECT_NE(move_to_trash(merged).error().description.find("is a mount point"), std::string::npos);
}

// Root reads every folder, so the check runs as nobody in a child process,
// on a tmpfs of the test's own: were the home trash skipped, the item would
// land in that tmpfs's own trash, not on a real disk.
TEST_F(LinuxTrash, AHomeTrashThatCannotBeExaminedIsReportedNotReplaced) {
    const std::string volume = root_ + "/vol";
    if (auto refused = mounts_.tmpfs(volume)) GTEST_SKIP() << *refused;
    fs::create_directories(volume + "/locked/data/Trash");
    fs::create_directories(volume + "/work");
    ASSERT_EQ(::chmod((volume + "/locked").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((volume + "/work").c_str(), 0777), 0);
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    write_file(volume + "/work/f", "f");
    ASSERT_EQ(::chown((volume + "/work/f").c_str(), kNobody, kNobody), 0);
    env_.set("XDG_DATA_HOME", volume + "/locked/data");

    const std::string text = trash_as_nobody(volume + "/work/f");
    EXPECT_EQ(
        text,
        "Error during a `trash` operation: Os { code: 13, description: \"cannot examine the home trash at " +
            volume + "/locked/data/Trash: Permission denied (os error 13)\" }");
    EXPECT_TRUE(fs::exists(volume + "/work/f"));
    EXPECT_FALSE(fs::exists(volume + "/.Trash-" + std::to_string(kNobody)));
}

TEST(TrashInfo, DeletionDateIsLocalTimeWithoutZone) {
    {
        ScopedEnv env;
        env.set("TZ", "XYZ-02:30");
        ::tzset();
        // trash-cli reads an unencoded space too; other desktops need the escape.
        EXPECT_EQ(trash_info_text("/x y", 86399),
                  "[Trash Info]\nPath=/x%20y\nDeletionDate=1970-01-02T02:29:59\n");
    }
    ::tzset();
}

TEST(HomeTrashPath, FallsBackToHomeUnlessXdgDataHomeIsAbsolute) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases = {
        {std::nullopt, "/h/u/.local/share/Trash"},
        {"", "/h/u/.local/share/Trash"},
        {"rel/data", "/h/u/.local/share/Trash"},
        {"/data/", "/data/Trash"}};
    for (const auto& [xdg_data_home, expected] : cases) {
        ScopedEnv env;
        env.set("HOME", "/h/u");
        xdg_data_home ? env.set("XDG_DATA_HOME", *xdg_data_home) : env.unset("XDG_DATA_HOME");
        EXPECT_EQ(home_trash_path(), expected) << xdg_data_home.value_or("(unset)");
    }
}

TEST(TrashNameCandidate, CountsBeforeTheExtensionWithinTheLimit) {
    const std::vector<std::tuple<std::string, unsigned, std::string>> cases = {
        {"a.txt", 0, "a.txt"},
        {".bashrc", 2, ".bashrc.3"},
        {"tar.gz.d", 1, "tar.gz.2.d"},
        {std::string(250, 'x') + ".txt", 1, std::string(kMaxTrashNameBytes - 6, 'x') + ".2.txt"}};
    for (const auto& [name, attempt, expected] : cases) {
        EXPECT_EQ(trash_name_candidate(name, attempt), expected) << name << " #" << attempt;
    }
    // Shortening never splits a character.
    std::string name;
    for (int i = 0; i < 100; ++i) name += "\xC3\xA9";  // 200 bytes of two-byte characters
    name += std::string(45, 'z') + "-";
    for (unsigned attempt : {0u, 1u, 12u}) {
        const std::string candidate = trash_name_candidate(name, attempt);
        EXPECT_LE(candidate.size(), kMaxTrashNameBytes);
        EXPECT_TRUE(is_valid_utf8(candidate));
    }
}

}  // namespace
}  // namespace orvalnest::platform

#endif
