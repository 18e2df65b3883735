#include "orvalnest/user_dirs.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "orvalnest/paths.hpp"

namespace orvalnest {

std::optional<std::string> password_database_home() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return std::string(found->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::string> home_trash_dir() {
#if defined(__APPLE__)
    constexpr const char* kUnderHome = ".Trash";
#else
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        return paths::join(xdg, "Trash");
    }
    constexpr const char* kUnderHome = ".local/share/Trash";
#endif
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
        return paths::join(home, kUnderHome);
    }
    if (auto home = password_database_home()) return paths::join(*home, kUnderHome);
    return std::nullopt;
}

}  // namespace orvalnest
