// Where the running user's folders are. Both the path policy (which must keep
// them out of the trash) and the trash backend (which moves items into one of
// them) ask here, so the two always agree.
#pragma once

#include <optional>
#include <string>

namespace orvalnest {

// The effective user's home folder from the password database (not HOME).
std::optional<std::string> password_database_home();

// The user's own trash folder: $XDG_DATA_HOME/Trash when XDG_DATA_HOME is an
// absolute path, else $HOME/.local/share/Trash (the password database's home
// when HOME is unset or not absolute); ~/.Trash on macOS.
std::optional<std::string> home_trash_dir();

}  // namespace orvalnest
