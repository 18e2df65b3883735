#include "orvalnest/paths.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "orvalnest/text.hpp"

namespace orvalnest::paths {

bool is_absolute(std::string_view path) { return !path.empty() && path.front() == '/'; }

namespace {

// Calls `visit(part)` for every part between separators that is not empty and not ".".
template <typename Visit>
void for_each_part(std::string_view path, Visit&& visit) {
    size_t i = 0;
    while (i < path.size()) {
        while (i < path.size() && path[i] == '/') ++i;
        size_t end = i;
        while (end < path.size() && path[end] != '/') ++end;
        std::string_view part = path.substr(i, end - i);
        if (!part.empty() && part != ".") visit(part);
        i = end;
    }
}

Component classify(std::string_view part) {
    return {part == ".." ? ComponentKind::Parent : ComponentKind::Normal, part};
}

}  // namespace

std::vector<Component> components(std::string_view path) {
    std::vector<Component> out;
    if (is_absolute(path)) out.push_back({ComponentKind::Root, "/"});
    for_each_part(path, [&](std::string_view part) { out.push_back(classify(part)); });
    return out;
}

bool equal(std::string_view a, std::string_view b) { return components(a) == components(b); }

bool has_parent_component(std::string_view path) {
    bool found = false;
    for_each_part(path, [&](std::string_view part) { found = found || part == ".."; });
    return found;
}

std::optional<std::string_view> final_name(std::string_view path) {
    std::optional<std::string_view> last;
    for_each_part(path, [&](std::string_view part) { last = part; });
    if (!last || *last == "..") return std::nullopt;
    return last;
}

namespace {

// Drops trailing separators and "." parts.
std::string_view trim_end(std::string_view path) {
    for (;;) {
        while (!path.empty() && path.back() == '/') path.remove_suffix(1);
        if (path == ".") return {};
        if (path.size() >= 2 && path.ends_with("/.")) {
            path.remove_suffix(1);
            continue;
        }
        return path;
    }
}

}  // namespace

std::optional<std::string_view> parent(std::string_view path) {
    std::string_view trimmed = trim_end(path);
    if (trimmed.empty()) return std::nullopt;  // only the root, or nothing at all
    const size_t slash = trimmed.rfind('/');
    if (slash == std::string_view::npos) return std::string_view{};  // relative, one component
    std::string_view rest = trim_end(trimmed.substr(0, slash + 1));
    if (rest.empty() && is_absolute(path)) {
        // Keep the root as written ("/" or "//").
        size_t leading = 0;
        while (leading < path.size() && path[leading] == '/') ++leading;
        return path.substr(0, leading);
    }
    return rest;
}

std::string join(std::string_view dir, std::string_view name) {
    std::string out;
    out.reserve(dir.size() + 1 + name.size());
    out.append(dir);
    if (out.empty() || out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

std::string normal_form(std::string_view path) {
    std::string out;
    for (const auto& component : components(path)) {
        if (component.kind == ComponentKind::Root) continue;
        out.push_back('/');
        out.append(component.text);
    }
    if (out.empty() && is_absolute(path)) out.push_back('/');
    return out;
}

bool within(std::string_view path, std::string_view base) {
    if (base.empty() || !path.starts_with(base)) return false;
    return path.size() == base.size() || base == "/" || path[base.size()] == '/';
}

OsResult<std::string> lexical_absolute(std::string_view path) {
    if (path.empty()) return std::unexpected(OsError::custom("cannot make an empty path absolute"));
    std::string out;
    if (is_absolute(path)) {
        const bool double_slash = path.starts_with("//") && !path.starts_with("///");
        out = double_slash ? "//" : "/";
    } else {
        // getcwd with a null buffer allocates one as large as needed.
        std::unique_ptr<char, decltype(&::free)> cwd(::getcwd(nullptr, 0), &::free);
        if (!cwd) return std::unexpected(OsError::last());
        out = cwd.get();
    }
    for_each_part(path, [&](std::string_view part) {
        if (out.back() != '/') out.push_back('/');
        out.append(part);
    });
    if (path.back() == '/' && out.back() != '/') out.push_back('/');
    return out;
}

OsResult<std::string> c_path(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected(OsError::custom("file name contained an unexpected NUL byte"));
    }
    return std::string(path);
}

OsResult<std::string> real_path(std::string_view path) {
    auto c = c_path(path);
    if (!c) return std::unexpected(c.error());
    // With a null buffer realpath allocates one as large as needed.
    std::unique_ptr<char, decltype(&::free)> resolved(::realpath(c->c_str(), nullptr), &::free);
    if (!resolved) return std::unexpected(OsError::last());
    return std::string(resolved.get());
}

std::string node_name(std::string_view path) {
    if (auto name = final_name(path)) return lossy_utf8(*name);
    return lossy_utf8(path);
}

}  // namespace orvalnest::paths
