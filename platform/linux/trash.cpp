// The freedesktop.org trash: what we move here, GLib, KDE and trash-cli list
// and restore.
#include "../trash.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "../canonical_path.hpp"
#include "directory_fd.hpp"
#include "mount_identity.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/write_all.hpp"
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
std::string recorded_path(const std::string& full, const std::string& top_dir) {
    if (top_dir.empty()) return full;
    std::string_view rest(full);
    rest.remove_prefix(std::min(top_dir.size(), rest.size()));
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    return std::string(rest);
}

}  // namespace

TrashResult move_to_trash(std::string_view path, TrashSession& session) {
    const std::time_t now = std::time(nullptr);
    const auto item = canonicalize_path(path);
    if (!item) return std::unexpected(item.error());

    // From here on everything is relative to this descriptor: a directory
    // swapped for a link after the check cannot send the move elsewhere.
    const auto parent = linux_trash::open_directory_no_symlinks(item->parent);
    if (!parent) {
        const int code = parent.error().code();
        if (code == ELOOP || code == ENOTDIR)
            return std::unexpected(TrashFailure::unknown(std::string(kParentChanged)));
        return std::unexpected(os_failure(parent.error(), "cannot open " + shown(item->parent)));
    }
    const auto parent_mount = linux_trash::mount_identity(parent->get(), "", AT_EMPTY_PATH);
    if (!parent_mount)
        return std::unexpected(os_failure(parent_mount.error(), "cannot examine " + shown(item->parent)));
    const auto item_mount =
        linux_trash::mount_identity(parent->get(), item->name.c_str(), AT_SYMLINK_NOFOLLOW);
    if (!item_mount)
        return std::unexpected(os_failure(item_mount.error(), "cannot examine " + shown(item->full)));
    if (item_mount->is_mount_point_under(*parent_mount)) {
        return std::unexpected(
            TrashFailure::unknown(shown(item->full) + " is a mount point; it is not moved to the trash"));
    }

    const auto location = linux_trash::trash_location_for(item->parent, *parent_mount);
    if (!location) return std::unexpected(location.error());
    const std::string files_dir = paths::join(location->root, "files");
    const std::string text = linux_trash::trash_info_text(recorded_path(item->full, location->top_dir), now);

    // Same-named items of one request pick up the search where the last one
    // ended, instead of probing every name taken so far again.
    std::string hint_key = location->root;
    hint_key.push_back('\0');
    hint_key.append(item->name);
    const unsigned first = session.first_attempt(hint_key);
    for (unsigned attempt = first; attempt - first < kMaxNameAttempts; ++attempt) {
        const std::string name = linux_trash::trash_name_candidate(item->name, attempt);
        // Never overwrite an item left in files/ without its info file.
        struct stat st {};
        if (::fstatat(location->files.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        if (errno != ENOENT) {
            return std::unexpected(
                os_failure(OsError::last(), "cannot examine " + shown(paths::join(files_dir, name))));
        }
        const std::string info_name = name + std::string(linux_trash::kInfoSuffix);
        const auto written = write_info_file(location->info.get(), info_name, text);
        if (!written) {
            const std::string info_path = paths::join(paths::join(location->root, "info"), info_name);
            return std::unexpected(os_failure(written.error(), "cannot write " + shown(info_path)));
        }
        if (!*written) continue;

        const int error = move_entry(parent->get(), item->name, location->files.get(), name);
        if (error == 0) {
            session.remember(std::move(hint_key), attempt + 1);
            return {};
        }
        ::unlinkat(location->info.get(), info_name.c_str(), 0);
        if (error == EEXIST) continue;  // someone put that name in files/ meanwhile
        return std::unexpected(os_failure(OsError::from_errno(error),
                                          "cannot move " + shown(item->full) + " to " + shown(files_dir)));
    }
    return std::unexpected(
        TrashFailure::unknown("no free name for " + shown(item->full) + " in " + shown(files_dir)));
}

}  // namespace orvalnest::platform
