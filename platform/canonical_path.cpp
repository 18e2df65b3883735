#include "canonical_path.hpp"

#include <stdlib.h>

#include <memory>

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

    const auto c_parent = paths::c_path(*parent);
    if (!c_parent) return std::unexpected(TrashFailure::canonicalize_path(std::string(*parent)));
    if (name->find('\0') != std::string_view::npos) {
        return std::unexpected(TrashFailure::unknown("file name contained an unexpected NUL byte"));
    }
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(c_parent->c_str(), nullptr), &::free);
    if (!real) return std::unexpected(TrashFailure::canonicalize_path(std::string(*parent)));

    if (!paths::equal(real.get(), *parent)) {
        return std::unexpected(TrashFailure::unknown(std::string(kParentChanged)));
    }
    CanonicalPath out{real.get(), std::string(*name), {}};
    out.full = paths::join(out.parent, out.name);
    return out;
}

}  // namespace orvalnest::platform
