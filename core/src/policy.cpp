#include "orvalnest/policy.hpp"

#include <sys/stat.h>

#include <array>
#include <cstdlib>

#include "orvalnest/paths.hpp"
#include "orvalnest/text.hpp"

namespace orvalnest {

namespace {

// System locations that must never lose anything, at any depth.
constexpr std::array<std::string_view, 21> kProtectedSubtrees = {
    "/bin",       "/boot", "/dev", "/etc",    "/lib",     "/lib32",       "/lib64",
    "/libx32",    "/proc", "/run", "/sbin",   "/sys",     "/usr",         "/var/lib",
    "/var/spool", "/snap", "/efi", "/System", "/Library", "/private/etc", "/private/var/db",
};

// Locations whose contents are fair game but which must not go themselves.
constexpr std::array<std::string_view, 13> kProtectedExact = {
    "/home", "/root", "/var", "/var/log", "/var/cache", "/var/tmp",      "/opt",
    "/srv",  "/tmp",  "/mnt", "/media",   "/Users",     "/Applications",
};

// Protected entries are compared under their resolved names, so a location
// reached through a symbolic link ("/etc" -> "/private/etc") stays protected.
// An entry that does not exist here is kept as written.
std::string resolved_or_as_written(std::string_view entry) {
    auto resolved = paths::real_path(entry);
    return resolved ? std::move(*resolved) : std::string(entry);
}

}  // namespace

std::string PolicyRefusal::message() const {
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
            return lossy_utf8(detail_) + " is a protected system location";
    }
    return {};
}

OsResult<PathPolicy> PathPolicy::build(std::string_view scan_root) {
    auto root = paths::real_path(scan_root);
    if (!root) return std::unexpected(root.error());

    PathPolicy policy;
    policy.scan_root_ = std::move(*root);
    policy.protected_subtrees_.reserve(kProtectedSubtrees.size());
    for (std::string_view entry : kProtectedSubtrees) {
        policy.protected_subtrees_.push_back(resolved_or_as_written(entry));
    }
    policy.protected_exact_.reserve(kProtectedExact.size() + 1);
    for (std::string_view entry : kProtectedExact) {
        policy.protected_exact_.push_back(resolved_or_as_written(entry));
    }
    if (const char* home = std::getenv("HOME"))
        policy.protected_exact_.push_back(resolved_or_as_written(home));
    return policy;
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
    struct stat st {};
    if (::lstat(c->c_str(), &st) != 0) return std::unexpected(PolicyRefusal::unresolvable(OsError::last()));

    // Only the parent is resolved: every link on the way is followed, so no
    // link can carry the path out of the scanned folder unnoticed.
    auto real_parent = paths::real_path(*parent);
    if (!real_parent) return std::unexpected(PolicyRefusal::unresolvable(real_parent.error()));
    std::string resolved = paths::join(*real_parent, *name);

    if (paths::equal(resolved, scan_root_)) return std::unexpected(PolicyRefusal::scan_root_itself());
    if (!paths::starts_with(resolved, scan_root_)) return std::unexpected(PolicyRefusal::outside_scan_root());
    // The lists only matter when the scan root lies at or above a protected
    // location; anything else was refused as outside above.
    for (const auto& entry : protected_subtrees_) {
        if (paths::starts_with(resolved, entry)) {
            return std::unexpected(PolicyRefusal::protected_location(entry));
        }
    }
    for (const auto& entry : protected_exact_) {
        if (paths::equal(resolved, entry)) return std::unexpected(PolicyRefusal::protected_location(entry));
    }
    return resolved;
}

}  // namespace orvalnest
