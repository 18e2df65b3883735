// Kernel-generated filesystems (proc, sysfs, ...) hold no user data and can be
// endless or slow to read, so the walk lists none of them.
#pragma once

#include <optional>
#include <string_view>

namespace orvalnest::scanner_detail {

// The type name ("proc", "sysfs", ...) when the open directory `fd` lies on a
// kernel-generated filesystem; nothing otherwise, and on other platforms.
std::optional<std::string_view> pseudo_filesystem_name(int fd);

}  // namespace orvalnest::scanner_detail
