#include "directory_fd.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "orvalnest/paths.hpp"

#if defined(SYS_openat2)
#include <linux/openat2.h>
#endif

namespace orvalnest::platform::linux_trash {

OsResult<UniqueFd> open_directory_by_walk(std::string_view path) {
    if (!paths::is_absolute(path)) return std::unexpected(OsError::from_errno(EINVAL));
    UniqueFd current(::open("/", kDirectoryFlags));
    if (!current) return std::unexpected(OsError::last());
    for (const auto& component : paths::components(path)) {
        if (component.kind == paths::ComponentKind::Root) continue;
        // Real paths have no ".."; one here would climb out of what was checked.
        if (component.kind == paths::ComponentKind::Parent)
            return std::unexpected(OsError::from_errno(EINVAL));
        const auto name = paths::c_path(component.text);
        if (!name) return std::unexpected(name.error());
        // With O_PATH, O_NOFOLLOW alone would open a link itself; O_DIRECTORY
        // makes a link (or anything else but a directory) fail with ENOTDIR.
        UniqueFd next(::openat(current.get(), name->c_str(), kDirectoryFlags | O_NOFOLLOW));
        if (!next) return std::unexpected(OsError::last());
        current = std::move(next);
    }
    return current;
}

OsResult<UniqueFd> open_directory_no_symlinks(std::string_view path) {
#if defined(SYS_openat2)
    const auto c_path = paths::c_path(path);
    if (!c_path) return std::unexpected(c_path.error());
    open_how how{};
    how.flags = static_cast<unsigned long long>(kDirectoryFlags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, AT_FDCWD, c_path->c_str(), &how, sizeof how);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    // ENOSYS: older kernel; EPERM: a seccomp filter that does not know the call;
    // E2BIG: a kernel that does not know this size of open_how.
    if (errno != ENOSYS && errno != EPERM && errno != E2BIG) return std::unexpected(OsError::last());
#endif
    return open_directory_by_walk(path);
}

}  // namespace orvalnest::platform::linux_trash
