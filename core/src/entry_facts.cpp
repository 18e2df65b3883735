#include "orvalnest/entry_facts.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "orvalnest/eintr.hpp"

#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

namespace orvalnest {

bool EntryFacts::is_directory() const { return S_ISDIR(mode); }
bool EntryFacts::is_symlink() const { return S_ISLNK(mode); }

OsResult<EntryFacts> examine_at(int dirfd, const char* name) {
#if defined(__linux__) && defined(STATX_MNT_ID)
    struct statx stx {};
    constexpr unsigned kMask = STATX_TYPE | STATX_MODE | STATX_UID | STATX_NLINK | STATX_INO | STATX_SIZE |
                               STATX_BLOCKS | STATX_MNT_ID;
    if (retry_on_eintr([&] {
            const int empty = name[0] == '\0' ? AT_EMPTY_PATH : 0;
            return ::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | empty, kMask, &stx);
        }) == 0) {
        EntryFacts out;
        out.identity = {makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino};
        out.mode = stx.stx_mode;
        out.owner = stx.stx_uid;
        out.links = stx.stx_nlink;
        out.size = stx.stx_size;
        out.disk_usage = stx.stx_blocks * 512;
        if (stx.stx_mask & STATX_MNT_ID) out.mount_id = stx.stx_mnt_id;
        if (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
            out.mount_root = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        out.immutable = (stx.stx_attributes & STATX_ATTR_IMMUTABLE) != 0;
        out.append_only = (stx.stx_attributes & STATX_ATTR_APPEND) != 0;
        return out;
    }
    if (errno != ENOSYS) return std::unexpected(OsError::last());
#endif
    struct stat st {};
    const int looked =
        name[0] == '\0' ? ::fstat(dirfd, &st) : ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW);
    if (looked != 0) return std::unexpected(OsError::last());
    EntryFacts out;
    out.identity = {st.st_dev, st.st_ino};
    out.mode = st.st_mode;
    out.owner = st.st_uid;
    out.links = static_cast<std::uint64_t>(st.st_nlink);
    out.size = static_cast<std::uint64_t>(st.st_size);
    out.disk_usage = static_cast<std::uint64_t>(st.st_blocks) * 512;
    return out;
}

}  // namespace orvalnest
