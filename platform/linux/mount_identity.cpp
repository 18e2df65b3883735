#include "mount_identity.hpp"

#include <fcntl.h>

#include "orvalnest/paths.hpp"

namespace orvalnest::platform::linux_trash {

bool same_mount(const EntryFacts& a, const EntryFacts& b) {
    if (a.mount_id && b.mount_id && *a.mount_id != *b.mount_id) return false;
    return a.identity.device == b.identity.device;
}

bool is_mount_point_under(const EntryFacts& entry, const EntryFacts& parent) {
    if (entry.mount_root) return *entry.mount_root;
    if (entry.mount_id && parent.mount_id) return *entry.mount_id != *parent.mount_id;
    return entry.identity.device != parent.identity.device;
}

OsResult<std::string> top_directory(const std::string& real_dir, const EntryFacts& facts) {
    std::string top = real_dir;
    for (;;) {
        const auto up = paths::parent(top);
        if (!up || up->empty()) return top;  // reached the root
        const std::string candidate(*up);
        const auto above = examine_at(AT_FDCWD, candidate.c_str());
        if (!above) return std::unexpected(above.error());
        if (!same_mount(*above, facts)) return top;
        top = candidate;
    }
}

}  // namespace orvalnest::platform::linux_trash
