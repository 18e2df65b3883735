#include "trash.hpp"

namespace orvalnest::platform {

TrashSession::TrashSession(uid_t user, std::optional<HomeTrash> home_trash)
    : user_(user), home_trash_(std::move(home_trash)) {}

TrashSession::~TrashSession() = default;

std::shared_ptr<linux_trash::TrashLocation> TrashSession::location(std::uint64_t mount) const {
    const auto found = locations_.find(mount);
    return found == locations_.end() ? nullptr : found->second;
}

void TrashSession::keep_location(std::uint64_t mount, std::shared_ptr<linux_trash::TrashLocation> location) {
    locations_.insert_or_assign(mount, std::move(location));
}

}  // namespace orvalnest::platform
