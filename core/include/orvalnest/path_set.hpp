// A set of paths in normal form (see paths::normal_form) that answers, in
// logarithmic time, whether a path is one of them, lies below one of them, or
// has one below it: thousands of mount points or home folders cost a request
// of thousands of paths next to nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvalnest {

class PathSet {
public:
    PathSet() = default;
    explicit PathSet(std::vector<std::string> paths);

    bool empty() const { return sorted_.empty(); }
    bool contains(std::string_view path) const;
    // The member that `path` is, or lies below (the nearest one).
    std::optional<std::string> at_or_above(std::string_view path) const;
    // A member strictly below `path`.
    std::optional<std::string> below(std::string_view path) const;

private:
    std::vector<std::string> sorted_;
};

}  // namespace orvalnest
