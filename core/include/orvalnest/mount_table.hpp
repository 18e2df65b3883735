// The mount points this process sees, read from the kernel each time: a USB
// disk plugged in after a cleaner was made must still be noticed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"

namespace orvalnest {

// Every mount point, as the absolute path the kernel reports.
OsResult<std::vector<std::string>> mount_points();

// A mount point field of /proc/self/mountinfo with its octal escapes
// ("\040" for a space, "\134" for a backslash, ...) decoded.
std::string decode_mountinfo_path(std::string_view field);

}  // namespace orvalnest
