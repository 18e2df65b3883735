#include "canonical_path.hpp"

#include "orvalnest/paths.hpp"

namespace orvalnest::platform {

std::expected<CanonicalPath, TrashFailure> canonicalize_path(std::string_view path) {
    if (!paths::is_absolute(path)) {
        return std::unexpected(TrashFailure::unknown("the path to trash is not absolute"));
    }
    const auto parent = paths::parent(path);
    const auto name = paths::final_name(path);
    // Only the root has no parent; a ".." ending names no entry of its own.
    if (!parent || !name) return std::unexpected(TrashFailure::canonicalize_path(std::string(path)));

    if (const auto c_name = paths::c_path(*name); !c_name) {
        return std::unexpected(TrashFailure::unknown(c_name.error().text()));
    }
    auto real = paths::real_path(*parent);
    if (!real) return std::unexpected(TrashFailure::canonicalize_path(std::string(*parent)));

    if (!paths::equal(*real, *parent)) {
        return std::unexpected(TrashFailure::unknown(std::string(kParentChanged)));
    }
    CanonicalPath out{std::move(*real), std::string(*name), {}};
    out.full = paths::join(out.parent, out.name);
    return out;
}

}  // namespace orvalnest::platform
