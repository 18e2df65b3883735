// What one look at a filesystem entry tells, taken relative to a descriptor
// of the directory it is in: the policy judges these facts, and the trash
// checks after the move that it moved the entry they describe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "orvalnest/error.hpp"

namespace orvalnest {

// Which file a name leads to, whatever the spelling: another bind mount of
// the same directory, or another case on a case-insensitive filesystem.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct EntryFacts {
    FileIdentity identity;
    mode_t mode = 0;
    uid_t owner = 0;
    std::uint64_t links = 0;
    std::uint64_t size = 0;        // st_size
    std::uint64_t disk_usage = 0;  // st_blocks * 512
    // The mount holding the entry (the mount's own id for a mount point),
    // where the kernel tells it (statx, Linux 5.8).
    std::optional<std::uint64_t> mount_id;
    // Whether the entry is the top of a mount, where the kernel tells it.
    std::optional<bool> mount_root;
    bool immutable = false;    // chattr +i: nothing renames it
    bool append_only = false;  // chattr +a: the same

    bool is_directory() const;
    bool is_symlink() const;
};

// statx (or fstatat where the kernel has no statx) of `name` relative to
// `dirfd`, never following a final symbolic link nor triggering an automount.
// `name` "" describes `dirfd` itself.
OsResult<EntryFacts> examine_at(int dirfd, const char* name);

}  // namespace orvalnest
