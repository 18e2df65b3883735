// The OS trash behind a request, as the core's request loop asks for it: the
// platform's move and probe, sharing one session for the request.
#pragma once

#include "orvalnest/trash_request.hpp"
#include "trash.hpp"

namespace orvalnest::platform {

class PlatformTrash final : public TrashBackend {
public:
    // The home trash and the user come from the policy, fixed when the
    // cleaner was made (with the interpreter lock held).
    explicit PlatformTrash(const PathPolicy& policy);
    std::expected<MovedItem, MoveFailure> move(const Candidate& candidate, AfterMove after) override;
    std::optional<MoveFailure> probe(const Candidate& candidate) override;
    TrashSession& session() { return session_; }

private:
    TrashSession session_;
};

}  // namespace orvalnest::platform
