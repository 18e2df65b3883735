// Directory descriptors opened so that no symbolic link on the way is
// followed: the entry we move is then the one that was checked, even when a
// directory on its path is swapped for a link in between.
#pragma once

#include <fcntl.h>

#include <string_view>

#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest::platform::linux_trash {

// A directory held only to work relative to it: nothing is read through it.
inline constexpr int kDirectoryFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// An O_PATH descriptor of the absolute directory `path`. Fails with ELOOP or
// ENOTDIR when a component is a symbolic link. Uses openat2 with
// RESOLVE_NO_SYMLINKS where the kernel has it, open_directory_by_walk otherwise
// (the shared rule of orvalnest/open_beneath.hpp, from "/").
OsResult<UniqueFd> open_directory_no_symlinks(std::string_view path);

// The same, one component at a time with O_NOFOLLOW, for kernels without openat2.
OsResult<UniqueFd> open_directory_by_walk(std::string_view path);

}  // namespace orvalnest::platform::linux_trash
