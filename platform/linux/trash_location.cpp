#include "trash_location.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "directory_fd.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/user_dirs.hpp"

namespace orvalnest::platform::linux_trash {

namespace {

std::string shown(std::string_view path) { return lossy_utf8(path); }

// mkdir (0700 when missing) and open `name` under `at` as a trash folder: not
// a link, a directory, owned by us. Anything else may be someone else's trap.
std::expected<UniqueFd, TrashFailure> open_trash_directory(int at, const std::string& name,
                                                           const std::string& path) {
    if (::mkdirat(at, name.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(os_failure(OsError::last(), "cannot create " + shown(path)));
    }
    UniqueFd fd(::openat(at, name.c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (!fd) {
        if (errno == ENOTDIR || errno == ELOOP) {
            return std::unexpected(TrashFailure::unknown(
                shown(path) + " is a symbolic link or not a directory; it is not used as a trash folder"));
        }
        return std::unexpected(os_failure(OsError::last(), "cannot open " + shown(path)));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return std::unexpected(os_failure(OsError::last(), "cannot examine " + shown(path)));
    }
    if (st.st_uid != ::geteuid()) {
        return std::unexpected(TrashFailure::unknown(
            shown(path) + " is not owned by the current user; it is not used as a trash folder"));
    }
    return fd;
}

// The trash folder `name` under `at`, with its files/ and info/.
std::expected<TrashLocation, TrashFailure> open_trash(int at, const std::string& name,
                                                      const std::string& path) {
    auto root = open_trash_directory(at, name, path);
    if (!root) return std::unexpected(root.error());
    auto files = open_trash_directory(root->get(), "files", paths::join(path, "files"));
    if (!files) return std::unexpected(files.error());
    auto info = open_trash_directory(root->get(), "info", paths::join(path, "info"));
    if (!info) return std::unexpected(info.error());
    return TrashLocation{std::move(*files), std::move(*info), path, {}};
}

// mkdir -p with 0700 for the folders above the home trash, following links
// there as a user's shell would (a linked ~/.local is common and fine).
std::expected<void, TrashFailure> make_parents(std::string_view dir) {
    std::vector<std::string> missing;
    std::string current(dir);
    for (;;) {
        struct stat st {};
        if (::stat(current.c_str(), &st) == 0) break;
        if (errno != ENOENT)
            return std::unexpected(os_failure(OsError::last(), "cannot examine " + shown(current)));
        missing.push_back(current);
        const auto up = paths::parent(current);
        if (!up || up->empty()) break;
        current = std::string(*up);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            return std::unexpected(os_failure(OsError::last(), "cannot create " + shown(*it)));
        }
    }
    return {};
}

std::expected<TrashLocation, TrashFailure> open_home_trash(const std::string& path) {
    const auto parent = paths::parent(path);
    const auto name = paths::final_name(path);
    if (!parent || !name)
        return std::unexpected(TrashFailure::unknown("the home trash folder has no parent"));
    const std::string parent_dir(*parent);
    if (auto made = make_parents(parent_dir); !made) return std::unexpected(made.error());
    UniqueFd parent_fd(::open(parent_dir.c_str(), kDirectoryFlags));
    if (!parent_fd) return std::unexpected(os_failure(OsError::last(), "cannot open " + shown(parent_dir)));
    return open_trash(parent_fd.get(), std::string(*name), path);
}

// The mount the home trash is (or would be created) on: that of its nearest
// existing ancestor. A folder on the way that exists but cannot be examined
// is an error of its own: quietly using another trash would hide it.
std::expected<MountIdentity, TrashFailure> home_trash_mount(std::string path) {
    for (;;) {
        auto id = mount_identity(AT_FDCWD, path.c_str(), 0);
        if (id) return *id;
        const auto up = paths::parent(path);
        if (id.error().code() != ENOENT || !up || up->empty()) {
            return std::unexpected(os_failure(id.error(), "cannot examine the home trash at " + shown(path)));
        }
        path = std::string(*up);
    }
}

bool on_mount(const TrashLocation& location, const MountIdentity& mount) {
    const auto id = mount_identity(location.files.get(), "", AT_EMPTY_PATH);
    return id && id->same_mount(mount);
}

std::expected<TrashLocation, TrashFailure> open_volume_trash(const std::string& real_parent,
                                                             const MountIdentity& parent_mount) {
    const auto top = top_directory(real_parent, parent_mount);
    if (!top)
        return std::unexpected(
            os_failure(top.error(), "cannot find the mount point of " + shown(real_parent)));
    const auto top_fd = open_directory_no_symlinks(*top);
    if (!top_fd) return std::unexpected(os_failure(top_fd.error(), "cannot open " + shown(*top)));
    const std::string uid = std::to_string(::geteuid());

    // A shared $topdir/.Trash is trusted only when an administrator made it a
    // real sticky directory, so users cannot replace each other's folders.
    // The mode is read from the descriptor we go on to use, not from the name.
    UniqueFd shared_fd(::openat(top_fd->get(), ".Trash", kDirectoryFlags | O_NOFOLLOW));
    struct stat st {};
    if (shared_fd && ::fstat(shared_fd.get(), &st) == 0 && (st.st_mode & S_ISVTX) != 0) {
        auto location = open_trash(shared_fd.get(), uid, paths::join(paths::join(*top, ".Trash"), uid));
        if (location && on_mount(*location, parent_mount)) {
            location->top_dir = *top;
            return location;
        }
    }

    const std::string own = ".Trash-" + uid;
    auto location = open_trash(top_fd->get(), own, paths::join(*top, own));
    if (location && !on_mount(*location, parent_mount)) {
        location =
            std::unexpected(TrashFailure::unknown(shown(location->root) + " is on another filesystem"));
    }
    if (!location) {
        return std::unexpected(
            TrashFailure::unknown("no usable trash folder on the filesystem mounted at " + shown(*top) +
                                  " (" + location.error().description +
                                  "); the item was left in place, nothing is copied between filesystems"));
    }
    location->top_dir = *top;
    return location;
}

}  // namespace

TrashFailure os_failure(const OsError& error, const std::string& context) {
    if (error.code() == 0) return TrashFailure::unknown(context + ": " + error.text());
    return TrashFailure::os(error.code(), context + ": " + error.text());
}

std::optional<std::string> home_trash_path() { return home_trash_dir(); }

std::expected<TrashLocation, TrashFailure> trash_location_for(const std::string& real_parent,
                                                              const MountIdentity& parent_mount) {
    if (const auto home = home_trash_path()) {
        const auto home_mount = home_trash_mount(*home);
        if (!home_mount) return std::unexpected(home_mount.error());
        if (home_mount->same_mount(parent_mount)) {
            auto location = open_home_trash(*home);
            if (!location) return location;
            if (on_mount(*location, parent_mount)) return location;
            // The trash folder itself sits on another mount: use the item's own.
        }
    }
    return open_volume_trash(real_parent, parent_mount);
}

}  // namespace orvalnest::platform::linux_trash
