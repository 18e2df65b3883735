#include "orvalnest/policy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "orvalnest/audit.hpp"
#include "orvalnest/eintr.hpp"
#include "orvalnest/open_beneath.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

using paths::normal_form;
using paths::within;

// System locations that must never lose anything, at any depth. Several are
// links on today's systems ("/lib64" into "/usr", "/var/run" to "/run", "/etc"
// into "/private" on macOS); each is guarded under both of its names.
// "/var/mail" holds every user's mailbox on Debian ("/var/spool/mail" only
// links to it); "/var/backups" holds the system's own copies of its user and
// package databases, small and kept for the day something breaks.
constexpr std::array<std::string_view, 25> kProtectedSubtrees = {
    "/bin",      "/boot",      "/dev",      "/etc",         "/lib",
    "/lib32",    "/lib64",     "/libx32",   "/proc",        "/run",
    "/sbin",     "/sys",       "/usr",      "/var/lib",     "/var/run",
    "/var/lock", "/var/spool", "/var/mail", "/var/backups", "/snap",
    "/efi",      "/System",    "/Library",  "/private/etc", "/private/var/db",
};

// Locations whose contents are fair game but which must not go themselves.
// "/lost+found" is where fsck puts what it recovers and must exist for it to
// do so; what it holds may be cleared out. (The same holds for lost+found at
// the top of every filesystem, which is checked by name.)
constexpr std::array<std::string_view, 14> kProtectedExact = {
    "/home", "/root", "/var", "/var/log", "/var/cache", "/var/tmp",      "/opt",
    "/srv",  "/tmp",  "/mnt", "/media",   "/Users",     "/Applications", "/lost+found",
};

constexpr std::string_view kLostAndFound = "lost+found";

// The per-volume trash of the shared kind: $topdir/.Trash/$uid; each user's
// own is $topdir/.Trash-$uid.
constexpr std::string_view kSharedVolumeTrash = ".Trash";
constexpr std::string_view kOwnVolumeTrashPrefix = ".Trash-";

// A running process's view of other users' home folders is capped: a
// directory service listing millions of accounts must not stall a cleaner.
constexpr std::size_t kMaxOtherUsers = 100000;

// realpath of the longest part that exists, with the rest appended as
// written: where a folder will be once it is created.
std::string resolve_longest(const std::string& path) {
    std::string head = path;
    std::string tail;
    for (;;) {
        if (auto real = paths::real_path(head)) return normal_form(paths::join(*real, tail));
        const auto name = paths::final_name(head);
        const auto up = paths::parent(head);
        if (!name || !up || up->empty()) return normal_form(path);
        tail = tail.empty() ? std::string(*name) : paths::join(*name, tail);
        head = std::string(*up);
    }
}

std::optional<FileIdentity> identity_of(const std::string& path, bool follow) {
    struct stat st {};
    if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
    return FileIdentity{st.st_dev, st.st_ino};
}

GuardedLocation guarded(std::string_view written) {
    GuardedLocation out{normal_form(written), {}, std::nullopt};
    out.resolved = paths::is_absolute(written) ? resolve_longest(out.written) : out.written;
    if (auto c = paths::c_path(written)) out.identity = identity_of(*c, true);
    return out;
}

// Both names of each location, for the sets that hold many.
PathSet both_names(const std::vector<std::string>& locations, std::string_view suffix) {
    std::vector<std::string> names;
    for (const auto& location : locations) {
        const std::string path = suffix.empty() ? location : paths::join(location, suffix);
        names.push_back(normal_form(path));
        names.push_back(resolve_longest(path));
    }
    return PathSet(std::move(names));
}

// Folders are held only to work relative to them: a folder the user may
// enter but not list is still one whose entries can be judged and moved.
#if defined(O_PATH)
constexpr int kFolderHandle = O_PATH | O_DIRECTORY;
#else
constexpr int kFolderHandle = O_RDONLY | O_DIRECTORY;
#endif

// The scan root opened again through its real path, with no link followed.
OsResult<UniqueFd> open_real_directory(const std::string& real) {
    UniqueFd top(retry_on_eintr([] { return ::open("/", kFolderHandle | O_CLOEXEC); }));
    if (!top) return std::unexpected(OsError::last());
    const size_t first = real.find_first_not_of('/');
    return open_beneath(top.get(), first == std::string::npos ? std::string_view() : real.substr(first),
                        kFolderHandle);
}

bool is_volume_trash_name(std::string_view name) {
    if (name == kSharedVolumeTrash) return true;
    if (!name.starts_with(kOwnVolumeTrashPrefix) || name.size() == kOwnVolumeTrashPrefix.size()) return false;
    return name.substr(kOwnVolumeTrashPrefix.size()).find_first_not_of("0123456789") ==
           std::string_view::npos;
}

std::string parent_of(std::string_view path) { return std::string(paths::parent(path).value_or("/")); }

}  // namespace

std::string PolicyRefusal::message() const {
    const std::string location = lossy_utf8(detail_);
    switch (kind_) {
        case RefusalKind::NotAbsolute:
            return "path is not absolute";
        case RefusalKind::DotComponent:
            return "path contains '.' or '..' components";
        case RefusalKind::Unresolvable:
            return "path could not be resolved: " + detail_;
        case RefusalKind::OutsideScanRoot:
            return "path is outside the scanned folder";
        case RefusalKind::ScanRootItself:
            return "refusing to delete the scanned folder itself";
        case RefusalKind::ProtectedLocation:
            return location + " is a protected system location";
        case RefusalKind::ContainsProtectedLocation:
            return "contains " + location + ", a protected system location";
        case RefusalKind::TrashFolder:
            return location + " is a trash folder";
        case RefusalKind::ContainsTrashFolder:
            return "contains the trash folder " + location;
        case RefusalKind::AuditLogFolder:
            return location + " holds the audit log";
        case RefusalKind::ContainsAuditLogFolder:
            return "contains " + location + ", which holds the audit log";
        case RefusalKind::MountPoint:
            return "path is a mount point";
        case RefusalKind::ContainsMountPoint:
            return "contains the mount point " + location;
        case RefusalKind::MountTableUnreadable:
            return "cannot tell where it lives, the mount table cannot be read: " + detail_;
        case RefusalKind::ScanRootChanged:
            return "the scanned folder changed since the cleaner was made: " + detail_;
        case RefusalKind::LocationUnknown:
            return "cannot tell where it lives: " + detail_;
        case RefusalKind::Changed:
            return "it is not the entry that was shown: " + detail_;
    }
    return {};
}

// ---- the scope of one request ----

const OsResult<MountTable>& PolicyScope::mounts() {
    if (mounts_) {
        if (auto refreshed = mounts_->refresh_if_changed(); !refreshed)
            mounts_ = std::unexpected(refreshed.error());
    }
    return mounts_;
}

const OsResult<MountTable>& PolicyScope::reread_mounts() {
    if (mounts_) {
        if (auto read = mounts_->reread(); !read) mounts_ = std::unexpected(read.error());
    } else {
        mounts_ = MountTable::read();
    }
    return mounts_;
}

// ---- building ----

OsResult<PathPolicy> PathPolicy::build(std::string_view scan_root, std::string_view audit_dir) {
    auto root = paths::real_path(scan_root);
    if (!root) return std::unexpected(root.error());

    PathPolicy policy;
    policy.scan_root_ = normal_form(*root);
    // The identity and mount the root has now; every request checks them again.
    if (auto fd = open_real_directory(policy.scan_root_)) {
        if (auto facts = examine_at(fd->get(), "")) {
            policy.scan_root_identity_ = facts->identity;
            policy.scan_root_mount_ = facts->mount_id;
        }
    }
    for (std::string_view entry : kProtectedSubtrees) policy.protected_subtrees_.push_back(guarded(entry));
    for (std::string_view entry : kProtectedExact) policy.protected_exact_.push_back(guarded(entry));
    // HOME if it is a real path; else the home the trash backend would use.
    if (auto home = home_dir()) policy.protected_exact_.push_back(guarded(*home));
    policy.home_trash_ = home_trash_dir();
    if (policy.home_trash_) policy.trash_folders_.push_back(guarded(policy.home_trash_->path));
    if (!audit_dir.empty()) {
        policy.audit_log_.push_back(guarded(audit_dir));
        policy.audit_log_.push_back(guarded(paths::join(audit_dir, kAuditLogFileName)));
    }
    // Only root can move what other users own: then their homes and trash
    // folders need the same care as the user's own.
    if (::geteuid() == 0) {
        const auto homes = other_users_homes(kMaxOtherUsers);
        policy.other_homes_ = both_names(homes, {});
        policy.other_trashes_ = both_names(homes, ".local/share/Trash");
    }

    // The scan root may itself lie in a protected tree under another name
    // (through a bind mount of "/", or another case of a name).
    for (std::string prefix = policy.scan_root_; !policy.scan_root_protected_by_;) {
        if (const auto id = identity_of(prefix, false)) {
            for (const auto& entry : policy.protected_subtrees_) {
                if (entry.identity == id) policy.scan_root_protected_by_ = entry.resolved;
            }
        }
        const auto up = paths::parent(prefix);
        if (!up || up->empty() || *up == prefix) break;
        prefix = std::string(*up);
    }
    return policy;
}

PolicyScope PathPolicy::begin() const {
    PolicyScope scope;
    scope.mounts_ = MountTable::read();
    // Something mounted on the scan root after the cleaner was made (a bind of
    // /etc, say) would otherwise be judged as the folder that was scanned.
    auto fd = open_real_directory(scan_root_);
    if (!fd) {
        scope.root_refusal_ = PolicyRefusal::because(RefusalKind::ScanRootChanged,
                                                     "it cannot be opened again: " + fd.error().text());
        return scope;
    }
    scope.root_ = std::move(*fd);
    const auto facts = examine_at(scope.root_.get(), "");
    if (!facts || facts->identity != scan_root_identity_ ||
        (facts->mount_id && scan_root_mount_ && facts->mount_id != scan_root_mount_)) {
        scope.root_refusal_ = PolicyRefusal::because(
            RefusalKind::ScanRootChanged, "something is mounted on it, or it was replaced by another folder");
    }
    return scope;
}

// ---- judging ----

std::optional<PolicyRefusal> PathPolicy::refuse_protected(const std::string& place) const {
    for (const auto& entry : protected_subtrees_) {
        for (const auto* form : {&entry.written, &entry.resolved}) {
            if (within(place, *form)) return PolicyRefusal::protected_location(*form);
        }
    }
    for (const auto& entry : protected_exact_) {
        for (const auto* form : {&entry.written, &entry.resolved}) {
            if (place == *form) return PolicyRefusal::protected_location(*form);
        }
    }
    if (other_homes_.contains(place)) return PolicyRefusal::protected_location(place);
    // Trashing a folder takes everything in it along.
    for (const auto* list : {&protected_subtrees_, &protected_exact_}) {
        for (const auto& entry : *list) {
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (within(*form, place))
                    return PolicyRefusal::at(RefusalKind::ContainsProtectedLocation, *form);
            }
        }
    }
    if (auto home = other_homes_.below(place))
        return PolicyRefusal::at(RefusalKind::ContainsProtectedLocation, *home);
    return std::nullopt;
}

std::optional<PolicyRefusal> PathPolicy::refuse_same_folder(const std::string& resolved,
                                                            const FileIdentity& identity) const {
    // The same directories under other names: a bind mount of "/" inside the
    // scan root, or "ALICE" for "alice" on a case-insensitive filesystem.
    for (const auto* list : {&protected_subtrees_, &protected_exact_}) {
        for (const auto& entry : *list) {
            if (entry.identity == identity) return PolicyRefusal::protected_location(entry.resolved);
        }
    }
    for (std::string_view up = resolved;;) {
        const auto parent = paths::parent(up);
        if (!parent || !within(*parent, scan_root_) || *parent == scan_root_) break;
        up = *parent;
        const auto id = identity_of(std::string(up), false);
        if (!id) continue;
        for (const auto& entry : protected_subtrees_) {
            if (entry.identity == id) return PolicyRefusal::protected_location(entry.resolved);
        }
    }
    if (scan_root_protected_by_) return PolicyRefusal::protected_location(*scan_root_protected_by_);
    for (const auto* list : {&trash_folders_, &audit_log_}) {
        for (const auto& entry : *list) {
            if (entry.identity == identity) {
                return PolicyRefusal::at(
                    list == &audit_log_ ? RefusalKind::AuditLogFolder : RefusalKind::TrashFolder,
                    entry.resolved);
            }
        }
    }
    return std::nullopt;
}

std::optional<PolicyRefusal> PathPolicy::refuse_trash_or_log(const std::string& place,
                                                             const MountTable& mounts) const {
    struct Guard {
        const std::vector<GuardedLocation>* list;
        RefusalKind at, contains;
    };
    const Guard guards[] = {{&trash_folders_, RefusalKind::TrashFolder, RefusalKind::ContainsTrashFolder},
                            {&audit_log_, RefusalKind::AuditLogFolder, RefusalKind::ContainsAuditLogFolder}};
    for (const auto& guard : guards) {
        for (const auto& entry : *guard.list) {
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (within(place, *form)) return PolicyRefusal::at(guard.at, *form);
            }
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (within(*form, place)) return PolicyRefusal::at(guard.contains, *form);
            }
        }
    }
    if (auto trash = other_trashes_.at_or_above(place))
        return PolicyRefusal::at(RefusalKind::TrashFolder, *trash);
    if (auto trash = other_trashes_.below(place))
        return PolicyRefusal::at(RefusalKind::ContainsTrashFolder, *trash);
    // The trash of a filesystem: $topdir/.Trash-$uid of any user, or the
    // shared $topdir/.Trash that holds every user's $uid folder.
    size_t begin = 1;
    while (begin < place.size()) {
        const size_t end = std::min(place.find('/', begin), place.size());
        const std::string_view name(place.data() + begin, end - begin);
        const std::string_view top =
            begin == 1 ? std::string_view("/") : std::string_view(place).substr(0, begin - 1);
        if (is_volume_trash_name(name) && mounts.is_mount_point(top))
            return PolicyRefusal::at(RefusalKind::TrashFolder, place.substr(0, end));
        begin = end + 1;
    }
    return std::nullopt;
}

std::optional<PolicyRefusal> PathPolicy::refuse_place(const std::string& place, const MountTable& mounts,
                                                      bool is_directory) const {
    if (paths::final_name(place) == kLostAndFound && mounts.is_mount_point(parent_of(place)))
        return PolicyRefusal::protected_location(place);
    if (auto refusal = refuse_trash_or_log(place, mounts)) return refusal;
    // Trashing a folder with a filesystem mounted below it would take that
    // filesystem's files along when the trash is emptied.
    if (mounts.is_mount_point(place)) return PolicyRefusal::at(RefusalKind::MountPoint, {});
    if (is_directory) {
        if (auto mount = mounts.mount_below(place))
            return PolicyRefusal::at(RefusalKind::ContainsMountPoint, *mount);
    }
    return std::nullopt;
}

std::expected<Candidate, PolicyRefusal> PathPolicy::judge(std::string_view path, PolicyScope& scope) const {
    using std::unexpected;
    if (!paths::is_absolute(path)) return unexpected(PolicyRefusal::not_absolute());
    // ".." is refused outright rather than resolved: what the user picked is
    // a name, and a name that climbs out and back in is not one we showed.
    if (paths::has_parent_component(path)) return unexpected(PolicyRefusal::dot_component());
    const auto name = paths::final_name(path);
    const auto parent = paths::parent(path);
    if (!name || !parent) return unexpected(PolicyRefusal::scan_root_itself());

    // The entry must exist as written (a final link is looked at, not
    // followed); what is judged below is then taken from the entry itself.
    auto c = paths::c_path(path);
    if (!c) return unexpected(PolicyRefusal::unresolvable(c.error()));
    struct stat as_written {};
    if (::lstat(c->c_str(), &as_written) != 0)
        return unexpected(PolicyRefusal::unresolvable(OsError::last()));

    // Only the parent is resolved: every link on the way is followed, so no
    // link can carry the path out of the scanned folder unnoticed.
    auto real_parent = paths::real_path(*parent);
    if (!real_parent) return unexpected(PolicyRefusal::unresolvable(real_parent.error()));
    Candidate out;
    out.name = std::string(*name);
    out.resolved = normal_form(paths::join(*real_parent, out.name));
    if (out.resolved == scan_root_) return unexpected(PolicyRefusal::scan_root_itself());
    if (!within(out.resolved, scan_root_)) return unexpected(PolicyRefusal::outside_scan_root());
    if (scope.root_refusal_) return unexpected(*scope.root_refusal_);

    // The parent is opened again below the scan root without following any
    // link: a folder on the way swapped for a link since realpath() fails
    // here, and every fact below comes from the entry the move will take.
    const std::string real_parent_form = normal_form(*real_parent);
    const std::string_view below_root =
        real_parent_form == scan_root_
            ? std::string_view()
            : std::string_view(real_parent_form).substr(scan_root_ == "/" ? 1 : scan_root_.size() + 1);
    auto parent_fd = open_beneath(scope.root(), below_root, kFolderHandle);
    if (!parent_fd) return unexpected(PolicyRefusal::unresolvable(parent_fd.error()));
    out.parent = std::move(*parent_fd);
    auto facts = examine_at(out.parent.get(), out.name.c_str());
    if (!facts) return unexpected(PolicyRefusal::unresolvable(facts.error()));
    out.facts = *facts;
    auto parent_facts = examine_at(out.parent.get(), "");
    if (!parent_facts) return unexpected(PolicyRefusal::unresolvable(parent_facts.error()));
    out.parent_facts = *parent_facts;
    if (out.facts.identity == scan_root_identity_) return unexpected(PolicyRefusal::scan_root_itself());

    const auto& mounts = scope.mounts();
    if (!mounts)
        return unexpected(PolicyRefusal::because(RefusalKind::MountTableUnreadable, mounts.error().text()));
    // The lists only matter when the scan root lies at or above a protected
    // location; anything else was refused as outside above.
    const bool is_directory = out.facts.is_directory();
    if (auto refusal = refuse_protected(out.resolved)) return unexpected(*refusal);
    if (auto refusal = refuse_same_folder(out.resolved, out.facts.identity)) return unexpected(*refusal);
    if (out.facts.mount_root.value_or(false))
        return unexpected(PolicyRefusal::at(RefusalKind::MountPoint, {}));
    if (auto refusal = refuse_place(out.resolved, *mounts, is_directory)) return unexpected(*refusal);

    // Where the entry really lives: the same folder may show up elsewhere
    // through another mount of its filesystem (a bind of /etc/ssh inside the
    // scanned folder; a data disk scanned at its own mount point but also
    // mounted on /var/lib/mysql), and is judged under each of its names.
    const MountEntry* holder =
        out.facts.mount_id ? mounts->find(*out.facts.mount_id) : mounts->holding(out.resolved);
    if (!holder) {
        return unexpected(
            PolicyRefusal::because(RefusalKind::LocationUnknown, "its filesystem is not in the mount table"));
    }
    const auto places = mounts->aliases(*holder, out.resolved);
    if (!places) {
        return unexpected(PolicyRefusal::because(
            RefusalKind::LocationUnknown,
            "it is not below the mount point " + lossy_utf8(holder->point) + " of its filesystem"));
    }
    for (const auto& place : *places) {
        if (place == out.resolved) continue;
        if (auto refusal = refuse_protected(place)) return unexpected(*refusal);
        if (auto refusal = refuse_place(place, *mounts, is_directory)) return unexpected(*refusal);
    }
    return out;
}

std::expected<std::string, PolicyRefusal> PathPolicy::validate(std::string_view path) const {
    PolicyScope scope = begin();
    auto candidate = judge(path, scope);
    if (!candidate) return std::unexpected(candidate.error());
    return std::move(candidate->resolved);
}

std::optional<PolicyRefusal> PathPolicy::refuse_mounts_below(std::string_view moved,
                                                             std::optional<std::uint64_t> mount,
                                                             PolicyScope& scope) const {
    // Only a mount below the folder's own mount can have come along with it:
    // where that mount had none at the last read and the kernel reports no
    // change since, there is nothing to find.
    const auto& current = scope.mounts();
    if (current && mount && !current->has_children(*mount)) return std::nullopt;
    const auto& mounts = scope.reread_mounts();
    if (!mounts) return PolicyRefusal::because(RefusalKind::MountTableUnreadable, mounts.error().text());
    if (mounts->is_mount_point(moved)) return PolicyRefusal::at(RefusalKind::MountPoint, {});
    if (auto mount = mounts->mount_below(moved))
        return PolicyRefusal::at(RefusalKind::ContainsMountPoint, *mount);
    return std::nullopt;
}

}  // namespace orvalnest
