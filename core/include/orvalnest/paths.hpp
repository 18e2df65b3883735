// Paths are native byte strings. Everything that compares paths does so on
// their components, never on raw bytes, so "/a//b/" and "/a/./b" are the same
// path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "orvalnest/error.hpp"

namespace orvalnest::paths {

enum class ComponentKind { Root, Parent, Normal };

struct Component {
    ComponentKind kind;
    std::string_view text;  // "/" for the root
    bool operator==(const Component&) const = default;
};

bool is_absolute(std::string_view path);

// Root (for absolute paths), then every part between separators; empty parts
// and "." are dropped, ".." is a Parent.
std::vector<Component> components(std::string_view path);

bool equal(std::string_view a, std::string_view b);
bool has_parent_component(std::string_view path);

// The last component when it is a Normal one.
std::optional<std::string_view> final_name(std::string_view path);
// The path without its last component and the separators and "." parts before
// it; none for a path made of the root alone (or of nothing).
std::optional<std::string_view> parent(std::string_view path);
// `dir` + "/" (unless it already ends with one) + `name`.
std::string join(std::string_view dir, std::string_view name);

// "/" followed by the normal components joined with single slashes (".."
// kept as written): the form in which a component prefix is a string prefix.
std::string normal_form(std::string_view path);

// Whether the normal form `path` is `base` or lies below it.
bool within(std::string_view path, std::string_view base);

// Makes a path absolute without touching the filesystem: relative paths are
// taken against the working directory, "." parts and doubled separators go,
// ".." parts stay, a leading "//" (exactly two) and a trailing "/" are kept.
OsResult<std::string> lexical_absolute(std::string_view path);

// realpath(): every symbolic link and "."/".." resolved, through the
// filesystem. Keeps no state, so it is safe from several threads at once.
OsResult<std::string> real_path(std::string_view path);

// A copy usable as a C string, or the error the OS layer reports for a path
// holding a NUL byte.
OsResult<std::string> c_path(std::string_view path);

// The final component of `path` as lossy text, or the whole path when it has
// no final Normal component ("/", ".." endings).
std::string node_name(std::string_view path);

}  // namespace orvalnest::paths
