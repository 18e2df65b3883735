#include "orvalnest/open_beneath.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "orvalnest/eintr.hpp"

#if defined(__linux__) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#define ORVALNEST_HAVE_OPENAT2 1
#endif

namespace orvalnest {
namespace {

// Intermediate steps only need a path descriptor where the system has them.
#if defined(O_PATH)
constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#else
constexpr int kStepFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
#endif

// O_PATH | O_NOFOLLOW opens a final symbolic link as itself, whatever the
// resolve flags say; the rule is that no link is ever opened.
OsResult<UniqueFd> refuse_final_link(UniqueFd opened, int flags) {
#if defined(O_PATH)
    struct stat metadata {};
    if ((flags & O_PATH) && !(flags & O_DIRECTORY)) {
        if (::fstat(opened.get(), &metadata) != 0) return std::unexpected(OsError::last());
        if (S_ISLNK(metadata.st_mode)) return std::unexpected(OsError::from_errno(ELOOP));
    }
#else
    (void)flags;
#endif
    return opened;
}

#if defined(ORVALNEST_HAVE_OPENAT2)
// Cleared the first time the kernel says it cannot do openat2 at all.
std::atomic<bool> openat2_available{true};

enum class Tried { Done, Fallback };

// One system call for the whole path: the kernel refuses every symbolic link
// and any step out of `base`.
Tried try_openat2(int base, const std::string& relative, int flags, OsResult<UniqueFd>& opened) {
    if (!openat2_available.load(std::memory_order_relaxed) || relative.size() >= PATH_MAX)
        return Tried::Fallback;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const long fd =
        retry_on_eintr([&] { return ::syscall(SYS_openat2, base, relative.c_str(), &how, sizeof how); });
    if (fd >= 0) {
        opened = refuse_final_link(UniqueFd(static_cast<int>(fd)), flags);
        return Tried::Done;
    }
    switch (errno) {
        case EAGAIN:  // a rename raced the lookup; the kernel would rather we went step by step
            return Tried::Fallback;
        case ENOSYS:  // before Linux 5.6
        case EPERM:   // a seccomp filter that refuses calls it does not know
        case E2BIG:   // a kernel that does not know this size of open_how
            openat2_available.store(false, std::memory_order_relaxed);
            return Tried::Fallback;
        default:
            opened = std::unexpected(OsError::last());
            return Tried::Done;
    }
}
#endif

bool has_parent_step(std::string_view relative) {
    for (size_t start = 0; start <= relative.size();) {
        const size_t slash = std::min(relative.find('/', start), relative.size());
        if (relative.substr(start, slash - start) == "..") return true;
        start = slash + 1;
    }
    return false;
}

}  // namespace

OsResult<UniqueFd> open_beneath_by_steps(int base, std::string_view relative, int flags) {
    if (relative.find('\0') != std::string_view::npos) return std::unexpected(OsError::from_errno(EINVAL));
    std::string path(relative);
    UniqueFd held;
    int at = base;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.find('/', start);
        const bool last = slash == std::string::npos;
        const size_t end = last ? path.size() : slash;
        const std::string_view component(path.data() + start, end - start);
        if (component == "..") return std::unexpected(OsError::from_errno(EXDEV));
        if (!component.empty() && component != ".") {
            path[end] = '\0';  // the string's own terminator when last
            const int step_flags = last ? (flags | O_NOFOLLOW | O_CLOEXEC) : kStepFlags;
            UniqueFd next(retry_on_eintr([&] { return ::openat(at, path.c_str() + start, step_flags); }));
            if (!next) return std::unexpected(OsError::last());
            held = std::move(next);
            at = held.get();
        } else if (last) {
            // "", "." or a trailing slash: the directory reached so far, opened as asked.
            UniqueFd again(retry_on_eintr([&] { return ::openat(at, ".", flags | O_NOFOLLOW | O_CLOEXEC); }));
            if (!again) return std::unexpected(OsError::last());
            return again;
        }
        if (last) return refuse_final_link(std::move(held), flags);
        start = end + 1;
    }
}

OsResult<UniqueFd> open_beneath(int base, std::string_view relative, int flags) {
#if defined(ORVALNEST_HAVE_OPENAT2)
    if (relative.find('\0') != std::string_view::npos) return std::unexpected(OsError::from_errno(EINVAL));
    // The kernel allows ".." that stays below `base`; the rule is stricter.
    if (has_parent_step(relative)) return std::unexpected(OsError::from_errno(EXDEV));
    const std::string path(relative.empty() ? std::string_view(".") : relative);
    OsResult<UniqueFd> opened = std::unexpected(OsError::from_errno(0));
    if (try_openat2(base, path, flags, opened) == Tried::Done) return opened;
#endif
    return open_beneath_by_steps(base, relative, flags);
}

}  // namespace orvalnest
