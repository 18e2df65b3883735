// macOS: the Finder moves the item, so it lands in the right trash (per volume
// too) and the Finder's "Put Back" knows where it came from.
#include "../trash.hpp"

#include "../canonical_path.hpp"
#include "osascript.hpp"
#include "script_text.hpp"

namespace orvalnest::platform {

TrashResult move_to_trash(std::string_view path, TrashSession&) {
    const auto item = canonicalize_path(path);
    if (!item) return std::unexpected(item.error());
    return macos::run_osascript(macos::finder_delete_script(item->full));
}

}  // namespace orvalnest::platform
