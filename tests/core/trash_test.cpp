// The Linux trash, checked against Debian's trash-cli: what we trash, the
// desktop's own tools must list and restore.
#if defined(__linux__)

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "cleaner_test_support.hpp"
#include "linux/directory_fd.hpp"
#include "linux/trash_info.hpp"
#include "linux/trash_location.hpp"
#include "linux/trash_name.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/user_dirs.hpp"
#include "purge.hpp"
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

// The entries of a trash folder; each info file must be whole and have its item.
std::vector<Entry> trash_entries(const std::string& trash) {
    std::vector<Entry> out;
    if (!fs::exists(trash + "/info")) return out;
    for (const auto& info : fs::directory_iterator(trash + "/info")) {
        const std::string name = info.path().stem().string(), text = read_file(info.path());
        // Exactly three lines: the header, Path= and DeletionDate=.
        const std::string head = "[Trash Info]\nPath=", middle = "\nDeletionDate=";
        const size_t path_end = text.find('\n', head.size()), date_start = path_end + middle.size();
        if (!text.starts_with(head) || path_end == std::string::npos ||
            text.compare(path_end, middle.size(), middle) != 0 ||
            text.find('\n', date_start) != text.size() - 1) {
            ADD_FAILURE() << "not a whole info file: " << text;
            continue;
        }
        EXPECT_TRUE(fs::exists(fs::symlink_status(trash + "/files/" + name)))
            << "info without item: " << name;
        out.push_back({name, percent_decode(text.substr(head.size(), path_end - head.size())),
                       text.substr(date_start, text.size() - 1 - date_start)});
    }
    return out;
}

// What `command` writes to its standard output.
std::string run(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    const std::string out = read_file("/proc/self/fd/" + std::to_string(::fileno(pipe)));
    ::pclose(pipe);
    return out;
}

// trash-cli reads our trash back as a desktop would; without it, that check skips.
bool has_trash_cli() { return !run("command -v trash-list trash-restore").empty(); }

// What trashing `path` came to: "moved", or the failure text.
std::string trash_text(const std::string& path) {
    const auto result = move_to_trash(path);
    return result ? "moved" : result.error().text();
}

// What a dry run says the move would meet: "moved", or the failure text.
std::string probe_text(const std::string& path) {
    const auto failure = probe_move(path);
    return failure ? failure->text() : "moved";
}

class LinuxTrash : public ::testing::Test {
public:
    void SetUp() override {
        fs::create_directories(home_);
        fs::create_directories(work_);
        env_.set("HOME", home_);
        env_.set("XDG_DATA_HOME", home_ + "/.local/share");
    }

    orvalnest::testing::TempDir tmp_;
    const std::string root_ = orvalnest::testing::real(tmp_.path());
    const std::string home_ = root_ + "/home", work_ = root_ + "/work",
                      trash_ = home_ + "/.local/share/Trash";
    ScopedEnv env_;
    orvalnest::testing::PrivateMounts mounts_;
};

TEST_F(LinuxTrash, TrashCliListsAndRestoresEveryItemWithItsOriginalPathAndDate) {
    if (!has_trash_cli()) GTEST_SKIP() << "needs trash-cli (trash-list, trash-restore)";
    const std::string earliest = deletion_date(std::time(nullptr));
    // Names that break naive encoders, shells and listing parsers, a folder, and
    // links: were one followed, the folder "r" would go in its place.
    std::set<std::string> originals;
    for (const auto& name : std::vector<std::string>{"with space.txt", "100%.txt", "#hash", "new\nline",
                                                     "bad\xFF.bin", std::string(250, 'L')}) {
        write_file(work_ + "/" + name, name);
        originals.insert(work_ + "/" + name);
    }
    fs::create_directories(work_ + "/a dir/inner");
    write_file(work_ + "/a dir/inner/f", "x");
    fs::create_symlink("r", work_ + "/link");
    fs::create_symlink("/nowhere/at/all", work_ + "/dangling");
    // Alone in its folder, so that trash-restore run there offers it alone.
    const std::string restored = work_ + "/r/r\xC3\xA9sum\xC3\xA9 \xE2\x9C\x93.bin",
                      content("\0\xFF\r\nbinary", 10);
    fs::create_directories(work_ + "/r");
    write_file(restored, content);
    originals.insert({work_ + "/a dir", work_ + "/link", work_ + "/dangling", restored});
    for (const auto& path : originals) {
        ASSERT_EQ(trash_text(path), "moved");
        EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
    }

    std::set<std::string> recorded;
    const std::string listing = run("trash-list"), latest = deletion_date(std::time(nullptr));
    for (const auto& entry : trash_entries(trash_)) {
        recorded.insert(entry.path);
        EXPECT_TRUE(entry.date >= earliest && entry.date <= latest) << entry.date;
        const std::string shown = entry.date.substr(0, 10) + " " + entry.date.substr(11) + " ";
        EXPECT_NE(listing.find(shown + lossy_utf8(entry.path)), std::string::npos)
            << lossy_utf8(entry.path) << " missing from:\n"
            << listing;
    }
    EXPECT_EQ(recorded, originals);
    EXPECT_EQ(fs::read_symlink(trash_ + "/files/link"), "r");
    EXPECT_EQ(fs::read_symlink(trash_ + "/files/dangling"), "/nowhere/at/all");
    EXPECT_EQ(read_file(trash_ + "/files/a dir/inner/f"), "x");
    EXPECT_EQ(fs::status(trash_).permissions(), fs::perms::owner_all);

    run("cd '" + work_ + "/r' && printf '0\\n' | trash-restore >/dev/null 2>&1");
    EXPECT_EQ(read_file(restored), content);
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
    for (const auto& entry : entries) {
        // The item under each name is the one its info file says it was.
        const std::string dir = fs::path(entry.path).parent_path().filename().string();
        EXPECT_EQ("d" + read_file(trash_ + "/files/" + entry.name), dir);
    }
}

// Root passes every permission check: what only permissions refuse runs as
// nobody in a child process (as an ordinary user, as that user). Returns the
// failure text, or "moved".
constexpr uid_t kNobody = 65534;

std::string as_nobody(std::string (*act)(const std::string&), const std::string& path) {
    FILE* out = std::tmpfile();
    if (::fork() == 0) {
        const bool nobody = ::geteuid() != 0 || (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
        std::fputs(nobody ? act(path).c_str() : "could not become nobody", out);
        std::fflush(out);
        ::_exit(0);
    }
    ::wait(nullptr);
    const std::string text = read_file("/proc/self/fd/" + std::to_string(::fileno(out)));
    std::fclose(out);
    return text;
}

// A tmpfs of the test's own at $R/vol holding "sub/f i%le", and a shared
// ".Trash" with `trash_mode` unless it is 0; "" where it cannot be mounted.
std::string on_volume(LinuxTrash& t, mode_t trash_mode = 0, unsigned long remount = 0) {
    const std::string volume = t.root_ + "/vol";
    if (t.mounts_.tmpfs(volume)) return "";
    if (trash_mode != 0) {
        fs::create_directories(volume + "/.Trash");
        EXPECT_EQ(::chmod((volume + "/.Trash").c_str(), trash_mode), 0);
    }
    fs::create_directories(volume + "/sub");
    write_file(volume + "/sub/f i%le", "data");
    EXPECT_TRUE(!remount || ::mount(nullptr, volume.c_str(), nullptr, MS_REMOUNT | remount, nullptr) == 0);
    return volume + "/sub/f i%le";
}

// In a container the root is an overlay whose layers sit on other devices: a
// file from a lower layer reports that layer's device, not the overlay's. Such
// a file in an overlay at $R/merged, or "" where it cannot be made or shows one device.
std::string overlay_file(LinuxTrash& t) {
    const std::string layers = t.root_ + "/layers", merged = t.root_ + "/merged";
    if (t.mounts_.tmpfs(layers + "/lower") || t.mounts_.tmpfs(layers + "/upper")) return "";
    write_file(layers + "/lower/from-lower", "data");
    fs::create_directories(layers + "/upper/data");
    fs::create_directories(layers + "/upper/work");
    const std::string options =
        "lowerdir=" + layers + "/lower,upperdir=" + layers + "/upper/data,workdir=" + layers + "/upper/work";
    if (t.mounts_.mount("overlay", merged, "overlay", 0, options.c_str())) return "";
    struct stat file = {}, dir = {};
    EXPECT_EQ(::stat((merged + "/from-lower").c_str(), &file) | ::stat(merged.c_str(), &dir), 0);
    return file.st_dev == dir.st_dev ? "" : merged + "/from-lower";
}

// The home trash a link elsewhere or someone else's: refused, and nothing
// goes where it leads.
std::string unusable_home_trash(LinuxTrash& t, bool link) {
    fs::create_directories(t.root_ + "/elsewhere/info");
    fs::create_directories(fs::path(t.trash_).parent_path());
    if (link) {
        fs::create_symlink(t.root_ + "/elsewhere", t.trash_);
    } else {
        if (::geteuid() != 0) return "";  // only root gives a folder away
        fs::create_directories(t.trash_);
        EXPECT_EQ(::chown(t.trash_.c_str(), 4242, 4242), 0);
    }
    write_file(t.work_ + "/f", "data");
    return t.work_ + "/f";
}

// HOME's .local links elsewhere, and someone else made that link.
std::string home_through_foreign_link(LinuxTrash& t) {
    if (::geteuid() != 0) return "";  // only root gives a link away
    fs::create_directories(t.root_ + "/other-home/.local/share");
    fs::create_directories(t.root_ + "/elsewhere/share");
    fs::create_symlink(t.root_ + "/other-home/.local", t.root_ + "/elsewhere/local");
    fs::remove_all(t.root_ + "/other-home/.local");
    fs::create_symlink(t.root_ + "/elsewhere", t.root_ + "/other-home/.local");
    EXPECT_EQ(::lchown((t.root_ + "/other-home/.local").c_str(), 4242, 4242), 0);
    t.env_.set("HOME", t.root_ + "/other-home");
    t.env_.set("XDG_DATA_HOME", std::nullopt);
    write_file(t.work_ + "/f", "data");
    return t.work_ + "/f";
}

std::string missing_home(LinuxTrash& t) {
    t.env_.set("HOME", t.root_ + "/gone/home");
    t.env_.set("XDG_DATA_HOME", std::nullopt);
    write_file(t.work_ + "/f", "data");
    return t.work_ + "/f";
}

// /tmp's rule: in a sticky folder nobody may take away root's file.
std::string sticky_folder_of_others(LinuxTrash& t) {
    if (::geteuid() != 0) return "";  // the file must be someone else's than the one moving it
    const std::string shared = t.root_ + "/shared";
    fs::create_directories(shared);
    fs::create_directories(t.root_ + "/data");
    write_file(shared + "/roots", "data");
    EXPECT_EQ(::chmod(t.root_.c_str(), 0755) | ::chmod(shared.c_str(), 01777) |
                  ::chmod((t.root_ + "/data").c_str(), 0777),
              0);
    t.env_.set("XDG_DATA_HOME", t.root_ + "/data");
    return shared + "/roots";
}

std::string parent_swapped_after_the_check(LinuxTrash& t) {
    fs::create_directories(t.work_ + "/scan/dir");
    fs::create_directories(t.work_ + "/outside");
    write_file(t.work_ + "/outside/file", "outside");
    fs::rename(t.work_ + "/scan/dir", t.work_ + "/scan/dir.old");
    fs::create_symlink(t.work_ + "/outside", t.work_ + "/scan/dir");
    return t.work_ + "/scan/dir/file";
}

// The info file is written before the move: a move the kernel then refuses
// (as nobody: the item's folder is not writable) must take it back.
std::string refused_move(LinuxTrash& t) {
    const std::string data = t.root_ + "/data", shut = t.root_ + "/shut";
    fs::create_directories(data);
    fs::create_directories(shut);
    write_file(shut + "/keep.txt", "keep");
    EXPECT_EQ(::chmod(t.root_.c_str(), 0755) | ::chmod(data.c_str(), 0777) | ::chmod(shut.c_str(), 0555), 0);
    t.env_.set("XDG_DATA_HOME", data);
    return shut + "/keep.txt";
}

// As nobody, with the home trash in a folder nobody cannot enter: were it
// skipped, the item would land in the volume's own trash.
std::string home_trash_that_cannot_be_examined(LinuxTrash& t) {
    const std::string volume = t.root_ + "/vol";
    if (::geteuid() != 0 || on_volume(t).empty()) return "";  // the shut folder must be someone else's
    fs::create_directories(volume + "/locked/data/Trash");
    fs::create_directories(volume + "/work");
    EXPECT_EQ(::chmod((volume + "/locked").c_str(), 0700) | ::chmod((volume + "/work").c_str(), 0777) |
                  ::chmod(t.root_.c_str(), 0755),
              0);
    write_file(volume + "/work/f", "f");
    EXPECT_EQ(::chown((volume + "/work/f").c_str(), kNobody, kNobody), 0);
    t.env_.set("XDG_DATA_HOME", volume + "/locked/data");
    return volume + "/work/f";
}

struct Outcome {
    const char* name;
    // Lays out the tree and returns the path to trash, or "" to skip where
    // the mounts or owners it needs cannot be made (without root).
    std::string (*make)(LinuxTrash&);
    bool as_nobody;
    // "moved", or what the failure text says; $R is the test's root, $U the user id.
    std::string expected;
    // Where a moved item goes and the Path= recorded there.
    std::string trash = "", recorded = "";
};

void PrintTo(const Outcome& outcome, std::ostream* out) { *out << outcome.name; }

class TrashOutcome : public LinuxTrash, public ::testing::WithParamInterface<Outcome> {};

TEST_P(TrashOutcome, MovesOrLeavesTheItemAndReportsWhy) {
    const Outcome& row = GetParam();
    const auto expand = [&](std::string text) {
        for (const auto& [from, to] : {std::pair("$R", root_), {"$U", std::to_string(::geteuid())}}) {
            for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 2, to);
        }
        return text;
    };
    const std::string path = row.make(*this);
    if (path.empty())
        GTEST_SKIP() << "needs root to give a file to another user, or mounts that cannot be made here";
    // A dry run tells the truth: it foresees each failure a move then meets.
    const std::string probed = row.as_nobody ? as_nobody(probe_text, path) : probe_text(path);
    const std::string text = row.as_nobody ? as_nobody(trash_text, path) : trash_text(path);
    EXPECT_NE(text.find(expand(row.expected)), std::string::npos) << text;
    EXPECT_EQ(probed == "moved", text == "moved") << probed;
    EXPECT_EQ(fs::exists(fs::symlink_status(path)), text != "moved");
    // Never a stray or half-made entry in the home trash.
    EXPECT_TRUE(trash_entries(home_trash_dir().value().path).empty());
    if (row.trash.empty()) return;
    const auto entries = trash_entries(expand(row.trash));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(std::pair(entries[0].path, read_file(expand(row.trash) + "/files/" + entries[0].name)),
              std::pair(row.recorded, std::string("data")));
    if (!has_trash_cli()) GTEST_SKIP() << "needs trash-cli (trash-list) to read the trash back";
    EXPECT_NE(run("trash-list").find(" " + path + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrashOutcome,
    ::testing::Values(
        Outcome{"VolumeWithoutTrash", +[](LinuxTrash& t) { return on_volume(t); }, false, "moved",
                "$R/vol/.Trash-$U", "sub/f i%le"},
        Outcome{"VolumeStickySharedTrash", +[](LinuxTrash& t) { return on_volume(t, 01777); }, false, "moved",
                "$R/vol/.Trash/$U", "sub/f i%le"},
        Outcome{"VolumePlainSharedTrash", +[](LinuxTrash& t) { return on_volume(t, 0777); }, false, "moved",
                "$R/vol/.Trash-$U", "sub/f i%le"},
        Outcome{"VolumeMountPoint",
                +[](LinuxTrash& t) { return on_volume(t).empty() ? "" : t.root_ + "/vol"; }, false,
                "Unknown { description: \"$R/vol is a mount point"},
        // Nothing is copied to the home trash instead.
        Outcome{"ReadOnlyVolume", +[](LinuxTrash& t) { return on_volume(t, 0, MS_RDONLY); }, false,
                "Unknown { description: \"no usable trash folder on the filesystem mounted at $R/vol"},
        Outcome{"OverlayFile", &overlay_file, false, "moved", "$R/merged/.Trash-$U", "from-lower"},
        Outcome{"HomeTrashIsALink", +[](LinuxTrash& t) { return unusable_home_trash(t, true); }, false,
                "\"$R/home/.local/share/Trash is a symbolic link or not a directory; it is not used as"},
        Outcome{"HomeTrashOfAnotherOwner", +[](LinuxTrash& t) { return unusable_home_trash(t, false); },
                false, "\"$R/home/.local/share/Trash is not owned by the current user; it is not used as"},
        Outcome{"HomeReachedThroughAnotherUsersLink", &home_through_foreign_link, false,
                "a link someone else controls ($R/other-home/.local is a symbolic link owned by user 4242"},
        Outcome{"MissingHomeIsNotMade", &missing_home, false,
                "does not exist, and the home folder and the folders above it are never created"},
        Outcome{"StickyFolderOfOthers", &sticky_folder_of_others, true,
                "Os { code: 1, description: \"cannot move"},
        Outcome{"ParentSwappedForALinkAfterTheCheck", &parent_swapped_after_the_check, false,
                "Unknown { description: \"the parent directory changed since the path was checked\" }"},
        Outcome{"RefusedMove", &refused_move, true,
                "Os { code: 13, description: \"cannot move $R/shut/keep.txt to $R/data/Trash/files: "},
        Outcome{"HomeTrashThatCannotBeExamined", &home_trash_that_cannot_be_examined, true,
                "Os { code: 13, description: \"cannot examine the home trash at $R/vol/locked/data/Trash: "}),
    [](const ::testing::TestParamInfo<Outcome>& info) { return std::string(info.param.name); });

// The info file is written before the item moves. One that cannot be written
// whole (a file size limit hit part-way, a full disk) is taken away again and
// the item stays where it was: nothing is left in the trash's info/ or files/.
TEST_F(LinuxTrash, AnInfoFileThatCannotBeWrittenWholeLeavesNothingInTheTrash) {
    const auto attempt = [&](const std::string& path, const std::string& trash, const std::string& why,
                             rlim_t limit) {
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{limit, saved.rlim_max};
        const auto handler = std::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
        const std::string text = trash_text(path);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
        EXPECT_NE(text.find("cannot write " + trash + "/info/f.trashinfo: " + why), std::string::npos)
            << text;
        EXPECT_EQ(read_file(path), "data");
        for (const char* part : {"/info", "/files"}) EXPECT_TRUE(fs::is_empty(trash + part)) << trash + part;
    };
    write_file(work_ + "/f", "data");
    attempt(work_ + "/f", trash_, "File too large", 20);  // well short of the info file's length
    const std::string volume = root_ + "/vol";
    if (auto refused = mounts_.mount("orvalnest-test", volume, "tmpfs", 0, "mode=0755,size=16k"))
        GTEST_SKIP() << *refused;
    write_file(volume + "/f", "data");
    write_file(volume + "/fill", std::string(1 << 20, 'x'));  // as much as fits
    attempt(volume + "/f", volume + "/.Trash-" + std::to_string(::geteuid()), "No space left on device",
            RLIM_INFINITY);
}

// What moved must be what was judged, with nothing mounted below it; else it
// goes back where it was, and its info file with it.
TEST_F(LinuxTrash, AMoveOfAnotherEntryOrOfAMountHolderIsPutBack) {
    for (const bool swapped : {true, false}) {
        fs::create_directories(work_ + "/f");
        write_file(work_ + "/f/in", "data");
        const UniqueFd parent(::open(work_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        auto facts = examine_at(parent.get(), "f").value();
        if (swapped) facts.identity.inode += 1;  // as if "f" had been exchanged after it was judged
        TrashSession session(::geteuid(), home_trash_dir());
        const std::string path = work_ + "/f";
        const ItemToTrash item{parent.get(), "f", path, facts, examine_at(parent.get(), "").value()};
        const auto refuse = [](std::string_view moved) -> std::optional<TrashFailure> {
            return TrashFailure::unknown(std::string(moved) + " holds a mount",
                                         FailureCause::ContainsMountPoint);
        };
        const auto moved = move_to_trash(item, session, refuse);
        ASSERT_FALSE(moved);
        EXPECT_EQ(moved.error().cause, swapped ? FailureCause::Changed : FailureCause::ContainsMountPoint);
        EXPECT_TRUE(moved.error().description.ends_with("; it was put back")) << moved.error().description;
        EXPECT_EQ(read_file(work_ + "/f/in"), "data");
        if (!swapped) {
            EXPECT_TRUE(moved.error().description.starts_with(trash_ + "/files/f holds"));
        }
        EXPECT_TRUE(trash_entries(trash_).empty());
    }
}

// Only what the audit log and an info file agree on goes, and never across
// to anything a link in it points at.
TEST_F(LinuxTrash, PurgeRemovesExactlyTheRecordedItems) {
    for (const char* name : {"ours", "restored", "someone-elses", "twice", "emptied"})
        write_file(work_ + "/" + name, name);
    fs::create_directories(work_ + "/folder");
    fs::create_directories(root_ + "/outside");
    write_file(root_ + "/outside/keep", "keep");
    fs::create_symlink(root_ + "/outside", work_ + "/folder/link");
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    for (const char* name : {"ours", "restored", "someone-elses", "twice", "folder", "emptied"})
        ASSERT_EQ(trash_text(work_ + "/" + name), "moved");
    fs::remove(trash_ + "/files/restored");  // as a restore does
    fs::remove(trash_ + "/info/restored.trashinfo");
    fs::remove(trash_ + "/files/emptied");  // gone from the trash, its info file left
    // The same original path trashed by someone else at another time, and
    // "twice" trashed twice in the same second: neither can be told apart.
    write_file(trash_ + "/files/ours.old", "old");
    write_file(trash_ + "/info/ours.old.trashinfo", trash_info_text(work_ + "/ours", 1000000000));
    write_file(trash_ + "/files/twice.2", "twice");
    write_file(trash_ + "/info/twice.2.trashinfo", read_file(trash_ + "/info/twice.trashinfo"));
    std::vector<PurgeCandidate> candidates;
    for (const char* name : {"ours", "restored", "twice", "folder", "emptied"})
        candidates.push_back({work_ + "/" + name, std::nullopt, std::nullopt, now + 1});
    TrashSession session(::geteuid(), home_trash_dir());
    std::vector<std::string> recorded;
    const auto record = [&](const PurgeOutcome& outcome) -> OsResult<void> {
        recorded.push_back(outcome.name);
        return {};
    };
    // A record that cannot be written stops the purge: nothing after it is tried.
    const auto stopped = purge_trash(candidates, session, true, [](const PurgeOutcome&) -> OsResult<void> {
        return std::unexpected(OsError::from_errno(ENOSPC));
    });
    ASSERT_EQ(stopped.size(), 2u);
    EXPECT_EQ(std::pair(stopped[0].kind, stopped[1].kind),
              std::pair(PurgeKind::WouldPurge, PurgeKind::NotAttempted));
    for (const bool dry_run : {true, false}) {
        recorded.clear();
        const auto outcomes = purge_trash(candidates, session, dry_run, record);
        ASSERT_EQ(outcomes.size(), 2u);
        for (const auto& outcome : outcomes) {
            EXPECT_EQ(outcome.kind, dry_run ? PurgeKind::WouldPurge : PurgeKind::Purged) << outcome.name;
            EXPECT_EQ(outcome.trash_dir, trash_);
        }
        EXPECT_EQ(recorded, (std::vector<std::string>{"ours", "folder"}));
        EXPECT_EQ(outcomes[1].size.entries, 2u);  // the folder and its link
    }
    EXPECT_TRUE(fs::remove(trash_ + "/info/emptied.trashinfo"));  // left as it was
    std::set<std::string> left;
    for (const auto& entry : trash_entries(trash_)) left.insert(entry.name);
    EXPECT_EQ(left, (std::set<std::string>{"someone-elses", "ours.old", "twice", "twice.2"}));
    EXPECT_EQ(read_file(root_ + "/outside/keep"), "keep");
}

// What a filesystem mounted below a trashed folder holds is never the purge's.
TEST_F(LinuxTrash, PurgeLeavesAnItemWithAMountBelowIt) {
    fs::create_directories(work_ + "/mounted/disk");
    ASSERT_EQ(trash_text(work_ + "/mounted"), "moved");
    if (auto refused = mounts_.tmpfs(trash_ + "/files/mounted/disk")) GTEST_SKIP() << *refused;
    write_file(trash_ + "/files/mounted/disk/db", "db");
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    const std::vector<PurgeCandidate> candidates = {
        {work_ + "/mounted", std::nullopt, std::nullopt, now + 1}};
    TrashSession session(::geteuid(), home_trash_dir());
    for (const bool dry_run : {true, false}) {
        const auto outcomes = purge_trash(candidates, session, dry_run,
                                          [](const PurgeOutcome&) -> OsResult<void> { return {}; });
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].kind, PurgeKind::Failed) << dry_run;
    }
    EXPECT_EQ(read_file(trash_ + "/files/mounted/disk/db"), "db");
}

TEST_F(LinuxTrash, OpenDirectoryRefusesLinksOnTheWayAndOpensRealDirectories) {
    fs::create_directories(work_ + "/real/sub");
    fs::create_symlink(work_ + "/real", work_ + "/link");
    for (const auto open : {&open_directory_no_symlinks, &open_directory_by_walk}) {
        const auto opened = open(work_ + "/real/sub");
        ASSERT_TRUE(opened.has_value()) << opened.error().text();
        EXPECT_EQ(fs::read_symlink("/proc/self/fd/" + std::to_string(opened->get())), work_ + "/real/sub");
        for (const std::string& bad : {work_ + "/link/sub", work_ + "/link"}) {
            const auto refused = open(bad);
            ASSERT_FALSE(refused.has_value()) << bad;
            EXPECT_TRUE(refused.error().code() == ELOOP || refused.error().code() == ENOTDIR)
                << refused.error().text();
        }
    }
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
        {"rel/data", "/h/u/.local/share/Trash"},
        {"/data/", "/data/Trash"}};
    for (const auto& [xdg_data_home, expected] : cases) {
        ScopedEnv env;
        env.set("HOME", "/h/u");
        env.set("XDG_DATA_HOME", xdg_data_home);
        EXPECT_EQ(home_trash_dir().value().path, expected) << xdg_data_home.value_or("(unset)");
    }
}

TEST(TrashNameCandidate, CountsBeforeTheExtensionWithinTheLimit) {
    std::string e_acutes;
    for (int i = 0; i < 150; ++i) e_acutes += "\xC3\xA9";
    const std::vector<std::tuple<std::string, unsigned, std::string>> cases = {
        {".bashrc", 2, ".bashrc.3"},
        {"tar.gz.d", 1, "tar.gz.2.d"},
        // Shortening never splits a character.
        {"ab" + e_acutes + ".txt", 1, "ab" + e_acutes.substr(0, 2 * 118) + ".2.txt"}};
    for (const auto& [name, attempt, expected] : cases) {
        EXPECT_EQ(trash_name_candidate(name, attempt), expected) << name << " #" << attempt;
    }
}

}  // namespace
}  // namespace orvalnest::platform

#endif
