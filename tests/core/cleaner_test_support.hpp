// Scaffolding shared by the core tests: throwaway directories, scoped
// environment changes and whole-file reads and writes.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace orvalnest::testing {

// A fresh directory under `base`, removed with everything in it (links are
// removed, never followed) when the test ends.
class TempDir {
public:
    explicit TempDir(const std::string& base = std::filesystem::temp_directory_path().string()) {
        std::string pattern = base + "/orvalnest-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
        // remove_all works by path and gives up on trees deeper than PATH_MAX;
        // rm walks them by descriptor. Without root, folders a test shut must
        // be opened first. The mkdtemp name needs no quoting.
        if (error) {
            [[maybe_unused]] const int status =
                std::system(("chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'").c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

    // A sparse file of any size, its folders made on the way.
    void file(const std::string& relative, std::uint64_t size) const {
        std::filesystem::create_directories(std::filesystem::path(*this / relative).parent_path());
        std::ofstream(*this / relative, std::ios::binary).flush();
        ASSERT_EQ(::truncate((*this / relative).c_str(), static_cast<off_t>(size)), 0) << relative;
    }

private:
    std::string path_;
};

// Sets or unsets (given nothing) environment variables for one scope and
// puts back what was there before.
class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put(it->first, it->second);
    }
    void set(const std::string& name, const std::optional<std::string>& value) {
        const char* old = ::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        put(name, value);
    }

private:
    static void put(const std::string& name, const std::optional<std::string>& value) {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline void write_file(const std::string& path, const std::string& content = "x") {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// The file's lines; a last line without its line feed fails the test.
inline std::vector<std::string> read_lines(const std::string& path) {
    const std::string text = read_file(path);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    EXPECT_EQ(start, text.size()) << "the last line has no line feed";
    return lines;
}

// Writes `text` to a file of /proc/self, as the kernel wants it: in one write.
inline bool write_proc(const char* name, const std::string& text) {
    const int fd = ::open((std::string("/proc/self/") + name).c_str(), O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) ::close(fd);
    return written;
}

// For a user who is not root, a user namespace of its own makes mounts
// possible: the user stays who they are (their ids map to themselves), and of
// the namespace's powers keeps only the one to mount, so that permissions
// refuse what they refused before (a folder the user shut stays shut).
inline std::optional<std::string> enter_user_namespace() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
        return std::string("needs root or user namespaces: unshare(CLONE_NEWUSER): ") + std::strerror(errno);
    if (!write_proc("uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1\n") ||
        !write_proc("setgroups", "deny") ||
        !write_proc("gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1\n")) {
        return std::string("mapping the user into its namespace: ") + std::strerror(errno);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    data[0].effective = data[0].permitted = 1u << CAP_SYS_ADMIN;
    if (::syscall(SYS_capset, &header, data) != 0)
        return std::string("keeping only CAP_SYS_ADMIN: ") + std::strerror(errno);
    return std::nullopt;
}

// Mounts for one test, detached when it ends. The first gives the test
// process a mount namespace of its own (everything below "/" private): what
// its tests mount is then seen by no other process and goes away with it.
// Without root, that namespace comes with a user namespace where the kernel
// allows one. Declare it after the TempDir that holds the mount points, so
// they are gone before that folder is removed: removing a tree walks into mounts.
class PrivateMounts {
public:
    PrivateMounts() = default;
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;
    ~PrivateMounts() {
        for (auto it = targets_.rbegin(); it != targets_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    }

    // Each returns why the mount could not be made, or nothing.
    std::optional<std::string> tmpfs(const std::string& target) {
        return mount("orvalnest-test", target, "tmpfs", 0, "mode=0755");
    }
    // Read-only, so that nothing reaches `source` through it. In a user
    // namespace, a folder with mounts below it (as "/") binds only with them.
    std::optional<std::string> bind(const std::string& source, const std::string& target) {
        auto refused = mount(source, target, nullptr, MS_BIND, nullptr);
        if (refused && errno == EINVAL) refused = mount(source, target, nullptr, MS_BIND | MS_REC, nullptr);
        if (refused) return refused;
        if (::mount("none", target.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            return "read-only " + target + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<std::string> mount(const std::string& source, const std::string& target, const char* type,
                                     unsigned long flags, const char* data) {
        static const std::optional<std::string> refused = []() -> std::optional<std::string> {
            if (::unshare(CLONE_NEWNS) != 0) {
                if (errno != EPERM) return std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
                if (auto refused = enter_user_namespace()) return refused;
            }
            if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                return std::string("making / private: ") + std::strerror(errno);
            return std::nullopt;
        }();
        if (refused) return refused;
        // A file is mounted on a file that exists (/etc/passwd, say).
        if (!std::filesystem::exists(target)) std::filesystem::create_directories(target);
        if (::mount(source.c_str(), target.c_str(), type, flags, data) != 0) {
            const int error = errno;
            std::string refused = "mount " + target + ": " + std::strerror(error);
            errno = error;  // for the caller that tries another way
            return refused;
        }
        targets_.push_back(target);
        return std::nullopt;
    }

private:
    std::vector<std::string> targets_;
};

inline std::string real(const std::string& path) { return std::filesystem::canonical(path).string(); }

}  // namespace orvalnest::testing
