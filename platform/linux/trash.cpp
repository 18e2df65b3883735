// The freedesktop.org trash: what we move here, GLib, KDE and trash-cli list
// and restore.
#include "../trash.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "../canonical_path.hpp"
#include "directory_fd.hpp"
#include "mount_identity.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/write_all.hpp"
#include "permissions.hpp"
#include "trash_info.hpp"
#include "trash_location.hpp"
#include "trash_name.hpp"

namespace orvalnest::platform {

namespace {

using linux_trash::os_failure;

// Enough for any real pile of same-named items; a bound keeps a broken
// filesystem (one that reports EEXIST for everything) from looping forever.
constexpr unsigned kMaxNameAttempts = 100000;

std::string shown(std::string_view path) { return lossy_utf8(path); }

// Creates info/NAME.trashinfo exclusively and writes it completely. File
// managers watch info/, so the file must be whole before the item appears.
// Result: true when written, false when the name is taken.
OsResult<bool> write_info_file(int info_dir, const std::string& info_name, std::string_view text) {
    UniqueFd fd(
        ::openat(info_dir, info_name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) {
        if (errno == EEXIST) return false;
        return std::unexpected(OsError::last());
    }
    auto written = write_all(fd.get(), text);
    // close() is where some filesystems (NFS) report a failed write.
    if (written && ::close(fd.release()) != 0) written = std::unexpected(OsError::last());
    if (!written) {
        ::unlinkat(info_dir, info_name.c_str(), 0);
        return std::unexpected(written.error());
    }
    return true;
}

// rename without replacing anything; filesystems without RENAME_NOREPLACE get a
// look-then-rename, which only a concurrent writer in our own trash can race.
int move_entry(int from_dir, const std::string& from, int to_dir, const std::string& to) {
    if (::renameat2(from_dir, from.c_str(), to_dir, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    struct stat st {};
    if (::fstatat(to_dir, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (::renameat(from_dir, from.c_str(), to_dir, to.c_str()) == 0) return 0;
    return errno;
}

// The item's path as Path= records it: absolute for the home trash, relative
// to the mount point for a per-volume trash.
std::string recorded_path(std::string_view full, const std::string& top_dir) {
    if (top_dir.empty()) return std::string(full);
    std::string_view rest(full);
    rest.remove_prefix(std::min(top_dir.size(), rest.size()));
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return std::string(rest);
}

// Where the kernel says the descriptor's file is now.
OsResult<std::string> path_of(int fd) {
    char buffer[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n < 0) return std::unexpected(OsError::last());
    if (static_cast<size_t>(n) >= sizeof buffer) return std::unexpected(OsError::from_errno(ENAMETOOLONG));
    return std::string(buffer, static_cast<size_t>(n));
}

std::expected<std::shared_ptr<linux_trash::TrashLocation>, TrashFailure> location_for(const ItemToTrash& item,
                                                                                      TrashSession& session) {
    // Items of one request on one filesystem share their trash folder.
    const std::uint64_t key = item.parent_facts.mount_id.value_or(item.parent_facts.identity.device);
    if (auto kept = session.location(key)) return kept;
    const std::string parent_path(paths::parent(item.path).value_or("/"));
    auto location = linux_trash::trash_location_for(parent_path, item.parent_facts, session);
    if (!location) return std::unexpected(location.error());
    auto shared = std::make_shared<linux_trash::TrashLocation>(std::move(*location));
    session.keep_location(key, shared);
    return shared;
}

// Takes a moved item back to where it was, after it turned out not to be the
// one that was judged or to hold a mount. `why` says what was wrong.
TrashFailure put_back(const ItemToTrash& item, const linux_trash::TrashLocation& location,
                      const std::string& name, const std::string& info_name, const std::string& why,
                      FailureCause cause) {
    if (move_entry(location.files.get(), name, item.parent, std::string(item.name)) == 0) {
        ::unlinkat(location.info.get(), info_name.c_str(), 0);
        return TrashFailure::unknown(why + "; it was put back", cause);
    }
    // The info file stays, so the item can still be restored from the trash.
    const OsError error = OsError::last();
    return TrashFailure::unknown(why + "; it could not be put back (" + error.text() + ") and is in " +
                                     shown(paths::join(paths::join(location.root, "files"), name)),
                                 cause);
}

// What the move of `item` to `location` as `name` must find afterwards: the
// entry that was judged, with nothing mounted below it.
std::optional<TrashFailure> check_moved(const ItemToTrash& item, const linux_trash::TrashLocation& location,
                                        const std::string& name, MovedCheck check) {
    const auto moved = examine_at(location.files.get(), name.c_str());
    if (!moved || moved->identity != item.facts.identity ||
        (moved->mode & S_IFMT) != (item.facts.mode & S_IFMT)) {
        return TrashFailure::unknown(shown(item.path) + " changed while it was being moved",
                                     FailureCause::Changed);
    }
    if (!item.facts.is_directory()) return std::nullopt;
    UniqueFd opened(::openat(location.files.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    auto moved_path = opened ? path_of(opened.get()) : std::unexpected(OsError::last());
    if (!moved_path) {
        return TrashFailure::unknown("cannot tell whether a filesystem is mounted below " + shown(item.path) +
                                         ": " + moved_path.error().text(),
                                     FailureCause::ContainsMountPoint);
    }
    return check(*moved_path);
}

}  // namespace

std::expected<TrashedItem, TrashFailure> move_to_trash(const ItemToTrash& item, TrashSession& session,
                                                       MovedCheck check) {
    const std::time_t now = std::time(nullptr);
    if (linux_trash::is_mount_point_under(item.facts, item.parent_facts)) {
        return std::unexpected(TrashFailure::unknown(
            shown(item.path) + " is a mount point; it is not moved to the trash", FailureCause::MountPoint));
    }
    const auto location = location_for(item, session);
    if (!location) return std::unexpected(location.error());
    const linux_trash::TrashLocation& trash = **location;
    const std::string files_dir = paths::join(trash.root, "files");
    const std::string text = linux_trash::trash_info_text(recorded_path(item.path, trash.top_dir), now);
    const std::string item_name(item.name);

    // Same-named items of one request pick up the search where the last one
    // ended, instead of probing every name taken so far again.
    std::string hint_key = trash.root;
    hint_key.push_back('\0');
    hint_key.append(item.name);
    const unsigned first = session.first_attempt(hint_key);
    for (unsigned attempt = first; attempt - first < kMaxNameAttempts; ++attempt) {
        const std::string name = linux_trash::trash_name_candidate(item.name, attempt);
        // Never overwrite an item left in files/ without its info file.
        struct stat st {};
        if (::fstatat(trash.files.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (errno != ENOENT) {
            return std::unexpected(
                os_failure(OsError::last(), "cannot examine " + shown(paths::join(files_dir, name))));
        }
        const std::string info_name = name + std::string(linux_trash::kInfoSuffix);
        const auto written = write_info_file(trash.info.get(), info_name, text);
        if (!written) {
            const std::string info_path = paths::join(paths::join(trash.root, "info"), info_name);
            return std::unexpected(os_failure(written.error(), "cannot write " + shown(info_path)));
        }
        if (!*written) continue;

        const int error = move_entry(item.parent, item_name, trash.files.get(), name);
        if (error == 0) {
            session.remember(std::move(hint_key), attempt + 1);
            if (auto wrong = check_moved(item, trash, name, check)) {
                return std::unexpected(
                    put_back(item, trash, name, info_name, wrong->description, wrong->cause));
            }
            return TrashedItem{trash.root, name};
        }
        ::unlinkat(trash.info.get(), info_name.c_str(), 0);
        if (error == EEXIST) continue;  // someone put that name in files/ meanwhile
        return std::unexpected(os_failure(OsError::from_errno(error),
                                          "cannot move " + shown(item.path) + " to " + shown(files_dir)));
    }
    return std::unexpected(TrashFailure::unknown(
        "no free name for " + shown(item.path) + " in " + shown(files_dir), FailureCause::NoFreeName));
}

std::optional<TrashFailure> probe_move(const ItemToTrash& item, TrashSession& session) {
    if (linux_trash::is_mount_point_under(item.facts, item.parent_facts)) {
        return TrashFailure::unknown(shown(item.path) + " is a mount point; it is not moved to the trash",
                                     FailureCause::MountPoint);
    }
    const std::string parent_path(paths::parent(item.path).value_or("/"));
    const auto refused = [&](const OsError& error, FailureCause cause) {
        auto failure = os_failure(error, "cannot move " + shown(item.path) + " out of " + shown(parent_path));
        failure.cause = cause;
        return failure;
    };
    if (auto changeable = linux_trash::can_change_folder(item.parent); !changeable)
        return refused(changeable.error(), FailureCause::FolderNotWritable);
    const std::string name(item.name);
    if (auto movable = linux_trash::can_rename_out(item.parent, name.c_str(), item.facts, item.parent_facts);
        !movable) {
        return refused(movable.error(), FailureCause::NotMovable);
    }
    return linux_trash::probe_trash_location(parent_path, item.parent_facts, session);
}

namespace {

// An item named by its path, opened as the request opens what it judged.
struct OpenedItem {
    CanonicalPath path;
    UniqueFd parent;
    EntryFacts facts, parent_facts;
    ItemToTrash item() const { return {parent.get(), path.name, path.full, facts, parent_facts}; }
};

std::expected<OpenedItem, TrashFailure> open_item(std::string_view path) {
    auto item = canonicalize_path(path);
    if (!item) return std::unexpected(item.error());
    // From here on everything is relative to this descriptor: a directory
    // swapped for a link after the check cannot send the move elsewhere.
    auto parent = linux_trash::open_directory_no_symlinks(item->parent);
    if (!parent) {
        const int code = parent.error().code();
        if (code == ELOOP || code == ENOTDIR)
            return std::unexpected(TrashFailure::unknown(std::string(kParentChanged), FailureCause::Changed));
        return std::unexpected(os_failure(parent.error(), "cannot open " + shown(item->parent)));
    }
    const auto parent_facts = examine_at(parent->get(), "");
    if (!parent_facts)
        return std::unexpected(os_failure(parent_facts.error(), "cannot examine " + shown(item->parent)));
    const auto facts = examine_at(parent->get(), item->name.c_str());
    if (!facts) return std::unexpected(os_failure(facts.error(), "cannot examine " + shown(item->full)));
    return OpenedItem{std::move(*item), std::move(*parent), *facts, *parent_facts};
}

}  // namespace

TrashResult move_to_trash(std::string_view path) {
    const auto opened = open_item(path);
    if (!opened) return std::unexpected(opened.error());
    TrashSession session(::geteuid(), home_trash_dir());
    auto moved = move_to_trash(opened->item(), session,
                               [](std::string_view) -> std::optional<TrashFailure> { return std::nullopt; });
    if (!moved) return std::unexpected(moved.error());
    return {};
}

std::optional<TrashFailure> probe_move(std::string_view path) {
    const auto opened = open_item(path);
    if (!opened) return opened.error();
    TrashSession session(::geteuid(), home_trash_dir());
    return probe_move(opened->item(), session);
}

}  // namespace orvalnest::platform
