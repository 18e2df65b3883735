#include "../purge.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>

#include "orvalnest/eintr.hpp"
#include "orvalnest/mount_table.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "trash_info.hpp"
#include "trash_location.hpp"
#include "trash_name.hpp"

namespace orvalnest::platform {

namespace {

using linux_trash::os_failure;

// A record is written right after its move, and the info file's date was
// taken right before it: the two agree to within moments. A wider window only
// risks finding two info files for one record, and such a record is left alone.
constexpr std::time_t kRecordLag = 10;
// An info file is a few hundred bytes; anything much larger is not one of ours.
constexpr off_t kMaxInfoSize = 65536;

std::string shown(std::string_view path) { return lossy_utf8(path); }

struct Entry {
    std::string name;      // in files/
    std::string original;  // absolute
    std::time_t deleted_at = 0;
};

struct OpenTrash {
    std::string path;
    linux_trash::TrashLocation location;
    std::vector<Entry> entries;
};

// The top directory a per-volume trash's relative Path= values start from:
// $topdir/.Trash-$uid or $topdir/.Trash/$uid.
std::string top_of(const std::string& trash_dir) {
    std::string top(paths::parent(trash_dir).value_or("/"));
    if (paths::final_name(top) == ".Trash") top = std::string(paths::parent(top).value_or("/"));
    return top;
}

std::optional<std::string> read_info(int info_dir, const std::string& file_name, uid_t user) {
    UniqueFd fd(retry_on_eintr([&] {
        return ::openat(info_dir, file_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != user ||
        st.st_size > kMaxInfoSize) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t n = retry_on_eintr([&] { return ::pread(fd.get(), text.data(), text.size(), 0); });
    if (n < 0) return std::nullopt;
    text.resize(static_cast<size_t>(n));
    return text;
}

std::vector<Entry> list_entries(const linux_trash::TrashLocation& location, const std::string& trash_dir,
                                uid_t user) {
    std::vector<Entry> out;
    const int copy = ::openat(location.info.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0) return out;
    DIR* stream = ::fdopendir(copy);
    if (stream == nullptr) {
        ::close(copy);
        return out;
    }
    const std::string top = top_of(trash_dir);
    while (const dirent* entry = ::readdir(stream)) {
        const std::string file_name = entry->d_name;
        if (!file_name.ends_with(linux_trash::kInfoSuffix) || file_name == linux_trash::kInfoSuffix) continue;
        const auto text = read_info(location.info.get(), file_name, user);
        const auto info = text ? linux_trash::parse_trash_info(*text) : std::nullopt;
        if (!info) continue;
        const std::string original =
            paths::is_absolute(info->path) ? info->path : paths::join(top, info->path);
        out.push_back({file_name.substr(0, file_name.size() - linux_trash::kInfoSuffix.size()),
                       paths::normal_form(original), info->deleted_at});
    }
    ::closedir(stream);
    return out;
}

// The trash folders an item from `original` could be in.
std::vector<std::string> trash_dirs_for(const PurgeCandidate& candidate, const TrashSession& session,
                                        const OsResult<MountTable>& mounts) {
    if (candidate.trash_dir) return {*candidate.trash_dir};
    std::vector<std::string> out;
    if (session.home_trash()) out.push_back(session.home_trash()->path);
    if (mounts) {
        if (const MountEntry* holder = mounts->holding(paths::normal_form(candidate.original))) {
            const std::string uid = std::to_string(session.user());
            out.push_back(paths::join(holder->point, ".Trash-" + uid));
            out.push_back(paths::join(paths::join(holder->point, ".Trash"), uid));
        }
    }
    return out;
}

bool matches(const Entry& entry, const PurgeCandidate& candidate) {
    const std::time_t recorded = static_cast<std::time_t>(candidate.recorded_at);
    return entry.original == paths::normal_form(candidate.original) && entry.deleted_at <= recorded &&
           entry.deleted_at >= recorded - kRecordLag &&
           (!candidate.trash_name || *candidate.trash_name == entry.name);
}

// Where the kernel says the descriptor's folder is now.
std::optional<std::string> path_of(int fd) {
    char buffer[PATH_MAX + 1];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) >= sizeof buffer) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

// Removes (or measures) one matched item, then its info file.
void purge_one(const OpenTrash& trash, PurgeOutcome& out, bool dry_run, OsResult<MountTable>& mounts) {
    const auto& location = trash.location;
    const std::string files_path = paths::join(paths::join(trash.path, "files"), out.name);
    const auto fail = [&](FailureCause cause, const TrashFailure& failure) {
        out.kind = PurgeKind::Failed;
        out.failure = MoveFailure{cause, failure.code, failure.text()};
    };
    auto size = measure_beneath(location.files.get(), out.name);
    if (!size) return fail(FailureCause::Os, os_failure(size.error(), "cannot examine " + shown(files_path)));
    out.size = *size;
    // Never remove what a filesystem mounted below the item holds.
    if (mounts) (void)mounts->refresh_if_changed();
    const auto real = path_of(location.files.get());
    if (!mounts || !real) {
        return fail(
            FailureCause::ContainsMountPoint,
            TrashFailure::unknown("cannot tell whether a filesystem is mounted below " + shown(files_path)));
    }
    const std::string item_path = paths::join(*real, out.name);
    if (mounts->is_mount_point(item_path) || mounts->mount_below(item_path)) {
        return fail(
            FailureCause::ContainsMountPoint,
            TrashFailure::unknown(shown(files_path) + " holds a mount point; it is left in the trash"));
    }
    if (dry_run) {
        out.kind = PurgeKind::WouldPurge;
        return;
    }
    auto removed = remove_beneath(location.files.get(), out.name);
    if (!removed)
        return fail(FailureCause::Os, os_failure(removed.error(), "cannot remove " + shown(files_path)));
    out.size = *removed;
    // The info file goes last: a purge cut short leaves an info file without
    // its item, which trash tools ignore, never an item that cannot be told.
    const std::string info_name = out.name + std::string(linux_trash::kInfoSuffix);
    if (::unlinkat(location.info.get(), info_name.c_str(), 0) != 0 && errno != ENOENT) {
        return fail(FailureCause::Os,
                    os_failure(OsError::last(), "cannot remove the info file of " + shown(files_path)));
    }
    out.kind = PurgeKind::Purged;
}

}  // namespace

std::vector<PurgeOutcome> purge_trash(std::span<const PurgeCandidate> candidates, TrashSession& session,
                                      bool dry_run, PurgeRecorder record) {
    OsResult<MountTable> mounts = MountTable::read();
    std::map<std::string, std::optional<OpenTrash>> trashes;  // by path; none where it cannot be opened
    const auto open = [&](const std::string& path) -> OpenTrash* {
        auto [it, fresh] = trashes.try_emplace(path);
        if (fresh) {
            if (auto location = linux_trash::open_existing_trash(path, session)) {
                auto entries = list_entries(*location, path, session.user());
                it->second = OpenTrash{path, std::move(*location), std::move(entries)};
            }
        }
        return it->second ? &*it->second : nullptr;
    };

    // Each candidate is matched with exactly one info file, and each info
    // file with at most one candidate; anything less certain is left alone.
    std::set<std::pair<std::string, std::string>> taken;
    std::vector<std::pair<OpenTrash*, const Entry*>> matched(candidates.size(), {nullptr, nullptr});
    for (size_t i = 0; i < candidates.size(); ++i) {
        int found = 0;
        for (const auto& dir : trash_dirs_for(candidates[i], session, mounts)) {
            OpenTrash* trash = open(dir);
            if (!trash) continue;
            for (const auto& entry : trash->entries) {
                if (!matches(entry, candidates[i]) || taken.contains({trash->path, entry.name})) continue;
                matched[i] = {trash, &entry};
                ++found;
            }
        }
        if (found != 1) {
            matched[i] = {nullptr, nullptr};
            continue;
        }
        taken.insert({matched[i].first->path, matched[i].second->name});
    }

    std::vector<PurgeOutcome> out;
    bool stopped = false;
    for (size_t i = 0; i < candidates.size(); ++i) {
        const auto [trash, entry] = matched[i];
        if (!trash) continue;
        PurgeOutcome outcome;
        outcome.original = candidates[i].original;
        outcome.trash_dir = trash->path;
        outcome.name = entry->name;
        outcome.deleted_at = entry->deleted_at;
        struct stat st {};
        if (::fstatat(trash->location.files.get(), entry->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // no longer in the trash
        if (stopped) {
            outcome.failure =
                MoveFailure{FailureCause::AuditLogWrite, 0, "not attempted: audit log write failed"};
            out.push_back(std::move(outcome));
            continue;
        }
        purge_one(*trash, outcome, dry_run, mounts);
        const auto recorded = record(outcome);
        outcome.recorded = recorded.has_value();
        if (!recorded) outcome.record_error = recorded.error().code();
        stopped = !outcome.recorded;
        out.push_back(std::move(outcome));
    }
    return out;
}

}  // namespace orvalnest::platform
