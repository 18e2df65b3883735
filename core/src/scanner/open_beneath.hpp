// Opens a directory again by its path below the scan's root descriptor, so a
// parallel walk keeps no descriptor open for directories waiting their turn.
#pragma once

#include <string_view>

#include "orvalnest/unique_fd.hpp"

namespace orvalnest::scanner_detail {

// Opens the directory `relative` ('/'-separated components, no "." or "..")
// below `base` for listing, following no symbolic link on the way, not even in
// the last component. Uses openat2 where the kernel has it, and otherwise (or
// for paths longer than PATH_MAX) one openat(O_NOFOLLOW) per component, never
// holding more than two descriptors. On failure returns no descriptor and sets errno.
UniqueFd open_beneath(int base, std::string_view relative);

}  // namespace orvalnest::scanner_detail
