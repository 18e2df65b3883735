// Names of items inside a trash folder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace orvalnest::platform::linux_trash {

inline constexpr std::string_view kInfoSuffix = ".trashinfo";
// "NAME.trashinfo" must fit one file name (255 bytes on every Linux filesystem).
inline constexpr std::size_t kMaxTrashNameBytes = 255 - kInfoSuffix.size();

// The name to try for the attempt-th time: the item's own name first, then
// "stem.2.ext", "stem.3.ext", ... like GLib does. The stem is shortened (on a
// character boundary when the name is UTF-8) so the result never exceeds
// kMaxTrashNameBytes; the info file keeps the full original path.
std::string trash_name_candidate(std::string_view name, unsigned attempt);

}  // namespace orvalnest::platform::linux_trash
