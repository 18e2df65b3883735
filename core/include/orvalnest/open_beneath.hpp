// The one rule for opening a path below a directory descriptor without
// following a symbolic link anywhere on the way: the scan reopens folders
// below its root with it, and the trash opens the parent of what it moves.
#pragma once

#include <string_view>

#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest {

// Opens `relative` ('/'-separated components; empty and "." components are
// skipped, ".." is refused with EXDEV as the kernel does) below the directory
// `base`, with `flags` (O_NOFOLLOW and O_CLOEXEC are added). No symbolic link is
// followed, not even the last component, and nothing outside `base` is
// reached. Uses openat2(RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH) where the kernel
// has it; otherwise, or for paths longer than PATH_MAX, one openat per
// component, holding at most two descriptors.
OsResult<UniqueFd> open_beneath(int base, std::string_view relative, int flags);

// The component-by-component form alone, for kernels without openat2; tested
// on its own because this machine's kernel never needs it.
OsResult<UniqueFd> open_beneath_by_steps(int base, std::string_view relative, int flags);

}  // namespace orvalnest
