// macOS: the Finder moves the item, so it lands in the right trash (per volume
// too) and the Finder's "Put Back" knows where it came from.
#include "../trash.hpp"

#include <unistd.h>

#include "../canonical_path.hpp"
#include "orvalnest/paths.hpp"
#include "osascript.hpp"
#include "script_text.hpp"

namespace orvalnest::platform {

std::expected<TrashedItem, TrashFailure> move_to_trash(const ItemToTrash& item, TrashSession& session,
                                                       MovedCheck) {
    // The Finder works by path and picks the name in the trash itself.
    auto moved = macos::run_osascript(macos::finder_delete_script(std::string(item.path)));
    if (!moved) return std::unexpected(moved.error());
    const auto& home = session.home_trash();
    return TrashedItem{home ? home->path : std::string(), std::string(item.name)};
}

std::optional<TrashFailure> probe_move(const ItemToTrash&, TrashSession&) { return std::nullopt; }

TrashResult move_to_trash(std::string_view path) {
    const auto item = canonicalize_path(path);
    if (!item) return std::unexpected(item.error());
    return macos::run_osascript(macos::finder_delete_script(item->full));
}

std::optional<TrashFailure> probe_move(std::string_view) { return std::nullopt; }

}  // namespace orvalnest::platform
