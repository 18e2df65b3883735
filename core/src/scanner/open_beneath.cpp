#include "open_beneath.hpp"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#if defined(__linux__) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#define ORVALNEST_HAVE_OPENAT2 1
#endif

namespace orvalnest::scanner_detail {
namespace {

constexpr int kListFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// Intermediate steps only need a path descriptor where the system has them;
// elsewhere they are opened for reading, which the walk has just done anyway.
#if defined(O_PATH)
constexpr int kStepFlags = kListFlags | O_PATH;
#else
constexpr int kStepFlags = kListFlags;
#endif

#if defined(ORVALNEST_HAVE_OPENAT2)
// Cleared the first time the kernel says it has no openat2 (before 5.6).
std::atomic<bool> openat2_available{true};

// One system call for the whole path: the kernel refuses every symbolic link
// and any step out of `base`.
bool try_openat2(int base, const std::string& relative, UniqueFd& opened) {
    if (!openat2_available.load(std::memory_order_relaxed) || relative.size() >= PATH_MAX) return false;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(kListFlags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, base, relative.c_str(), &how, sizeof(how));
    } while (fd < 0 && errno == EINTR);
    // EAGAIN: a race the kernel would rather have retried step by step.
    if (fd < 0 && errno == EAGAIN) return false;
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
        // EPERM: a seccomp filter that refuses system calls it does not know.
        openat2_available.store(false, std::memory_order_relaxed);
        return false;
    }
    opened = UniqueFd(static_cast<int>(fd));
    return true;
}
#endif

}  // namespace

UniqueFd open_beneath(int base, std::string_view relative) {
    std::string path(relative);
#if defined(ORVALNEST_HAVE_OPENAT2)
    if (UniqueFd opened; try_openat2(base, path, opened)) return opened;
#endif
    // Component by component.
    UniqueFd held;
    int at = base;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const bool last = end == std::string::npos;
        if (!last) path[end] = '\0';
        UniqueFd next(::openat(at, path.c_str() + start, last ? kListFlags : kStepFlags));
        if (!next) return UniqueFd();
        held = std::move(next);
        if (last) return held;
        at = held.get();
        start = end + 1;
    }
}

}  // namespace orvalnest::scanner_detail
