#include "orvalnest/path_set.hpp"

#include <algorithm>
#include <functional>

#include "orvalnest/paths.hpp"

namespace orvalnest {

PathSet::PathSet(std::vector<std::string> paths) : sorted_(std::move(paths)) {
    std::ranges::sort(sorted_);
    const auto [first, last] = std::ranges::unique(sorted_);
    sorted_.erase(first, last);
}

bool PathSet::contains(std::string_view path) const {
    return std::ranges::binary_search(sorted_, path, std::less<>());
}

std::optional<std::string> PathSet::at_or_above(std::string_view path) const {
    // Each ancestor is looked up on its own: sorted order puts "/a-b" between
    // "/a" and "/a/x", so the neighbour of a path need not be its ancestor.
    for (std::string_view up = path;;) {
        if (contains(up)) return std::string(up);
        const auto parent = paths::parent(up);
        if (!parent || parent->empty() || *parent == up) return std::nullopt;
        up = *parent;
    }
}

std::optional<std::string> PathSet::below(std::string_view path) const {
    // Everything below `path` starts with "path/" and so sits together.
    const std::string prefix = path == "/" ? std::string("/") : std::string(path) + "/";
    auto it = std::ranges::lower_bound(sorted_, prefix, std::less<>());
    if (path == "/" && it != sorted_.end() && *it == "/") ++it;
    if (it != sorted_.end() && it->starts_with(prefix)) return *it;
    return std::nullopt;
}

}  // namespace orvalnest
