#include "mount_identity.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>

#include "orvalnest/paths.hpp"

namespace orvalnest::platform::linux_trash {

OsResult<MountIdentity> mount_identity(int dirfd, const char* name, int flags) {
    struct statx stx {};
    if (::statx(dirfd, name, flags, STATX_TYPE | STATX_MNT_ID, &stx) == 0) {
        MountIdentity out;
        out.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
        out.has_mount_id = (stx.stx_mask & STATX_MNT_ID) != 0;
        out.mount_id = out.has_mount_id ? stx.stx_mnt_id : 0;
#if defined(STATX_ATTR_MOUNT_ROOT)
        if (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
            out.mount_root = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
#endif
        return out;
    }
    if (errno != ENOSYS) return std::unexpected(OsError::last());
    struct stat st {};
    if (::fstatat(dirfd, name, &st, flags) != 0) return std::unexpected(OsError::last());
    MountIdentity out;
    out.device = st.st_dev;
    return out;
}

OsResult<std::string> top_directory(const std::string& real_dir, const MountIdentity& identity) {
    std::string top = real_dir;
    for (;;) {
        const auto up = paths::parent(top);
        if (!up || up->empty()) return top;  // reached the root
        const std::string candidate(*up);
        const auto id = mount_identity(AT_FDCWD, candidate.c_str(), AT_SYMLINK_NOFOLLOW);
        if (!id) return std::unexpected(id.error());
        if (!id->same_mount(identity)) return top;
        top = candidate;
    }
}

}  // namespace orvalnest::platform::linux_trash
