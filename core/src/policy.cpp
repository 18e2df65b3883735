#include "orvalnest/policy.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

#include "orvalnest/audit.hpp"
#include "orvalnest/mount_table.hpp"
#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"
#include "orvalnest/user_dirs.hpp"

#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

namespace orvalnest {

namespace {

// System locations that must never lose anything, at any depth. Several are
// links on today's systems ("/lib64" into "/usr", "/var/run" to "/run", "/etc"
// into "/private" on macOS); each is guarded under both of its names.
constexpr std::array<std::string_view, 23> kProtectedSubtrees = {
    "/bin",       "/boot", "/dev",  "/etc",    "/lib",     "/lib32",       "/lib64",          "/libx32",
    "/proc",      "/run",  "/sbin", "/sys",    "/usr",     "/var/lib",     "/var/run",        "/var/lock",
    "/var/spool", "/snap", "/efi",  "/System", "/Library", "/private/etc", "/private/var/db",
};

// Locations whose contents are fair game but which must not go themselves.
constexpr std::array<std::string_view, 13> kProtectedExact = {
    "/home", "/root", "/var", "/var/log", "/var/cache", "/var/tmp",      "/opt",
    "/srv",  "/tmp",  "/mnt", "/media",   "/Users",     "/Applications",
};

// The per-volume trash of the shared kind: $topdir/.Trash/$uid.
constexpr std::string_view kSharedVolumeTrash = ".Trash";

// "/" followed by the components joined with single slashes: the form every
// comparison below works on, so a component prefix is a string prefix.
std::string normal_form(std::string_view path) {
    std::string out;
    for (const auto& component : paths::components(path)) {
        if (component.kind == paths::ComponentKind::Root) continue;
        out.push_back('/');
        out.append(component.text);
    }
    if (out.empty() && paths::is_absolute(path)) out.push_back('/');
    return out;
}

// Component prefix of two normal forms; a path is under itself.
bool under(std::string_view path, std::string_view base) {
    if (base.empty() || !path.starts_with(base)) return false;
    return path.size() == base.size() || base == "/" || path[base.size()] == '/';
}

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

// What validation needs to know about the entry itself, from one call that
// does not follow a final link nor trigger an automount.
struct EntryFacts {
    FileIdentity identity;
    bool is_directory = false;
    std::optional<bool> mount_root;  // none where the kernel cannot tell
};

OsResult<EntryFacts> examine(const std::string& c_path) {
#if defined(__linux__) && defined(STATX_ATTR_MOUNT_ROOT)
    struct statx stx {};
    if (::statx(AT_FDCWD, c_path.c_str(), AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO,
                &stx) == 0) {
        EntryFacts out{{makedev(stx.stx_dev_major, stx.stx_dev_minor), stx.stx_ino},
                       S_ISDIR(stx.stx_mode),
                       std::nullopt};
        if (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)
            out.mount_root = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        return out;
    }
    if (errno != ENOSYS) return std::unexpected(OsError::last());
#endif
    struct stat st {};
    if (::lstat(c_path.c_str(), &st) != 0) return std::unexpected(OsError::last());
    return EntryFacts{{st.st_dev, st.st_ino}, S_ISDIR(st.st_mode), std::nullopt};
}

// Whether the directory `path` (a real path) is the top of a mounted filesystem.
bool is_mount_root(const std::string& path) {
    if (path == "/") return true;
    auto facts = examine(path);
    if (!facts) return false;
    if (facts->mount_root) return *facts->mount_root;
    const auto up = paths::parent(path);
    const auto above = up ? identity_of(std::string(*up), false) : std::nullopt;
    return above && above->device != facts->identity.device;
}

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
            return "cannot tell whether it contains a mount point: " + detail_;
    }
    return {};
}

OsResult<PathPolicy> PathPolicy::build(std::string_view scan_root, std::string_view audit_dir) {
    auto root = paths::real_path(scan_root);
    if (!root) return std::unexpected(root.error());

    PathPolicy policy;
    policy.scan_root_ = normal_form(*root);
    policy.scan_root_identity_ = identity_of(policy.scan_root_, true);
    for (std::string_view entry : kProtectedSubtrees) policy.protected_subtrees_.push_back(guarded(entry));
    for (std::string_view entry : kProtectedExact) policy.protected_exact_.push_back(guarded(entry));
    // Without HOME the user still has a home, and the trash backend finds it
    // in the password database: protect the same folder.
    if (const char* home = std::getenv("HOME")) {
        policy.protected_exact_.push_back(guarded(home));
    } else if (auto from_database = password_database_home()) {
        policy.protected_exact_.push_back(guarded(*from_database));
    }
    if (auto trash = home_trash_dir()) policy.trash_folders_.push_back(guarded(*trash));
    if (!audit_dir.empty()) {
        policy.audit_log_.push_back(guarded(audit_dir));
        policy.audit_log_.push_back(guarded(paths::join(audit_dir, kAuditLogFileName)));
    }
    policy.uid_ = std::to_string(::geteuid());
    policy.volume_trash_name_ = ".Trash-" + policy.uid_;

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

std::optional<PolicyRefusal> PathPolicy::refuse_protected(const std::string& resolved,
                                                          const std::optional<FileIdentity>& identity) const {
    for (const auto& entry : protected_subtrees_) {
        for (const auto* form : {&entry.written, &entry.resolved}) {
            if (under(resolved, *form)) return PolicyRefusal::protected_location(*form);
        }
    }
    for (const auto& entry : protected_exact_) {
        for (const auto* form : {&entry.written, &entry.resolved}) {
            if (resolved == *form) return PolicyRefusal::protected_location(*form);
        }
    }
    // The same directories under other names: a bind mount of "/" inside the
    // scan root, or "ALICE" for "alice" on a case-insensitive filesystem.
    if (identity) {
        for (const auto* list : {&protected_subtrees_, &protected_exact_}) {
            for (const auto& entry : *list) {
                if (entry.identity == identity) return PolicyRefusal::protected_location(entry.resolved);
            }
        }
    }
    for (std::string_view up = resolved;;) {
        const auto parent = paths::parent(up);
        if (!parent || !under(*parent, scan_root_) || *parent == scan_root_) break;
        up = *parent;
        const auto id = identity_of(std::string(up), false);
        if (!id) continue;
        for (const auto& entry : protected_subtrees_) {
            if (entry.identity == id) return PolicyRefusal::protected_location(entry.resolved);
        }
    }
    if (scan_root_protected_by_) return PolicyRefusal::protected_location(*scan_root_protected_by_);
    // Trashing a folder takes everything in it along.
    for (const auto* list : {&protected_subtrees_, &protected_exact_}) {
        for (const auto& entry : *list) {
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (under(*form, resolved)) {
                    return PolicyRefusal::at(RefusalKind::ContainsProtectedLocation, *form);
                }
            }
        }
    }
    return std::nullopt;
}

std::optional<PolicyRefusal> PathPolicy::refuse_trash_or_log(
    const std::string& resolved, const std::optional<FileIdentity>& identity) const {
    struct Guard {
        const std::vector<GuardedLocation>* list;
        RefusalKind at, contains;
    };
    const Guard guards[] = {{&trash_folders_, RefusalKind::TrashFolder, RefusalKind::ContainsTrashFolder},
                            {&audit_log_, RefusalKind::AuditLogFolder, RefusalKind::ContainsAuditLogFolder}};
    for (const auto& guard : guards) {
        for (const auto& entry : *guard.list) {
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (under(resolved, *form)) return PolicyRefusal::at(guard.at, *form);
            }
            if (identity && entry.identity == identity) return PolicyRefusal::at(guard.at, entry.resolved);
            for (const auto* form : {&entry.written, &entry.resolved}) {
                if (under(*form, resolved)) return PolicyRefusal::at(guard.contains, *form);
            }
        }
    }
    // The trash of another filesystem: $topdir/.Trash-$uid, or the shared
    // $topdir/.Trash that holds every user's $uid folder.
    size_t begin = 1;
    while (begin < resolved.size()) {
        const size_t end = std::min(resolved.find('/', begin), resolved.size());
        const std::string_view name(resolved.data() + begin, end - begin);
        if (name == volume_trash_name_ || name == kSharedVolumeTrash) {
            const std::string top = begin == 1 ? "/" : resolved.substr(0, begin - 1);
            if (is_mount_root(top))
                return PolicyRefusal::at(RefusalKind::TrashFolder, resolved.substr(0, end));
        }
        begin = end + 1;
    }
    return std::nullopt;
}

std::expected<std::string, PolicyRefusal> PathPolicy::validate(std::string_view path) const {
    if (!paths::is_absolute(path)) return std::unexpected(PolicyRefusal::not_absolute());
    // ".." is refused outright rather than resolved: what the user picked is
    // a name, and a name that climbs out and back in is not one we showed.
    if (paths::has_parent_component(path)) return std::unexpected(PolicyRefusal::dot_component());
    const auto name = paths::final_name(path);
    const auto parent = paths::parent(path);
    if (!name || !parent) return std::unexpected(PolicyRefusal::scan_root_itself());

    // The entry itself must exist; a symbolic link as the last component is
    // looked at, not followed, because the link is what would be trashed.
    auto c = paths::c_path(path);
    if (!c) return std::unexpected(PolicyRefusal::unresolvable(c.error()));
    auto facts = examine(*c);
    if (!facts) return std::unexpected(PolicyRefusal::unresolvable(facts.error()));

    // Only the parent is resolved: every link on the way is followed, so no
    // link can carry the path out of the scanned folder unnoticed.
    auto real_parent = paths::real_path(*parent);
    if (!real_parent) return std::unexpected(PolicyRefusal::unresolvable(real_parent.error()));
    std::string resolved = paths::join(*real_parent, *name);
    // "link/" names the link's target to the kernel but the link itself here:
    // what is judged must be the entry that would move.
    if (path.back() == '/' || path.ends_with("/.")) {
        facts = examine(resolved);
        if (!facts) return std::unexpected(PolicyRefusal::unresolvable(facts.error()));
    }

    if (resolved == scan_root_) return std::unexpected(PolicyRefusal::scan_root_itself());
    if (!under(resolved, scan_root_)) return std::unexpected(PolicyRefusal::outside_scan_root());
    if (facts->identity == scan_root_identity_) return std::unexpected(PolicyRefusal::scan_root_itself());
    // The lists only matter when the scan root lies at or above a protected
    // location; anything else was refused as outside above.
    if (auto refusal = refuse_protected(resolved, facts->identity)) return std::unexpected(*refusal);
    if (auto refusal = refuse_trash_or_log(resolved, facts->identity)) return std::unexpected(*refusal);

    // Trashing a folder with a filesystem mounted below it would take that
    // filesystem's files along when the trash is emptied.
    if (facts->mount_root.value_or(false))
        return std::unexpected(PolicyRefusal::at(RefusalKind::MountPoint, {}));
    if (facts->is_directory) {
        const auto mounts = mount_points();
        if (!mounts) return std::unexpected(PolicyRefusal::mount_table_unreadable(mounts.error()));
        for (const auto& mount : *mounts) {
            if (mount == resolved) return std::unexpected(PolicyRefusal::at(RefusalKind::MountPoint, {}));
            if (under(mount, resolved))
                return std::unexpected(PolicyRefusal::at(RefusalKind::ContainsMountPoint, mount));
        }
    }
    return resolved;
}

}  // namespace orvalnest
