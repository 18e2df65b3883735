#include "orvalnest/policy.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "cleaner_test_support.hpp"

namespace orvalnest {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;
using testing::write_file;

std::string replace_all(std::string text, std::string_view from, const std::string& to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// $T is the temporary directory, $S the scan root inside it.
struct PolicyCase {
    std::string path;
    std::optional<RefusalKind> kind;  // none: accepted
    std::string expected;             // the resolved path, or the refusal message
};

void PrintTo(const PolicyCase& c, std::ostream* os) { *os << c.path; }

class PolicyValidate : public ::testing::TestWithParam<PolicyCase> {
protected:
    void SetUp() override {
        env_.set("HOME", tmp_ / "home");
        fs::create_directories(tmp_ / "home");
        fs::create_directories(tmp_ / "scan/dir");
        fs::create_directories(tmp_ / "outside");
        write_file(tmp_ / "scan/file");
        write_file(tmp_ / "scan/dir/inner");
        write_file(tmp_ / "outside/secret");
        write_file(tmp_ / "scan/bad\xff");
        fs::create_directory_symlink(tmp_ / "outside", tmp_ / "scan/link_out");
        fs::create_directory_symlink("/etc", tmp_ / "scan/link_etc");
        fs::create_symlink(tmp_ / "missing", tmp_ / "scan/dangling");
        fs::create_directory_symlink("dir", tmp_ / "scan/link_dir");
        fs::create_directory_symlink(".", tmp_ / "scan/link_root");
        fs::create_directory_symlink(tmp_ / "scan", tmp_ / "scanlink");
        fs::create_directory_symlink(".", tmp_ / "tlink");
        policy_.emplace(PathPolicy::build(tmp_ / "scan").value());
    }

    std::string expand(const std::string& text) const {
        const std::string t = testing::real(tmp_.path());
        return replace_all(replace_all(text, "$S", t + "/scan"), "$T", t);
    }

    TempDir tmp_;
    ScopedEnv env_;
    std::optional<PathPolicy> policy_;
};

TEST_P(PolicyValidate, AcceptsOrRefusesWithTheExactMessage) {
    const PolicyCase& c = GetParam();
    auto result = policy_->validate(expand(c.path));
    if (!c.kind) {
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_EQ(*result, expand(c.expected));
        return;
    }
    ASSERT_FALSE(result.has_value()) << "accepted as " << *result;
    EXPECT_EQ(result.error().kind(), *c.kind);
    EXPECT_EQ(result.error().message(), expand(c.expected));
    EXPECT_EQ(result.error().is_unresolvable(), *c.kind == RefusalKind::Unresolvable);
}

constexpr auto kDot = RefusalKind::DotComponent;
constexpr auto kOutside = RefusalKind::OutsideScanRoot;
constexpr auto kItself = RefusalKind::ScanRootItself;
constexpr auto kUnresolvable = RefusalKind::Unresolvable;
const std::string kNotAbsolute = "path is not absolute";
const std::string kDotMessage = "path contains '.' or '..' components";
const std::string kOutsideMessage = "path is outside the scanned folder";
const std::string kItselfMessage = "refusing to delete the scanned folder itself";
const std::string kMissing = "path could not be resolved: No such file or directory (os error 2)";

INSTANTIATE_TEST_SUITE_P(
    Refusals, PolicyValidate,
    ::testing::Values(PolicyCase{"", RefusalKind::NotAbsolute, kNotAbsolute},
                      PolicyCase{"relative/x", RefusalKind::NotAbsolute, kNotAbsolute},
                      PolicyCase{"$S/dir/../file", kDot, kDotMessage},  // would resolve inside, still refused
                      PolicyCase{"$S/..", kDot, kDotMessage}, PolicyCase{"/", kItself, kItselfMessage},
                      PolicyCase{"//", kItself, kItselfMessage}, PolicyCase{"/.", kItself, kItselfMessage},
                      PolicyCase{"$S", kItself, kItselfMessage}, PolicyCase{"$S//", kItself, kItselfMessage},
                      PolicyCase{"$S/.", kItself, kItselfMessage},
                      PolicyCase{"$T/tlink/scan", kItself, kItselfMessage},  // through a linked parent
                      PolicyCase{"$S/missing", kUnresolvable, kMissing},
                      PolicyCase{"$S/dangling/x", kUnresolvable, kMissing},
                      PolicyCase{"$S/file/x", kUnresolvable,
                                 "path could not be resolved: Not a directory (os error 20)"},
                      PolicyCase{std::string("$S/fi\0le", 8), kUnresolvable,
                                 "path could not be resolved: file name contained an unexpected NUL byte"},
                      PolicyCase{"$T/outside/secret", kOutside, kOutsideMessage},
                      PolicyCase{"$S/link_out/secret", kOutside, kOutsideMessage},
                      PolicyCase{"$S/link_etc/hosts", kOutside, kOutsideMessage},
                      // A link to the scan root is a different entry from the scan root.
                      PolicyCase{"$T/scanlink", kOutside, kOutsideMessage}));

INSTANTIATE_TEST_SUITE_P(Accepted, PolicyValidate,
                         ::testing::Values(PolicyCase{"$S/file", std::nullopt, "$S/file"},
                                           PolicyCase{"$S//./dir/", std::nullopt, "$S/dir"},
                                           PolicyCase{"$S/dir/.", std::nullopt, "$S/dir"},
                                           PolicyCase{"$T/tlink/scan/file", std::nullopt, "$S/file"},
                                           PolicyCase{"$T/scanlink/dir/inner", std::nullopt, "$S/dir/inner"},
                                           PolicyCase{"$S/link_dir/inner", std::nullopt, "$S/dir/inner"},
                                           // The final link is kept, never its target.
                                           PolicyCase{"$S/link_out", std::nullopt, "$S/link_out"},
                                           PolicyCase{"$S/link_out/", std::nullopt, "$S/link_out"},
                                           PolicyCase{"$S/link_etc", std::nullopt, "$S/link_etc"},
                                           PolicyCase{"$S/dangling", std::nullopt, "$S/dangling"},
                                           PolicyCase{"$S/link_root", std::nullopt, "$S/link_root"},
                                           PolicyCase{"$S/link_root/file", std::nullopt, "$S/file"},
                                           PolicyCase{"$S/bad\xff", std::nullopt, "$S/bad\xff"}));

TEST(PolicyBuild, ResolvesTheScanRootAndFailsWhenItCannot) {
    TempDir tmp;
    fs::create_directories(tmp / "real");
    fs::create_directory_symlink(tmp / "real", tmp / "link");
    EXPECT_EQ(PathPolicy::build(tmp / "link/").value().scan_root(), testing::real(tmp / "real"));
    EXPECT_EQ(PathPolicy::build(tmp / "gone").error().text(), "No such file or directory (os error 2)");
}

TEST(PolicyBuild, ProtectedEntriesAreResolvedWhenTheyExistAndKeptOtherwise) {
    TempDir tmp;
    ScopedEnv env;
    fs::create_directories(tmp / "home");
    fs::create_directory_symlink(tmp / "home", tmp / "homelink");
    const auto expected = [](std::string_view entry) {
        std::error_code error;
        auto resolved = fs::canonical(entry, error);
        return error ? std::string(entry) : resolved.string();
    };

    env.set("HOME", tmp / "homelink");
    const auto policy = PathPolicy::build(tmp.path()).value();
    const std::vector<std::string_view> subtrees = {
        "/bin",       "/boot", "/dev", "/etc",    "/lib",     "/lib32",       "/lib64",
        "/libx32",    "/proc", "/run", "/sbin",   "/sys",     "/usr",         "/var/lib",
        "/var/spool", "/snap", "/efi", "/System", "/Library", "/private/etc", "/private/var/db"};
    ASSERT_EQ(policy.protected_subtrees().size(), subtrees.size());
    for (size_t i = 0; i < subtrees.size(); ++i) {
        EXPECT_EQ(policy.protected_subtrees()[i], expected(subtrees[i])) << subtrees[i];
    }
    const std::vector<std::string_view> exact = {
        "/home", "/root", "/var", "/var/log", "/var/cache", "/var/tmp",     "/opt",
        "/srv",  "/tmp",  "/mnt", "/media",   "/Users",     "/Applications"};
    ASSERT_EQ(policy.protected_exact().size(), exact.size() + 1);
    for (size_t i = 0; i < exact.size(); ++i) EXPECT_EQ(policy.protected_exact()[i], expected(exact[i]));
    EXPECT_EQ(policy.protected_exact().back(), testing::real(tmp / "home"));

    env.set("HOME", "/no/such/home");
    EXPECT_EQ(PathPolicy::build(tmp.path()).value().protected_exact().back(), "/no/such/home");
    env.unset("HOME");
    EXPECT_EQ(PathPolicy::build(tmp.path()).value().protected_exact().size(), exact.size());
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
    const auto refusal = [&](const std::string& path) {
        auto result = policy.validate(path);
        return result ? "accepted " + *result : result.error().message();
    };
    const auto protected_text = [](const std::string& entry) {
        return testing::real(entry) + " is a protected system location";
    };

    EXPECT_EQ(refusal("/"), kItselfMessage);
    EXPECT_EQ(refusal("/usr/share"), "/usr is a protected system location");
    EXPECT_EQ(refusal("/etc/hosts"), protected_text("/etc"));
    EXPECT_EQ(refusal("/bin/sh"), protected_text("/bin"));  // "/usr/bin" where /bin is a link
    EXPECT_EQ(refusal("/var/lib"), protected_text("/var/lib"));
    EXPECT_EQ(refusal("/var"), protected_text("/var"));
    EXPECT_EQ(refusal("/home"), protected_text("/home"));
    EXPECT_EQ(refusal("/tmp"), protected_text("/tmp"));
    EXPECT_EQ(refusal(tmp / "home/"), protected_text(tmp / "home"));
    // Exact entries protect themselves only.
    EXPECT_EQ(refusal(tmp / "home/notes.txt"), "accepted " + testing::real(tmp / "home/notes.txt"));
    EXPECT_EQ(refusal(tmp / "loose"), "accepted " + testing::real(tmp / "loose"));
    auto refused = policy.validate("/usr");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind(), RefusalKind::ProtectedLocation);
    EXPECT_EQ(refused.error().location(), "/usr");
}

TEST(PolicyProtected, ScanRootInsideAProtectedTreeRefusesEverything) {
    ScopedEnv env;
    env.unset("HOME");
    const auto policy = PathPolicy::build("/usr/local").value();
    EXPECT_EQ(policy.validate("/usr/local/bin").error().message(), "/usr is a protected system location");
    EXPECT_EQ(policy.validate("/usr/local").error().kind(), RefusalKind::ScanRootItself);
    EXPECT_EQ(policy.validate("/usr/bin").error().kind(), RefusalKind::OutsideScanRoot);
}

// --- random trees ----------------------------------------------------------

// Builds a random tree of directories, files and links (out of the root, to
// the root, to /etc, dangling, looping, climbing) under `base`, and returns
// every path it made.
std::vector<std::string> grow_tree(std::mt19937& rng, const std::string& base, const std::string& root,
                                   const std::string& outside) {
    static const std::vector<std::string> names = {"a", "b", "c", "d\xff", "e\xc3", "f\n", "g g", "\xc3\xa9"};
    std::vector<std::string> dirs = {base}, made;
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
            static const std::vector<std::string> fixed = {"/etc", "..", "../..", "self", "/"};
            const std::vector<std::string> targets = {outside,
                                                      root,
                                                      path + "-missing",
                                                      path,
                                                      dirs[rng() % dirs.size()],
                                                      fixed[rng() % fixed.size()]};
            fs::create_symlink(targets[rng() % targets.size()], path);
        }
        made.push_back(path);
    }
    return made;
}

std::string random_request(std::mt19937& rng, const std::vector<std::string>& starts,
                           const std::vector<std::string>& made) {
    std::string path = starts[rng() % starts.size()];
    if (!made.empty() && rng() % 2 == 0) path = made[rng() % made.size()];
    const int extra = static_cast<int>(rng() % 4);
    for (int i = 0; i < extra; ++i) {
        path += rng() % 4 == 0 ? "//" : "/";
        switch (rng() % 8) {
            case 0:
                path += ".";
                break;
            case 1:
                path += "..";
                break;
            case 2:
                path += std::string("n\0ul", 4);
                break;
            case 3:
                path += "\xff\xfe";
                break;
            default: {
                const std::string& other = made.empty() ? path : made[rng() % made.size()];
                path += other.substr(other.rfind('/') + 1);
            }
        }
    }
    switch (rng() % 6) {
        case 0:
            path += "/";
            break;
        case 1:
            path += "/.";
            break;
        default:
            break;
    }
    return path;
}

// What validation must conclude, computed the plain way: split on '/', then
// ask the OS about the parent and compare bytes of canonical paths.
std::expected<std::string, RefusalKind> oracle(const std::string& path, const std::string& real_root) {
    if (path.empty() || path[0] != '/') return std::unexpected(RefusalKind::NotAbsolute);
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(start, end - start);
        if (part == "..") return std::unexpected(RefusalKind::DotComponent);
        if (!part.empty() && part != ".") parts.push_back(part);
        start = end + 1;
    }
    if (parts.empty()) return std::unexpected(RefusalKind::ScanRootItself);
    struct stat st {};
    if (path.find('\0') != std::string::npos || ::lstat(path.c_str(), &st) != 0) {
        return std::unexpected(RefusalKind::Unresolvable);
    }
    std::string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + parts[i];
    std::unique_ptr<char, decltype(&::free)> real_parent(
        ::realpath(parent.empty() ? "/" : parent.c_str(), nullptr), &::free);
    if (!real_parent) return std::unexpected(RefusalKind::Unresolvable);
    std::string resolved = real_parent.get();
    resolved += (resolved == "/" ? "" : "/") + parts.back();
    if (resolved == real_root) return std::unexpected(RefusalKind::ScanRootItself);
    if (!resolved.starts_with(real_root + "/")) return std::unexpected(RefusalKind::OutsideScanRoot);
    return resolved;
}

TEST(PolicyProperty, AcceptedPathsResolveStrictlyInsideTheRealScanRoot) {
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
        auto made = grow_tree(rng, t + "/root", t + "/root", t + "/out");
        const auto made_out = grow_tree(rng, t + "/out", t + "/root", t + "/out");
        made.insert(made.end(), made_out.begin(), made_out.end());

        // The root is given through a link: everything must be judged against
        // where it really is.
        const auto policy = PathPolicy::build(t + "/rootlink").value();
        const std::string real_root = t + "/root";
        ASSERT_EQ(policy.scan_root(), real_root);
        const std::vector<std::string> starts = {t + "/root", t + "/rootlink", t + "/out", t,
                                                 "/",         "/etc",          "",         "rel"};

        for (int i = 0; i < 200; ++i) {
            const std::string path = random_request(rng, starts, made);
            const auto got = policy.validate(path);
            const auto want = oracle(path, real_root);
            SCOPED_TRACE(path);
            if (!want) {
                ASSERT_FALSE(got.has_value()) << "accepted as " << *got;
                ASSERT_EQ(got.error().kind(), want.error()) << got.error().message();
                ++refused[want.error()];
                continue;
            }
            ASSERT_TRUE(got.has_value()) << got.error().message();
            ASSERT_EQ(*got, *want);
            ASSERT_TRUE(got->starts_with(real_root + "/") && got->size() > real_root.size() + 1);
            // Same entry as requested (trailing "/" and "." aside, which make
            // lstat follow a link): the last component was not followed.
            std::string entry = path;
            while (entry.ends_with("/") || entry.ends_with("/.")) entry.pop_back();
            struct stat requested {};
            struct stat resolved {};
            ASSERT_EQ(::lstat(entry.c_str(), &requested), 0);
            ASSERT_EQ(::lstat(got->c_str(), &resolved), 0);
            ASSERT_EQ(requested.st_dev, resolved.st_dev);
            ASSERT_EQ(requested.st_ino, resolved.st_ino);
            ++accepted;
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
