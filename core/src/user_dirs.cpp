#include "orvalnest/user_dirs.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "orvalnest/paths.hpp"

namespace orvalnest {

namespace {

std::optional<std::string> absolute_variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::string(value);
}

std::size_t count_components(const std::string& path) { return paths::components(path).size(); }

}  // namespace

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

std::optional<std::string> home_dir() {
    if (auto home = absolute_variable("HOME")) return home;
    return password_database_home();
}

std::optional<HomeTrash> home_trash_dir() {
    const auto home = home_dir();
#if defined(__APPLE__)
    if (!home) return std::nullopt;
    return HomeTrash{paths::join(*home, ".Trash"), 1};
#else
    if (auto data = absolute_variable("XDG_DATA_HOME")) {
        HomeTrash out{paths::join(*data, "Trash"), 1};
        // Folders below the home are the user's to make; anything else the
        // variable names must already exist.
        const std::string home_form = home ? paths::normal_form(*home) : std::string();
        const std::string trash_form = paths::normal_form(out.path);
        if (home && home_form != "/" && trash_form != home_form && paths::within(trash_form, home_form))
            out.creatable = count_components(trash_form) - count_components(home_form);
        return out;
    }
    if (!home) return std::nullopt;
    return HomeTrash{paths::join(*home, ".local/share/Trash"), 3};
#endif
}

std::vector<std::string> other_users_homes(std::size_t limit) {
    std::vector<std::string> out;
    const uid_t self = ::geteuid();
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    ::setpwent();
    for (;;) {
#if defined(__GLIBC__)
        if (::getpwent_r(&entry, buffer.data(), buffer.size(), &found) != 0) found = nullptr;
#else
        found = ::getpwent();
#endif
        if (found == nullptr || out.size() >= limit) break;
        if (found->pw_uid == self || found->pw_dir == nullptr || found->pw_dir[0] != '/') continue;
        if (paths::normal_form(found->pw_dir) != "/") out.emplace_back(found->pw_dir);
    }
    ::endpwent();
    return out;
}

}  // namespace orvalnest
