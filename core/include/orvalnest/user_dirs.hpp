// Where the users' folders are. Both the path policy (which must keep them out
// of the trash) and the trash backend (which moves items into the home trash)
// ask here, once per cleaner and with the interpreter lock held: the
// environment is read nowhere else, so another thread changing it can neither
// crash a request nor send its items to a trash the policy does not guard.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace orvalnest {

// The effective user's home folder from the password database (not HOME).
std::optional<std::string> password_database_home();

// HOME when it is an absolute path; else (unset, empty, relative) the
// password database's home.
std::optional<std::string> home_dir();

struct HomeTrash {
    std::string path;  // the trash folder
    // How many trailing components of `path` may be created when missing:
    // those below the home folder, never the home folder or its parents.
    std::size_t creatable = 0;
};

// The user's own trash folder: $XDG_DATA_HOME/Trash when XDG_DATA_HOME is an
// absolute path, else ~/.local/share/Trash (home_dir()); ~/.Trash on macOS.
std::optional<HomeTrash> home_trash_dir();

// The home folders of the password database's other users (absolute, not "/"),
// at most `limit` of them, for a policy that runs as root.
std::vector<std::string> other_users_homes(std::size_t limit);

}  // namespace orvalnest
