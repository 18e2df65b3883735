// PathPolicy decides whether one requested path may be moved to the trash and
// which filesystem entry exactly that would move. It is built once per cleaner
// and then only read, so one policy serves any number of threads; what a
// request looks at once (the scan root as it is now, the mount table) lives in
// a PolicyScope of its own.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/entry_facts.hpp"
#include "orvalnest/error.hpp"
#include "orvalnest/mount_table.hpp"
#include "orvalnest/path_set.hpp"
#include "orvalnest/unique_fd.hpp"
#include "orvalnest/user_dirs.hpp"

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
    ScanRootChanged,  // something was mounted on the scan root, or it was replaced
    LocationUnknown,  // the mount holding the entry is not in the mount table
    Changed,          // not the entry the caller expected (it was replaced since it was shown)
};

// Why validate() refused a path. The message is what callers show and record.
class PolicyRefusal {
public:
    static PolicyRefusal not_absolute() { return PolicyRefusal(RefusalKind::NotAbsolute, {}); }
    static PolicyRefusal dot_component() { return PolicyRefusal(RefusalKind::DotComponent, {}); }
    static PolicyRefusal unresolvable(const OsError& error) {
        return PolicyRefusal(RefusalKind::Unresolvable, error.text(), error.code());
    }
    static PolicyRefusal outside_scan_root() { return PolicyRefusal(RefusalKind::OutsideScanRoot, {}); }
    static PolicyRefusal scan_root_itself() { return PolicyRefusal(RefusalKind::ScanRootItself, {}); }
    static PolicyRefusal protected_location(std::string location) {
        return PolicyRefusal(RefusalKind::ProtectedLocation, std::move(location));
    }
    // Any of the kinds that name a location (ProtectedLocation to ContainsMountPoint).
    static PolicyRefusal at(RefusalKind kind, std::string location) {
        return PolicyRefusal(kind, std::move(location));
    }
    // The kinds whose detail is a text (MountTableUnreadable and after).
    static PolicyRefusal because(RefusalKind kind, std::string detail, int code = 0) {
        return PolicyRefusal(kind, std::move(detail), code);
    }

    RefusalKind kind() const { return kind_; }
    bool is_unresolvable() const { return kind_ == RefusalKind::Unresolvable; }
    // Unresolvable only: the OS error text alone ("No such file or directory
    // (os error 2)"); `check` reports a missing path with just this.
    const std::string& os_error_text() const { return detail_; }
    // The errno behind the refusal, 0 when there is none.
    int error_code() const { return code_; }
    // The kinds that name a location: the location that matched (native bytes).
    const std::string& location() const { return detail_; }
    // "path is not absolute", "path could not be resolved: …", "/usr is a
    // protected system location", "contains the mount point /a/usb", …
    std::string message() const;

private:
    PolicyRefusal(RefusalKind kind, std::string detail, int code = 0)
        : kind_(kind), detail_(std::move(detail)), code_(code) {}
    RefusalKind kind_;
    std::string detail_;
    int code_ = 0;
};

// A location the policy keeps out of the trash, under both of its names.
struct GuardedLocation {
    std::string written;                   // as listed (or as the environment gave it), normalised
    std::string resolved;                  // realpath of its longest existing part, the rest appended
    std::optional<FileIdentity> identity;  // of what it names (links followed), when it exists
};

// What one request looks at once, at its start: the scan root as it is now
// (every parent is opened below this descriptor) and the mount table (read
// again only when the kernel says it changed). Owned by one thread.
class PolicyScope {
public:
    int root() const { return root_.get(); }
    // The mount table, brought up to date; its error when it cannot be read.
    const OsResult<MountTable>& mounts();
    // Reads the mount table again, whatever the kernel says: after a move,
    // mounts may have moved along with a folder.
    const OsResult<MountTable>& reread_mounts();

private:
    friend class PathPolicy;
    UniqueFd root_;
    std::optional<PolicyRefusal> root_refusal_;
    OsResult<MountTable> mounts_ = std::unexpected(OsError::from_errno(0));
};

// The entry a validated path names, with everything judged about it: the
// trash moves exactly this one (its name in `parent`), or nothing.
struct Candidate {
    std::string resolved;  // the real parent joined with the final name (native bytes)
    UniqueFd parent;       // the real parent, opened below the scan root without following links
    std::string name;      // the final name, never followed
    EntryFacts facts;      // of the entry, taken through `parent`
    EntryFacts parent_facts;
};

class PathPolicy {
public:
    // `scan_root` in lexical absolute form and known to be a directory. Fails
    // with the error of realpath() on it. Reads HOME and XDG_DATA_HOME (or the
    // password database) once, here: call it with the interpreter lock held.
    // `audit_dir`, when given, is kept out of the trash together with its log.
    static OsResult<PathPolicy> build(std::string_view scan_root, std::string_view audit_dir = {});

    // Opens the scan root again and checks that it is still the folder the
    // policy was built for (nothing mounted on it, not replaced), and reads the
    // mount table.
    PolicyScope begin() const;

    // The entry that trashing `path` would move, or why it may not be
    // trashed. Only reads the filesystem. `path` is taken byte for byte: it need
    // not be UTF-8 and may hold a NUL byte, which makes it unresolvable.
    std::expected<Candidate, PolicyRefusal> judge(std::string_view path, PolicyScope& scope) const;

    // judge() in a scope of its own, for one path: the resolved path (its real
    // parent directory joined with its final name, which is never followed).
    std::expected<std::string, PolicyRefusal> validate(std::string_view path) const;

    // Whether nothing is mounted at or below the folder that was moved and now
    // is `moved` (its real path), on the mount `mount`: mounts move along with
    // the folders above them, so this is asked once more after every move of
    // a folder. The mount table is read again unless no mount was ever below
    // `mount` and none has been made since.
    std::optional<PolicyRefusal> refuse_mounts_below(std::string_view moved,
                                                     std::optional<std::uint64_t> mount,
                                                     PolicyScope& scope) const;

    // realpath() of the scan root the policy was built from.
    const std::string& scan_root() const { return scan_root_; }
    // Protected themselves only (the user's home last).
    const std::vector<GuardedLocation>& protected_exact() const { return protected_exact_; }
    // The user's trash folder, as the trash backend must use it.
    const std::optional<HomeTrash>& home_trash() const { return home_trash_; }

private:
    PathPolicy() = default;
    std::optional<PolicyRefusal> refuse_place(const std::string& place, const MountTable& mounts,
                                              bool is_directory) const;
    std::optional<PolicyRefusal> refuse_protected(const std::string& place) const;
    std::optional<PolicyRefusal> refuse_same_folder(const std::string& resolved,
                                                    const FileIdentity& identity) const;
    std::optional<PolicyRefusal> refuse_trash_or_log(const std::string& place,
                                                     const MountTable& mounts) const;

    std::string scan_root_;
    std::optional<FileIdentity> scan_root_identity_;
    std::optional<std::uint64_t> scan_root_mount_;
    // A protected subtree that the scan root lies in under another name (a
    // bind mount, another case): everything inside is then refused.
    std::optional<std::string> scan_root_protected_by_;
    std::vector<GuardedLocation> protected_subtrees_;
    std::vector<GuardedLocation> protected_exact_;
    std::vector<GuardedLocation> trash_folders_;
    std::vector<GuardedLocation> audit_log_;  // the folder, then the file
    // When running as root: the other users' home folders (themselves only)
    // and their home trash folders (with everything in them), both names.
    PathSet other_homes_;
    PathSet other_trashes_;
    std::optional<HomeTrash> home_trash_;
};

}  // namespace orvalnest
