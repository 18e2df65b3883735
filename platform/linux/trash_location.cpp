#include "trash_location.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "directory_fd.hpp"
#include "mount_identity.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/trusted_directory.hpp"
#include "permissions.hpp"

namespace orvalnest::platform::linux_trash {

namespace {

// Open makes what is missing; Probe only tells whether it could.
enum class Mode { Open, Probe };

std::string shown(std::string_view path) { return lossy_utf8(path); }

// One folder of a trash: its descriptor, or (Probe) that it is missing but
// could be made.
struct Folder {
    UniqueFd fd;
    bool missing = false;
};

TrashFailure unusable(const std::string& path, const std::string& why) {
    return TrashFailure::unknown(shown(path) + " " + why + "; it is not used as a trash folder",
                                 FailureCause::TrashFolderUnusable);
}

// mkdir (0700 when missing) and open `name` under `at` as a trash folder: not
// a link, a directory, owned by the user. Anything else may be someone else's
// trap.
std::expected<Folder, TrashFailure> open_trash_directory(const Folder& at, const std::string& name,
                                                         const std::string& path, uid_t user, Mode mode) {
    if (at.missing) return Folder{{}, true};  // made with its parent, then
    if (mode == Mode::Open && ::mkdirat(at.fd.get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        return std::unexpected(os_failure(OsError::last(), "cannot create " + shown(path)));
    }
    UniqueFd fd(::openat(at.fd.get(), name.c_str(), kDirectoryFlags | O_NOFOLLOW));
    if (!fd) {
        if (errno == ENOENT && mode == Mode::Probe) {
            if (auto writable = can_change_folder(at.fd.get()); !writable)
                return std::unexpected(os_failure(writable.error(), "cannot create " + shown(path)));
            return Folder{{}, true};
        }
        if (errno == ENOTDIR || errno == ELOOP)
            return std::unexpected(unusable(path, "is a symbolic link or not a directory"));
        return std::unexpected(os_failure(OsError::last(), "cannot open " + shown(path)));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return std::unexpected(os_failure(OsError::last(), "cannot examine " + shown(path)));
    }
    if (st.st_uid != user) return std::unexpected(unusable(path, "is not owned by the current user"));
    return Folder{std::move(fd), false};
}

// The trash folder `name` under `at`, with its files/ and info/.
std::expected<TrashLocation, TrashFailure> open_trash(const Folder& at, const std::string& name,
                                                      const std::string& path, uid_t user, Mode mode) {
    auto root = open_trash_directory(at, name, path, user, mode);
    if (!root) return std::unexpected(root.error());
    auto files = open_trash_directory(*root, "files", paths::join(path, "files"), user, mode);
    if (!files) return std::unexpected(files.error());
    auto info = open_trash_directory(*root, "info", paths::join(path, "info"), user, mode);
    if (!info) return std::unexpected(info.error());
    return TrashLocation{std::move(files->fd), std::move(info->fd), path, {}};
}

// Folders above the home trash are reached as the user's shell would (a
// linked ~/.local is common and fine), but only through links the user or
// root made.
std::expected<UniqueFd, TrustError> open_above_trash(const std::string& path, const TrashSession& session,
                                                     std::size_t create_last) {
    return open_trusted_folder(path, {session.user(), create_last, false});
}

TrashFailure trust_failure(const TrustError& error, const std::string& context, const std::string& trash) {
    if (error.problem == TrustProblem::Os) return os_failure(error.error, context);
    return unusable(trash, "is reached through a link someone else controls (" + error.text() + ")");
}

// The mount the home trash is (or would be created) on: that of its nearest
// existing ancestor. A folder on the way that exists but cannot be examined
// is an error of its own: quietly using another trash would hide it.
std::expected<EntryFacts, TrashFailure> home_trash_mount(const HomeTrash& home, const TrashSession& session) {
    for (std::string path = home.path;;) {
        auto fd = open_above_trash(path, session, 0);
        if (fd) {
            auto facts = examine_at(fd->get(), "");
            if (!facts) return std::unexpected(os_failure(facts.error(), "cannot examine " + shown(path)));
            return *facts;
        }
        const auto up = paths::parent(path);
        if (fd.error().problem != TrustProblem::Os || fd.error().error.code() != ENOENT || !up ||
            up->empty()) {
            return std::unexpected(
                trust_failure(fd.error(), "cannot examine the home trash at " + shown(home.path), home.path));
        }
        path = std::string(*up);
    }
}

std::expected<TrashLocation, TrashFailure> open_home_trash(const HomeTrash& home, const TrashSession& session,
                                                           Mode mode) {
    const auto parent = paths::parent(home.path);
    const auto name = paths::final_name(home.path);
    if (!parent || !name) {
        return std::unexpected(
            TrashFailure::unknown("the home trash folder has no parent", FailureCause::NoTrashFolder));
    }
    const std::string parent_dir(*parent);
    const std::size_t creatable_above = home.creatable > 0 ? home.creatable - 1 : 0;
    auto above = open_above_trash(parent_dir, session, mode == Mode::Open ? creatable_above : 0);
    Folder at;
    if (above) {
        at.fd = std::move(*above);
    } else if (above.error().problem == TrustProblem::Os && above.error().error.code() == ENOENT) {
        // Only the folders below the home folder are the user's to make.
        const std::string& missing = above.error().path;
        const auto missing_depth = paths::components(missing).size();
        const auto parent_depth = paths::components(parent_dir).size();
        if (missing_depth + creatable_above <= parent_depth) {
            return std::unexpected(TrashFailure::unknown(
                "cannot make the home trash " + shown(home.path) + ": " + shown(missing) +
                    " does not exist, and the home folder and the folders above it are never created",
                FailureCause::NoTrashFolder));
        }
        if (mode == Mode::Open)
            return std::unexpected(
                trust_failure(above.error(), "cannot create " + shown(missing), home.path));
        auto existing = open_above_trash(std::string(paths::parent(missing).value_or("/")), session, 0);
        if (!existing)
            return std::unexpected(
                trust_failure(existing.error(), "cannot open " + shown(missing), home.path));
        if (auto writable = can_change_folder(existing->get()); !writable)
            return std::unexpected(os_failure(writable.error(), "cannot create " + shown(missing)));
        at.missing = true;
    } else {
        return std::unexpected(trust_failure(above.error(), "cannot open " + shown(parent_dir), home.path));
    }
    return open_trash(at, std::string(*name), home.path, session.user(), mode);
}

// Where the trash's items would land: the files/ folder when it exists,
// else the deepest folder that does.
bool on_mount(const TrashLocation& location, const EntryFacts& mount) {
    if (!location.files) return true;  // made below a folder already checked to be on that mount
    const auto facts = examine_at(location.files.get(), "");
    return facts && same_mount(*facts, mount);
}

std::expected<TrashLocation, TrashFailure> open_volume_trash(const std::string& real_parent,
                                                             const EntryFacts& parent_mount,
                                                             const TrashSession& session, Mode mode) {
    const auto top = top_directory(real_parent, parent_mount);
    if (!top)
        return std::unexpected(
            os_failure(top.error(), "cannot find the mount point of " + shown(real_parent)));
    auto top_fd = open_directory_no_symlinks(*top);
    if (!top_fd) return std::unexpected(os_failure(top_fd.error(), "cannot open " + shown(*top)));
    const Folder top_folder{std::move(*top_fd), false};
    const std::string uid = std::to_string(session.user());

    // A shared $topdir/.Trash is trusted only when an administrator made it a
    // real sticky directory, so users cannot replace each other's folders.
    // The mode is read from the descriptor we go on to use, not from the name.
    Folder shared{UniqueFd(::openat(top_folder.fd.get(), ".Trash", kDirectoryFlags | O_NOFOLLOW)), false};
    struct stat st {};
    if (shared.fd && ::fstat(shared.fd.get(), &st) == 0 && (st.st_mode & S_ISVTX) != 0) {
        auto location =
            open_trash(shared, uid, paths::join(paths::join(*top, ".Trash"), uid), session.user(), mode);
        if (location && on_mount(*location, parent_mount)) {
            location->top_dir = *top;
            return location;
        }
    }

    const std::string own = ".Trash-" + uid;
    auto location = open_trash(top_folder, own, paths::join(*top, own), session.user(), mode);
    if (location && !on_mount(*location, parent_mount)) {
        location =
            std::unexpected(TrashFailure::unknown(shown(location->root) + " is on another filesystem"));
    }
    if (!location) {
        return std::unexpected(
            TrashFailure::unknown("no usable trash folder on the filesystem mounted at " + shown(*top) +
                                      " (" + location.error().description +
                                      "); the item was left in place, nothing is copied between filesystems",
                                  FailureCause::NoTrashFolder));
    }
    location->top_dir = *top;
    return location;
}

std::expected<TrashLocation, TrashFailure> find_location_as_is(const std::string& real_parent,
                                                               const EntryFacts& parent,
                                                               const TrashSession& session, Mode mode) {
    if (const auto& home = session.home_trash()) {
        const auto home_mount = home_trash_mount(*home, session);
        if (!home_mount) return std::unexpected(home_mount.error());
        if (same_mount(*home_mount, parent)) {
            auto location = open_home_trash(*home, session, mode);
            if (!location) return location;
            if (on_mount(*location, parent)) return location;
            // The trash folder itself sits on another mount: use the item's own.
        }
    }
    return open_volume_trash(real_parent, parent, session, mode);
}

// Whatever system call failed on the way, the item has no trash to go to.
std::expected<TrashLocation, TrashFailure> find_location(const std::string& real_parent,
                                                         const EntryFacts& parent,
                                                         const TrashSession& session, Mode mode) {
    auto location = find_location_as_is(real_parent, parent, session, mode);
    if (!location && location.error().cause == FailureCause::Os)
        location.error().cause = FailureCause::NoTrashFolder;
    return location;
}

}  // namespace

TrashFailure os_failure(const OsError& error, const std::string& context) {
    if (error.code() == 0) return TrashFailure::unknown(context + ": " + error.text());
    return TrashFailure::os(error.code(), context + ": " + error.text());
}

std::expected<TrashLocation, TrashFailure> trash_location_for(const std::string& real_parent,
                                                              const EntryFacts& parent,
                                                              const TrashSession& session) {
    return find_location(real_parent, parent, session, Mode::Open);
}

std::expected<TrashLocation, TrashFailure> open_existing_trash(const std::string& path,
                                                               const TrashSession& session) {
    const auto parent = paths::parent(path);
    const auto name = paths::final_name(path);
    if (!parent || !name) return std::unexpected(os_failure(OsError::from_errno(EINVAL), shown(path)));
    auto above = open_above_trash(std::string(*parent), session, 0);
    if (!above) return std::unexpected(trust_failure(above.error(), "cannot open " + shown(path), path));
    auto location =
        open_trash(Folder{std::move(*above), false}, std::string(*name), path, session.user(), Mode::Probe);
    if (location && (!location->files || !location->info))
        return std::unexpected(os_failure(OsError::from_errno(ENOENT), "cannot open " + shown(path)));
    return location;
}

std::optional<TrashFailure> probe_trash_location(const std::string& real_parent, const EntryFacts& parent,
                                                 const TrashSession& session) {
    auto location = find_location(real_parent, parent, session, Mode::Probe);
    if (!location) return location.error();
    return std::nullopt;
}

}  // namespace orvalnest::platform::linux_trash
