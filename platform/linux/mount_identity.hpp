// Which mounted filesystem an entry lives on. rename(2) only works within one
// mount, and two bind mounts of one filesystem share a device number, so the
// mount id from statx decides where the kernel offers it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "orvalnest/error.hpp"

namespace orvalnest::platform::linux_trash {

struct MountIdentity {
    std::uint64_t mount_id = 0;
    bool has_mount_id = false;
    dev_t device = 0;
    // Whether the entry is the top of a mount, where the kernel says so.
    std::optional<bool> mount_root;

    // Same mount: equal mount ids where both are known, and always the same
    // device (btrfs subvolumes share a mount but not rename).
    bool same_mount(const MountIdentity& other) const {
        if (has_mount_id && other.has_mount_id && mount_id != other.mount_id) return false;
        return device == other.device;
    }

    // Whether this entry, found in a directory on `parent`, is a mount point.
    // Decided by the kernel's mount-root flag or the mount id: inside an
    // overlay (a container) the files of each layer report their own device
    // number, so a device that differs from the parent's proves nothing.
    bool is_mount_point_under(const MountIdentity& parent) const {
        if (mount_root) return *mount_root;
        if (has_mount_id && parent.has_mount_id) return mount_id != parent.mount_id;
        return device != parent.device;
    }
};

// statx(dirfd, name, flags); name "" with AT_EMPTY_PATH describes dirfd itself.
OsResult<MountIdentity> mount_identity(int dirfd, const char* name, int flags);

// The mount point of the filesystem holding the directory `real_dir` (a real
// path, no links): its highest ancestor on the same mount.
OsResult<std::string> top_directory(const std::string& real_dir, const MountIdentity& identity);

}  // namespace orvalnest::platform::linux_trash
