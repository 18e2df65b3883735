// PathPolicy decides whether one requested path may be moved to the trash and
// which filesystem entry exactly that would move. It is built once per cleaner
// and then only read, so one policy serves any number of threads.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"

namespace orvalnest {

enum class RefusalKind {
    NotAbsolute,
    DotComponent,
    Unresolvable,
    OutsideScanRoot,
    ScanRootItself,
    ProtectedLocation,
    ContainsProtectedLocation,
    TrashFolder,
    ContainsTrashFolder,
    AuditLogFolder,
    ContainsAuditLogFolder,
    MountPoint,
    ContainsMountPoint,
    MountTableUnreadable,
};

// Why validate() refused a path. The message is what callers show and record.
class PolicyRefusal {
public:
    static PolicyRefusal not_absolute() { return PolicyRefusal(RefusalKind::NotAbsolute, {}); }
    static PolicyRefusal dot_component() { return PolicyRefusal(RefusalKind::DotComponent, {}); }
    static PolicyRefusal unresolvable(const OsError& error) {
        return PolicyRefusal(RefusalKind::Unresolvable, error.text());
    }
    static PolicyRefusal outside_scan_root() { return PolicyRefusal(RefusalKind::OutsideScanRoot, {}); }
    static PolicyRefusal scan_root_itself() { return PolicyRefusal(RefusalKind::ScanRootItself, {}); }
    static PolicyRefusal protected_location(std::string location) {
        return PolicyRefusal(RefusalKind::ProtectedLocation, std::move(location));
    }
    // Any of the kinds that name a location (ProtectedLocation and after).
    static PolicyRefusal at(RefusalKind kind, std::string location) {
        return PolicyRefusal(kind, std::move(location));
    }
    static PolicyRefusal mount_table_unreadable(const OsError& error) {
        return PolicyRefusal(RefusalKind::MountTableUnreadable, error.text());
    }

    RefusalKind kind() const { return kind_; }
    bool is_unresolvable() const { return kind_ == RefusalKind::Unresolvable; }
    // Unresolvable only: the OS error text alone ("No such file or directory
    // (os error 2)"); `check` reports a missing path with just this.
    const std::string& os_error_text() const { return detail_; }
    // The kinds that name a location: the location that matched (native bytes).
    const std::string& location() const { return detail_; }
    // "path is not absolute", "path could not be resolved: …", "/usr is a
    // protected system location", "contains the mount point /a/usb", …
    std::string message() const;

private:
    PolicyRefusal(RefusalKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    RefusalKind kind_;
    std::string detail_;
};

// Which file a name leads to, whatever the spelling: another bind mount of
// the same directory, or another case on a case-insensitive filesystem.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool operator==(const FileIdentity&) const = default;
};

// A location the policy keeps out of the trash, under both of its names.
struct GuardedLocation {
    std::string written;                   // as listed (or as the environment gave it), normalised
    std::string resolved;                  // realpath of its longest existing part, the rest appended
    std::optional<FileIdentity> identity;  // of what it names (links followed), when it exists
};

class PathPolicy {
public:
    // `scan_root` in lexical absolute form and known to be a directory. Fails
    // with the error of realpath() on it. Reads HOME (or, when it is unset, the
    // password database) and the trash folder's variables once, here.
    // `audit_dir`, when given, is kept out of the trash together with its log.
    static OsResult<PathPolicy> build(std::string_view scan_root, std::string_view audit_dir = {});

    // The resolved path that trashing `path` would move (its real parent
    // directory joined with its final name, which is never followed), or why
    // it may not be trashed. Only reads the filesystem; safe to call from
    // several threads at once. `path` is taken byte for byte: it need not be
    // UTF-8 and may hold a NUL byte, which makes it unresolvable.
    std::expected<std::string, PolicyRefusal> validate(std::string_view path) const;

    // realpath() of the scan root the policy was built from.
    const std::string& scan_root() const { return scan_root_; }
    // Protected together with everything below them.
    const std::vector<GuardedLocation>& protected_subtrees() const { return protected_subtrees_; }
    // Protected themselves only (the user's home last).
    const std::vector<GuardedLocation>& protected_exact() const { return protected_exact_; }

private:
    PathPolicy() = default;
    std::optional<PolicyRefusal> refuse_protected(const std::string& resolved,
                                                  const std::optional<FileIdentity>& identity) const;
    std::optional<PolicyRefusal> refuse_trash_or_log(const std::string& resolved,
                                                     const std::optional<FileIdentity>& identity) const;

    std::string scan_root_;
    std::optional<FileIdentity> scan_root_identity_;
    // A protected subtree that the scan root lies in under another name (a
    // bind mount, another case): everything inside is then refused.
    std::optional<std::string> scan_root_protected_by_;
    std::vector<GuardedLocation> protected_subtrees_;
    std::vector<GuardedLocation> protected_exact_;
    std::vector<GuardedLocation> trash_folders_;
    std::vector<GuardedLocation> audit_log_;  // the folder, then the file
    std::string volume_trash_name_;           // ".Trash-<uid>"
    std::string uid_;
};

}  // namespace orvalnest
