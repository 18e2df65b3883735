// Where an item goes: the home trash when it lives on the same mount, else the
// trash at the top of its own mount. Data is never copied between filesystems,
// so an item with no usable trash on its mount is refused.
#pragma once

#include <expected>
#include <optional>
#include <string>

#include "../trash.hpp"
#include "mount_identity.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/unique_fd.hpp"

namespace orvalnest::platform::linux_trash {

struct TrashLocation {
    UniqueFd files;       // the items
    UniqueFd info;        // one NAME.trashinfo per item
    std::string root;     // the trash folder, for messages
    std::string top_dir;  // empty for the home trash; else the mount point Path= is relative to
};

// $XDG_DATA_HOME/Trash when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/Trash (the password database's home when HOME is unusable):
// the folder the path policy keeps out of the trash.
std::optional<std::string> home_trash_path();

// Opens (creating what is missing, mode 0700) the trash for an item whose
// parent directory is `real_parent` on the mount `parent_mount`. Every folder
// of the trash itself is opened without following links and must be a
// directory owned by the effective user.
std::expected<TrashLocation, TrashFailure> trash_location_for(const std::string& real_parent,
                                                              const MountIdentity& parent_mount);

// An Os failure "context: <OS error text>" (Unknown for errors without a number).
TrashFailure os_failure(const OsError& error, const std::string& context);

}  // namespace orvalnest::platform::linux_trash
