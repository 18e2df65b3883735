#include "directory_fd.hpp"

#include <fcntl.h>

#include <cerrno>

#include "orvalnest/eintr.hpp"
#include "orvalnest/open_beneath.hpp"
#include "orvalnest/paths.hpp"

namespace orvalnest::platform::linux_trash {
namespace {

using OpenRule = OsResult<UniqueFd> (*)(int, std::string_view, int);

// The absolute `path` opened below "/" by `rule`: "/" is the top of the tree
// anyway, so only the refusal of links matters.
OsResult<UniqueFd> open_from_top(std::string_view path, OpenRule rule) {
    if (!paths::is_absolute(path)) return std::unexpected(OsError::from_errno(EINVAL));
    UniqueFd top(retry_on_eintr([] { return ::open("/", kDirectoryFlags); }));
    if (!top) return std::unexpected(OsError::last());
    // Real paths have no ".."; one here would climb out of what was checked.
    for (const auto& component : paths::components(path)) {
        if (component.kind == paths::ComponentKind::Parent)
            return std::unexpected(OsError::from_errno(EINVAL));
    }
    const size_t first = path.find_first_not_of('/');
    return rule(top.get(), first == std::string_view::npos ? std::string_view() : path.substr(first),
                kDirectoryFlags);
}

}  // namespace

OsResult<UniqueFd> open_directory_by_walk(std::string_view path) {
    return open_from_top(path, &open_beneath_by_steps);
}

OsResult<UniqueFd> open_directory_no_symlinks(std::string_view path) {
    return open_from_top(path, &open_beneath);
}

}  // namespace orvalnest::platform::linux_trash
