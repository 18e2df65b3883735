// Walking one entry and everything below it through descriptors only: no
// symbolic link is followed, no other filesystem entered, and however deep the
// tree, only a bounded number of descriptors is held. Emptying the trash and
// measuring what it holds both need exactly this, as root too.
#pragma once

#include <cstdint>
#include <string_view>

#include "orvalnest/error.hpp"

namespace orvalnest {

struct TreeSize {
    std::uint64_t entries = 0;
    std::uint64_t disk_usage = 0;  // st_blocks * 512, each inode once
};

// The entries and bytes on disk of `name` in the folder `dirfd` and of
// everything below it on the same filesystem; folders of other filesystems
// below it are not entered.
OsResult<TreeSize> measure_beneath(int dirfd, std::string_view name);

// Removes `name` from the folder `dirfd` with everything below it, deepest
// first. Meets a folder of another filesystem (a mount point), or a folder
// that is not the one it looked at, and it stops there with an error and
// leaves the rest: nothing on another filesystem is ever removed. Returns what
// it removed.
OsResult<TreeSize> remove_beneath(int dirfd, std::string_view name);

}  // namespace orvalnest
