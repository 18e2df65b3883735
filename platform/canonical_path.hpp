// The first step of every backend: find the entry to move again from the path
// the caller validated, and make sure the tree has not changed under it since.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "trash.hpp"

namespace orvalnest::platform {

struct CanonicalPath {
    std::string parent;  // the real path of the parent directory
    std::string name;    // the last component, never resolved: a link is trashed as itself
    std::string full;    // parent joined with name
};

// Resolves the parent of `path` with realpath and appends the last component.
// The caller hands us a path whose parent it already resolved; a real parent
// that differs now means a directory on the way was swapped (for a link,
// typically) after the check, and moving anything would move the wrong entry.
std::expected<CanonicalPath, TrashFailure> canonicalize_path(std::string_view path);

// Description of the failure above.
inline constexpr std::string_view kParentChanged = "the parent directory changed since the path was checked";

}  // namespace orvalnest::platform
