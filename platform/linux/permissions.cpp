#include "permissions.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace orvalnest::platform::linux_trash {

namespace {

#if !defined(SYS_faccessat2)
#define SYS_faccessat2 439
#endif

// The permission bits for the effective user, for kernels without
// faccessat2 (before 5.8). Root passes them all, as the kernel lets it.
int check_bits(int fd, int wanted) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return errno;
    struct statvfs vfs {};
    if ((wanted & W_OK) && ::fstatvfs(fd, &vfs) == 0 && (vfs.f_flag & ST_RDONLY)) return EROFS;
    if (::geteuid() == 0) return 0;
    const mode_t shift = st.st_uid == ::geteuid() ? 6 : st.st_gid == ::getegid() ? 3 : 0;
    const mode_t granted = (st.st_mode >> shift) & 7;
    return (granted & static_cast<mode_t>(wanted)) == static_cast<mode_t>(wanted) ? 0 : EACCES;
}

// access() for the effective ids on the descriptor itself.
int access_of(int fd, int wanted) {
    if (::syscall(SYS_faccessat2, fd, "", wanted, AT_EMPTY_PATH | AT_EACCESS) == 0) return 0;
    if (errno != ENOSYS && errno != EINVAL && errno != EPERM) return errno;
    return check_bits(fd, wanted);
}

}  // namespace

OsResult<void> can_change_folder(int dirfd) {
    if (const int error = access_of(dirfd, W_OK | X_OK)) return std::unexpected(OsError::from_errno(error));
    return {};
}

OsResult<void> can_rename_out(int dirfd, const char* name, const EntryFacts& entry,
                              const EntryFacts& folder) {
    if (entry.immutable || entry.append_only || folder.immutable || folder.append_only)
        return std::unexpected(OsError::from_errno(EPERM));
    // In a sticky folder (/tmp) only the entry's owner, the folder's owner or
    // root may take an entry away.
    const uid_t self = ::geteuid();
    if ((folder.mode & S_ISVTX) && self != 0 && entry.owner != self && folder.owner != self)
        return std::unexpected(OsError::from_errno(EPERM));
    if (entry.is_directory()) {
        const int fd = ::openat(dirfd, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return std::unexpected(OsError::last());
        const int error = access_of(fd, W_OK);
        ::close(fd);
        if (error) return std::unexpected(OsError::from_errno(error));
    }
    return {};
}

}  // namespace orvalnest::platform::linux_trash
