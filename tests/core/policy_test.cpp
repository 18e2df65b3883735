#include "orvalnest/policy.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <ranges>

#include "cleaner_test_support.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

const std::string kItselfMessage = "refusing to delete the scanned folder itself";

// "accepted " and the resolved path, or why the path was refused.
std::string verdict(const PathPolicy& policy, const std::string& path) {
    const auto result = policy.validate(path);
    return result ? "accepted " + *result : result.error().message();
}

TEST(PolicyBuild, GuardsTheHomeAsWrittenAndResolvedAndFromThePasswordDatabaseWithoutHome) {
    TempDir tmp;
    ScopedEnv env;
    fs::create_directories(tmp / "home");
    fs::create_directory_symlink(tmp / "home", tmp / "homelink");
    env.set("HOME", tmp / "homelink/");
    const auto home = PathPolicy::build(tmp.path()).value().protected_exact().back();
    EXPECT_EQ(std::pair(home.written, home.resolved),
              std::pair(tmp / "homelink", testing::real(tmp / "home")));

    // Without a usable HOME (unset, empty, relative), the home the trash backend would use.
    for (const auto& home :
         {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("rel")}) {
        env.set("HOME", home);
        EXPECT_EQ(PathPolicy::build(tmp.path()).value().protected_exact().back().written,
                  getpwuid(geteuid())->pw_dir);
    }
}

// Scanning "/" leaves only the protected lists between the user and the system.
TEST(PolicyProtected, GuardsTheSystemWhenScanningTheFilesystemRoot) {
    TempDir tmp;
    ScopedEnv env;
    fs::create_directories(tmp / "home");
    write_file(tmp / "home/notes.txt");
    write_file(tmp / "loose");
    env.set("HOME", tmp / "home");
    const auto policy = PathPolicy::build("/").value();
    const auto protects = [](const std::string& entry) {
        return testing::real(entry) + " is a protected system location";
    };
    // "/usr/bin" where /bin is a link; exact entries protect themselves only.
    // On merged-/usr systems "/bin" is a link into "/usr": the link itself is
    // refused under its own name, not only where it leads.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/", kItselfMessage},
        {"/usr/share", "/usr is a protected system location"},
        {"/etc/hosts", protects("/etc")},
        {"/bin/sh", protects("/bin")},
        {"/bin", "/bin is a protected system location"},
        {"/var", protects("/var")},
        // Every user's mail, the system's own backups, and fsck's folder.
        {"/var/mail", protects("/var/mail")},
        {"/var/backups", protects("/var/backups")},
        {"/lost+found", "/lost+found is a protected system location"},
        {"/home", protects("/home")},
        {tmp / "home/", protects(tmp / "home")},
        {tmp / "home/notes.txt", "accepted " + testing::real(tmp / "home/notes.txt")},
        {tmp / "loose", "accepted " + testing::real(tmp / "loose")}};
    for (const auto& [path, expected] : cases) EXPECT_EQ(verdict(policy, path), expected) << path;
    const auto refused = policy.validate("/usr").error();
    EXPECT_EQ(std::pair(refused.kind(), refused.location()),
              std::pair(RefusalKind::ProtectedLocation, "/usr"s));
}

TEST(PolicyProtected, ScanRootInsideAProtectedTreeRefusesEverything) {
    ScopedEnv env;
    env.set("HOME", std::nullopt);
    const auto policy = PathPolicy::build("/usr/local").value();
    EXPECT_EQ(verdict(policy, "/usr/local/bin"), "/usr is a protected system location");
    EXPECT_EQ(verdict(policy, "/usr/local"), kItselfMessage);
}

// Guards that need mounts: a bind mount of "/" and of the home's parent
// (another spelling of the same folders, as a case-insensitive filesystem
// gives), a disk mounted below a folder, the trash folders and the audit log;
// and folders that show up a second time elsewhere (a bind of part of /usr, of
// the trash's info/, a disk also mounted inside the trash). The password
// database names another user, bob, for the policy built as root.
class PolicyGuards : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string s = scan_;
        for (const char* dir :
             {"people/alice", "people/bob/.local/share/Trash/files/x", "data/Trash/info/x",
              "data/Trash/files", "state/audit", "logs", "plain/.Trash-", "plain/lost+found"}) {
            fs::create_directories(s + "/" + dir + (std::string(dir).ends_with("-") ? uid_ : ""));
        }
        write_file(s + "/people/alice/notes");
        write_file(s + "/logs/real.jsonl");
        write_file(tmp_ / "passwd",
                   "root:x:0:0::/root:/bin/sh\nbob:x:4242:4242::" + s + "/people/bob:/bin/sh\n");
        fs::create_symlink(s + "/logs/real.jsonl", s + "/state/audit/deletions.jsonl");
        fs::create_symlink(".", tmp_ / "tlink");
        // A part of the disk bound before the whole: a mount that shows less does not hide the next.
        const auto made = [](const std::string& dir) { return fs::create_directories(dir), dir; };
        for (auto refused : {mounts_.tmpfs(s + "/mnt/usb"), mounts_.bind("/", s + "/sysroot"),
                             mounts_.bind(s + "/people", s + "/PEOPLE"), mounts_.tmpfs(s + "/vol"),
                             mounts_.bind("/usr/share", s + "/share"),
                             mounts_.bind(s + "/data/Trash/info", s + "/info-bind"),
                             mounts_.tmpfs(s + "/disk"), mounts_.bind(made(s + "/disk/part"), s + "/part"),
                             mounts_.bind(s + "/disk", s + "/data/Trash/files"),
                             mounts_.bind(tmp_ / "passwd", "/etc/passwd"), mounts_.bind(s, s + "/again")}) {
            if (refused) GTEST_SKIP() << *refused;
        }
        write_file(s + "/mnt/usb/file");
        write_file(s + "/disk/db");
        fs::create_directories(s + "/vol/.Trash-" + uid_ + "/files/x");
        fs::create_directories(s + "/vol/.Trash/" + uid_ + "/info");
        fs::create_directories(s + "/vol/.Trash-4242/files");
        fs::create_directories(s + "/vol/lost+found");
        env_.set("HOME", s + "/people/alice");
        env_.set("XDG_DATA_HOME", s + "/data");
        policy_.emplace(PathPolicy::build(s, s + "/state/audit").value());
    }

    TempDir tmp_;
    const std::string scan_ = testing::real(tmp_.path()) + "/scan";
    const std::string uid_ = std::to_string(::geteuid());
    testing::PrivateMounts mounts_;
    ScopedEnv env_;
    std::optional<PathPolicy> policy_;
};

TEST_F(PolicyGuards, RefusesWhatMustNotMoveAndNamesWhy) {
    const auto expand = [&](std::string text) {
        for (const auto& [from, to] : {std::pair("$S", scan_), {"$U", uid_}, {"$T", tmp_.path()}}) {
            for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 2, to);
        }
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/people/alice/../x", "path contains '.' or '..' components"},  // would resolve inside
        {"", kItselfMessage},
        {"$T/tlink/scan", kItselfMessage},  // through a linked parent
        {"/again", kItselfMessage},         // bound inside itself
        {"/mnt", "contains the mount point $S/mnt/usb"},
        {"/mnt/usb", "path is a mount point"},
        {"/mnt/usb/file", "accepted"},
        {"/sysroot", "path is a mount point"},
        {"/sysroot/etc/passwd", "/etc is a protected system location"},
        {"/PEOPLE/alice", "$S/people/alice is a protected system location"},
        {"/PEOPLE/alice/notes", "accepted"},
        {"/people", "contains $S/people/alice, a protected system location"},
        {"/data", "contains the trash folder $S/data/Trash"},
        {"/data/Trash/info", "$S/data/Trash is a trash folder"},
        {"/vol/.Trash-$U/files/x", "$S/vol/.Trash-$U is a trash folder"},
        {"/vol/.Trash/$U", "$S/vol/.Trash is a trash folder"},
        {"/plain/.Trash-$U", "accepted"},  // not at the top of a filesystem: an ordinary folder
        {"/state", "contains $S/state/audit, which holds the audit log"},
        {"/state/audit/deletions.jsonl", "$S/state/audit holds the audit log"},
        {"/logs/real.jsonl", "$S/logs/real.jsonl holds the audit log"},
        // Where an entry really lives: under each name its folder has.
        {"/share/doc", "/usr is a protected system location"},
        {"/sysroot/dev", "/dev is a protected system location"},  // the folder /dev's mount hides
        {"/info-bind", "path is a mount point"},
        {"/info-bind/x", "$S/data/Trash is a trash folder"},
        {"/disk/db", "$S/data/Trash is a trash folder"},
        {"/vol/.Trash-4242/files", "$S/vol/.Trash-4242 is a trash folder"},
        {"/vol/lost+found", "$S/vol/lost+found is a protected system location"},
        {"/plain/lost+found", "accepted"},
        {"/people/bob", "$S/people/bob is a protected system location"},
        {"/people/bob/.local", "contains the trash folder $S/people/bob/.local/share/Trash"},
        {"/people/bob/.local/share/Trash/files/x", "$S/people/bob/.local/share/Trash is a trash folder"},
    };
    for (const auto& [path, expected] : cases) {
        if (path.starts_with("/people/bob") && ::geteuid() != 0) continue;  // others' homes: root's care
        const auto result = policy_->validate(path.starts_with("$T") ? expand(path) : scan_ + expand(path));
        EXPECT_EQ(result ? "accepted" : result.error().message(), expand(expected)) << path;
    }
}

// A scan root inside a bind of "/": each protected folder, the trash and the
// audit log show up again below it, and are refused under those names too;
// an ordinary file through the bind is not. Below a protected folder there,
// nothing goes.
TEST_F(PolicyGuards, AScanRootInsideABindOfTheRootRefusesEveryAlias) {
    const std::string sysroot = scan_ + "/sysroot";
    const std::string s = sysroot + scan_;  // this test's folder through the bind
    const auto policy = PathPolicy::build(sysroot, scan_ + "/state/audit").value();
    std::vector<std::pair<std::string, std::string>> cases = {
        {"/etc/hostname", "/etc is a protected system location"},
        {"/usr/share", "/usr is a protected system location"},
        {"/var/lib", "/var/lib is a protected system location"},
        {"/usr", "/usr is a protected system location"},
    };
    // Where /tmp is a filesystem of its own, a bind of "/" alone does not show it.
    if (fs::exists(s)) {
        cases.insert(cases.end(),
                     {{scan_ + "/data/Trash/info/x", "$S/data/Trash is a trash folder"},
                      {scan_ + "/data", "contains the trash folder $S/data/Trash"},
                      {scan_ + "/state/audit", "$S/state/audit holds the audit log"},
                      {scan_ + "/people/alice", "$S/people/alice is a protected system location"},
                      {scan_ + "/people/alice/notes", "accepted"}});
    }
    for (const auto& [path, expected] : cases) {
        const auto result = policy.validate(sysroot + path);
        std::string want = expected;
        if (const size_t at = want.find("$S"); at != std::string::npos) want.replace(at, 2, scan_);
        EXPECT_EQ(result ? "accepted" : result.error().message(), want) << path;
    }
    const auto below_usr = PathPolicy::build(sysroot + "/usr/share").value();
    EXPECT_EQ(below_usr.validate(sysroot + "/usr/share/doc").error().message(),
              "/usr is a protected system location");
}

// Something mounted on the scan root after the policy was made, or another
// folder put in its place, is not the folder that was scanned: every request
// sees the root as it is then.
TEST_F(PolicyGuards, ARootReplacedOrWithSomethingMountedOnItSinceRefusesEverything) {
    for (const std::string name : {"/later", "/replaced"}) {
        fs::create_directories(scan_ + name + "/sub");
        const auto later = PathPolicy::build(scan_ + name).value();
        ASSERT_TRUE(later.validate(scan_ + name + "/sub"));
        if (name == "/later") {
            if (auto refused = mounts_.tmpfs(scan_ + name)) GTEST_SKIP() << *refused;
        } else {
            fs::rename(scan_ + name, scan_ + name + ".old");
        }
        fs::create_directories(scan_ + name + "/sub");
        EXPECT_EQ(later.validate(scan_ + name + "/sub").error().kind(), RefusalKind::ScanRootChanged) << name;
    }
}

// --- random trees ----------------------------------------------------------

// Builds a random tree of directories, files and links (out of the root, to
// the root, to /etc, dangling, looping, climbing) under `base`, and adds
// every path it made to `made`.
void grow_tree(std::mt19937& rng, const std::string& base, const std::string& root,
               const std::string& outside, std::vector<std::string>& made) {
    static const std::vector<std::string> names = {"a", "b", "c", "d\xff", "e\xc3", "f\n", "g g", "\xc3\xa9"};
    std::vector<std::string> dirs = {base};
    const int count = 8 + static_cast<int>(rng() % 20);
    for (int i = 0; i < count; ++i) {
        const std::string& parent = dirs[rng() % dirs.size()];
        const std::string path = parent + "/" + names[rng() % names.size()];
        std::error_code exists;
        if (fs::symlink_status(path, exists).type() != fs::file_type::not_found) continue;
        const unsigned kind = rng() % 10;
        if (kind < 4) {
            fs::create_directory(path);
            dirs.push_back(path);
        } else if (kind < 6) {
            write_file(path);
        } else {
            const std::vector<std::string> targets = {
                outside, root, path + "-missing", path,   dirs[rng() % dirs.size()],
                "/etc",  "..", "../..",           "self", "/"};
            fs::create_symlink(targets[rng() % targets.size()], path);
        }
        made.push_back(path);
    }
}

std::string random_request(std::mt19937& rng, const std::vector<std::string>& starts,
                           const std::vector<std::string>& made) {
    static const std::vector<std::string> odd = {".", "..", std::string("n\0ul", 4), "\xff\xfe"};
    std::string path = starts[rng() % starts.size()];
    if (!made.empty() && rng() % 2 == 0) path = made[rng() % made.size()];
    for (int extra = static_cast<int>(rng() % 4); extra > 0; --extra) {
        path += rng() % 4 == 0 ? "//" : "/";
        const std::string& other = made.empty() ? path : made[rng() % made.size()];
        const unsigned pick = rng() % 8;
        path += pick < odd.size() ? odd[pick] : other.substr(other.rfind('/') + 1);
    }
    const unsigned tail = rng() % 6;
    return path + (tail == 0 ? "/" : tail == 1 ? "/." : "");
}

// What validation must conclude, computed the plain way: split on '/', then
// ask the OS about the parent and compare bytes of canonical paths.
std::expected<std::string, RefusalKind> oracle(const std::string& path, const std::string& real_root) {
    if (path.empty() || path[0] != '/') return std::unexpected(RefusalKind::NotAbsolute);
    std::vector<std::string> parts;
    for (const auto piece : std::views::split(path, '/')) {
        std::string part(piece.begin(), piece.end());
        if (part == "..") return std::unexpected(RefusalKind::DotComponent);
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    if (parts.empty()) return std::unexpected(RefusalKind::ScanRootItself);
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::lstat(path.c_str(), &st) != 0) {
        return std::unexpected(RefusalKind::Unresolvable);
    }
    std::string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + parts[i];
    std::error_code unresolvable;
    std::string resolved = fs::canonical(parent.empty() ? "/" : parent, unresolvable).string();
    if (unresolvable) return std::unexpected(RefusalKind::Unresolvable);
    resolved += (resolved == "/" ? "" : "/") + parts.back();
    if (resolved == real_root) return std::unexpected(RefusalKind::ScanRootItself);
    if (!resolved.starts_with(real_root + "/")) return std::unexpected(RefusalKind::OutsideScanRoot);
    return resolved;
}

TEST(PolicyProperty, AcceptedPathsResolveStrictlyInsideTheRealScanRoot) {
    const auto refusal = [](RefusalKind kind) {
        return "refused, kind " + std::to_string(static_cast<int>(kind));
    };
    std::mt19937 rng(20240607);
    std::map<RefusalKind, int> refused;
    int accepted = 0;
    for (int tree = 0; tree < 25; ++tree) {
        TempDir tmp;
        ScopedEnv env;
        env.set("HOME", tmp / "home");
        const std::string t = testing::real(tmp.path());
        fs::create_directories(t + "/root");
        fs::create_directories(t + "/out");
        fs::create_directory_symlink(t + "/root", t + "/rootlink");
        std::vector<std::string> made;
        grow_tree(rng, t + "/root", t + "/root", t + "/out", made);
        grow_tree(rng, t + "/out", t + "/root", t + "/out", made);

        // The root is given through a link: everything must be judged against
        // where it really is.
        const auto policy = PathPolicy::build(t + "/rootlink").value();
        const std::string real_root = t + "/root";
        const std::vector<std::string> starts = {t + "/root", t + "/rootlink", t + "/out", t,
                                                 "/",         "/etc",          "",         "rel"};

        for (int i = 0; i < 200; ++i) {
            const std::string path = random_request(rng, starts, made);
            const auto got = policy.validate(path);
            const auto want = oracle(path, real_root);
            ASSERT_EQ(got ? *got : refusal(got.error().kind()), want ? *want : refusal(want.error()))
                << path << (got ? "" : ": " + got.error().message());
            want ? ++accepted : ++refused[want.error()];
        }
    }
    // Every branch must actually have been exercised for the run to mean much.
    EXPECT_GT(accepted, 300);
    for (auto kind : {RefusalKind::NotAbsolute, RefusalKind::DotComponent, RefusalKind::Unresolvable,
                      RefusalKind::OutsideScanRoot, RefusalKind::ScanRootItself}) {
        EXPECT_GT(refused[kind], 20) << static_cast<int>(kind);
    }
}

}  // namespace
}  // namespace orvalnest
