// PathPolicy decides whether one requested path may be moved to the trash and
// which filesystem entry exactly that would move. It is built once per cleaner
// and then only read, so one policy serves any number of threads.
#pragma once

#include <expected>
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

    RefusalKind kind() const { return kind_; }
    bool is_unresolvable() const { return kind_ == RefusalKind::Unresolvable; }
    // Unresolvable only: the OS error text alone ("No such file or directory
    // (os error 2)"); `check` reports a missing path with just this.
    const std::string& os_error_text() const { return detail_; }
    // ProtectedLocation only: the protected entry that matched (native bytes).
    const std::string& location() const { return detail_; }
    // "path is not absolute", "path could not be resolved: …", "/usr is a
    // protected system location", …
    std::string message() const;

private:
    PolicyRefusal(RefusalKind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    RefusalKind kind_;
    std::string detail_;
};

class PathPolicy {
public:
    // `scan_root` in lexical absolute form and known to be a directory. Fails
    // with the error of realpath() on it. Reads HOME once, here.
    static OsResult<PathPolicy> build(std::string_view scan_root);

    // The resolved path that trashing `path` would move (its real parent
    // directory joined with its final name, which is never followed), or why
    // it may not be trashed. Only reads the filesystem (lstat of the path,
    // realpath of its parent); safe to call from several threads at once.
    // `path` is taken byte for byte: it need not be UTF-8 and may hold a NUL
    // byte, which makes it unresolvable.
    std::expected<std::string, PolicyRefusal> validate(std::string_view path) const;

    // realpath() of the scan root the policy was built from.
    const std::string& scan_root() const { return scan_root_; }
    // Protected together with everything below them, each resolved when it
    // exists and as written otherwise.
    const std::vector<std::string>& protected_subtrees() const { return protected_subtrees_; }
    // Protected themselves only (HOME last, when it is set).
    const std::vector<std::string>& protected_exact() const { return protected_exact_; }

private:
    PathPolicy() = default;
    std::string scan_root_;
    std::vector<std::string> protected_subtrees_;
    std::vector<std::string> protected_exact_;
};

}  // namespace orvalnest
